// A link's connection procedures: connect and accept, numbered I-frames modulo 16 with their
// acknowledgement into data confirmations, flow control with RR and RNR, frame rejection, and
// closing; each received PDU is handled as the link's state asks.
#include "llcp/llcplm.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kDmDisconnected = 0;
constexpr uint8_t kDmNotConnected = 1;
constexpr uint8_t kDefaultRemoteWindow = 4;
constexpr uint16_t kMiuxMask = 0x7FF;
constexpr uint8_t kRwMask = 0x0F;

uint8_t mod16(int value) { return static_cast<uint8_t>(value & 0x0F); }

void dm(TLlcp* p, const TLlcpLink* link, uint8_t reason) { nfcllcpSendDM(p, link->remoteSap, link->localSap, reason); }

// Fresh sequence state for a new connection; requests still queued from before are dropped.
void resetConnection(TLlcp* p, TLlcpLink* link) {
    link->flags &= ~(LLCP_LINK_RNR_SENT | LLCP_LINK_REMOTE_BUSY | LLCP_LINK_NS_ERROR | LLCP_LINK_CROSSED |
                     LLCP_LINK_ACK_HELD);
    link->vs = link->vr = link->vsa = link->ns = link->nr = link->outstanding = link->nrSent = 0;
    for (TLlcpPending dropped{}; link->pending.pop(dropped);)
        llcpSendDataConf(p, link, LLCP_WRONG_STATE, dropped.handle, dropped.request);
    link->unacked.clear();
    link->queued = 0;
}

// RW and MIUX of a CONNECT or CC; a connection's MIU never exceeds the data link's.
void takeParameters(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    link->remoteWindow = kDefaultRemoteWindow;
    link->remoteMiu = LLCP_DEFAULT_MIU;
    const uint8_t* value = nullptr;
    uint8_t length = 0;
    if (llcpFindTlv(pdu.payload, pdu.payloadLength, LLCP_PARAM_MIUX, value, length) && length >= 2) {
        const auto miu = static_cast<uint16_t>(LLCP_DEFAULT_MIU + ((value[0] << 8 | value[1]) & kMiuxMask));
        link->remoteMiu = miu;
        if (miu > p->remote.miu) {
            TRACE(LLCP_TRACE, "LLCP: miu for new connection longer than data link miu (0x%X > 0x%X)!", miu,
                  p->remote.miu);
            TRACE(LLCP_TRACE, "LLCP: reduced value for remote connection miu from %d to %d", miu, p->remote.miu);
            link->remoteMiu = p->remote.miu;
        }
    }
    if (llcpFindTlv(pdu.payload, pdu.payloadLength, LLCP_PARAM_RW, value, length) && length >= 1)
        link->remoteWindow = value[0] & kRwMask;
}

void connected(TLlcp* p, TLlcpLink* link) {
    llcpSendConActInd(p, link);
    nfcllcpChangeState(link, LLCP_STATE_CONNECTED);
}

// The peer's CONNECT on a link waiting in state 1: the CC waits for the application.
void accept(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    if (link->flags & LLCP_LINK_DISCONNECTED) {
        dm(p, link, kDmNotConnected);
        return;
    }
    resetConnection(p, link);
    takeParameters(p, link, pdu);
    link->flags |= LLCP_LINK_CC_PENDING;
    connected(p, link);
}

// Ends a connection the peer ended or refused; its queued PDUs go with it.
void ended(TLlcp* p, TLlcpLink* link, uint16_t cause) {
    llcpSendDiscInd(p, link, cause);
    nfcllcpChangeState(link, LLCP_STATE_IDLE);
}

bool validNr(const TLlcpLink* link, uint8_t nr) { return mod16(link->vs - nr) <= link->outstanding; }

// Every I-frame up to N(R) is confirmed to its requester, oldest first.
void acknowledge(TLlcp* p, TLlcpLink* link, uint8_t nr) {
    while (link->vsa != nr) {
        TLlcpPending sent{};
        if (link->unacked.pop(sent))
            llcpSendDataConf(p, link, LLCP_OK, sent.handle, sent.request);
        link->vsa = mod16(link->vsa + 1);
    }
    link->outstanding = mod16(link->vs - nr);
}

// While the link holds an acknowledgement its own data wait too: the peer's services take an
// answer before the confirmation of what they sent, as the acknowledgement comes first.
bool canSend(const TLlcpLink* link) {
    return link->outstanding < link->remoteWindow && !(link->flags & (LLCP_LINK_REMOTE_BUSY | LLCP_LINK_ACK_HELD)) &&
           !link->pending.empty();
}

// After each acknowledgement the peer may send a whole window of I-frames: frames are
// acknowledged only while as many buffers are free, or with RNR, so that every frame the peer
// may send finds one.
bool shortOfBuffers(const TLlcpLink* link) { return link->rxFree.count < link->window; }

void startAckTimer(TLlcp* p, TLlcpLink* link);

// The I-frame's data go up in a free receive buffer. A peer that keeps to the window and to
// RNR always finds one; a frame that finds none was sent beyond them, and ends the connection
// rather than being lost with the connection going on.
bool takeData(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    if (!link->rxFree.empty() && llcpSendDataUp(p, link, pdu.header.ssap, pdu.payload, pdu.payloadLength))
        return true;
    TRACE(TRC_ERROR, "! nfcllcpSendDataUpstream(), no free buffer!");
    llcpLinkReject(p, link, pdu, LLCP_FRMR_S);
    return false;
}

// Well inside the link time-out this side announced: the peer hears from it before then.
void startAckTimer(TLlcp* p, TLlcpLink* link) {
    llcpStartTimer(p, LLCP_TIMER_ACK, p->local.lto * 10u / 5u, llcpLinkIndex(link));
}

void receiveI(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    if (!validNr(link, pdu.nr)) {
        llcpLinkReject(p, link, pdu, LLCP_FRMR_R);
        return;
    }
    if (pdu.ns != link->vr) {
        acknowledge(p, link, pdu.nr);
        if (!(link->flags & LLCP_LINK_NS_ERROR)) {
            link->flags |= LLCP_LINK_NS_ERROR;
            llcpLinkReject(p, link, pdu, LLCP_FRMR_S);
            return;
        }
        llcpLinkSendData(p, link);
        return;
    }
    link->flags &= ~LLCP_LINK_NS_ERROR;
    acknowledge(p, link, pdu.nr);
    if (!takeData(p, link, pdu)) return;
    link->vr = mod16(link->vr + 1);
    if (link->flags & LLCP_LINK_RNR_SENT) {
        nfcllcpSendSFRAME(p, link);
    } else if (shortOfBuffers(link)) {
        // The application still holds buffers (it gives them back as soon as it has read them):
        // the acknowledgement waits for them, or turns into RNR when the timer runs out.
        link->flags |= LLCP_LINK_ACK_HELD;
        startAckTimer(p, link);
    } else if (!canSend(link)) {
        nfcllcpSendSFRAME(p, link);
    } else { // the acknowledgement rides on the next I-frame, or goes alone when the timer runs out
        startAckTimer(p, link);
    }
    llcpLinkSendData(p, link);
}

void receiveRr(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu, bool busy) {
    if (!validNr(link, pdu.nr)) {
        llcpLinkReject(p, link, pdu, LLCP_FRMR_R);
        return;
    }
    if (busy)
        link->flags |= LLCP_LINK_REMOTE_BUSY;
    else
        link->flags &= ~LLCP_LINK_REMOTE_BUSY;
    acknowledge(p, link, pdu.nr);
    llcpLinkSendData(p, link);
}

void onConnect(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    switch (link->state) {
        case LLCP_STATE_IDLE: accept(p, link, pdu); break;
        case LLCP_STATE_CONNECTING: // both sides connecting: the other's CONNECT stands for our CC
            nfcllcpSendUFRAME(p, link, LLCP_CC, nullptr, 0, nullptr);
            resetConnection(p, link);
            takeParameters(p, link, pdu); // data may go before the peer's CC comes
            link->flags |= LLCP_LINK_CROSSED;
            connected(p, link);
            llcpLinkSendData(p, link);
            break;
        case LLCP_STATE_CONNECTED: llcpLinkReject(p, link, pdu, LLCP_FRMR_W); break;
        case LLCP_STATE_CLOSING:
            dm(p, link, kDmNotConnected);
            ended(p, link, LLCP_OK);
            break;
        default: break;
    }
}

void onDisc(TLlcp* p, TLlcpLink* link) {
    switch (link->state) {
        case LLCP_STATE_IDLE:
        case LLCP_STATE_CONNECTING: dm(p, link, kDmDisconnected); break;
        case LLCP_STATE_CONNECTED:
        case LLCP_STATE_CLOSING:
            dm(p, link, kDmDisconnected);
            ended(p, link, LLCP_OK);
            break;
        default: break;
    }
}

void onCc(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    switch (link->state) {
        case LLCP_STATE_IDLE: dm(p, link, kDmNotConnected); break;
        case LLCP_STATE_CONNECTING:
            resetConnection(p, link);
            takeParameters(p, link, pdu);
            connected(p, link);
            llcpLinkSendData(p, link);
            break;
        case LLCP_STATE_CONNECTED:
            // The answer to our own CONNECT that crossed the peer's: it only brings parameters.
            if (!(link->flags & LLCP_LINK_CROSSED)) {
                llcpLinkReject(p, link, pdu, LLCP_FRMR_W);
                break;
            }
            link->flags &= ~LLCP_LINK_CROSSED;
            takeParameters(p, link, pdu);
            llcpLinkSendData(p, link);
            break;
        case LLCP_STATE_DISCONNECTING: // closed while the connect was on its way
            nfcllcpSendUFRAME(p, link, LLCP_DISC, nullptr, 0, nullptr);
            nfcllcpChangeState(link, LLCP_STATE_CLOSING);
            break;
        default: llcpLinkReject(p, link, pdu, LLCP_FRMR_W);
    }
}

void onDm(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    // A DM is never answered with one: two links in state 1 would bounce them for ever.
    if (link->state == LLCP_STATE_IDLE) return;
    ended(p, link, pdu.payloadLength ? pdu.payload[0] : uint16_t{LLCP_OK});
}

void onFrmr(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    if (link->state == LLCP_STATE_IDLE)
        dm(p, link, kDmNotConnected);
    else if (link->state == LLCP_STATE_CONNECTED)
        ended(p, link, LLCP_OK);
    else
        llcpLinkReject(p, link, pdu, LLCP_FRMR_W);
}

void onSequenced(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    if (link->state == LLCP_STATE_IDLE) {
        dm(p, link, kDmNotConnected);
        return;
    }
    if (link->state != LLCP_STATE_CONNECTED) return;
    if (pdu.header.ptype == LLCP_I)
        receiveI(p, link, pdu);
    else
        receiveRr(p, link, pdu, pdu.header.ptype == LLCP_RNR);
}

} // namespace

void llcpLinkReceive(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu) {
    TRACE(LLCP_TRACE, "LLCP: %s for link %d (sSAP 0x%X dSAP 0x%X) in state %d", llcpPtypeName(pdu.header.ptype),
          llcpLinkIndex(link), link->localSap, link->remoteSap, static_cast<int>(link->state));
    switch (pdu.header.ptype) {
        case LLCP_CONNECT: onConnect(p, link, pdu); break;
        case LLCP_DISC: onDisc(p, link); break;
        case LLCP_CC: onCc(p, link, pdu); break;
        case LLCP_DM: onDm(p, link, pdu); break;
        case LLCP_FRMR: onFrmr(p, link, pdu); break;
        case LLCP_I:
        case LLCP_RR:
        case LLCP_RNR: onSequenced(p, link, pdu); break;
        default: llcpLinkReject(p, link, pdu, LLCP_FRMR_W);
    }
}

void llcpLinkSendData(TLlcp* p, TLlcpLink* link) {
    if (link->state != LLCP_STATE_CONNECTED) return;
    while (canSend(link) && llcpSendRoom(p)) {
        TLlcpPending next{};
        link->pending.pop(next);
        --link->queued;
        link->unacked.push(next);
        const uint8_t ns = link->vs;
        link->vs = mod16(link->vs + 1);
        ++link->outstanding;
        llcpSendIDownstream(p, link, next, ns);
    }
}

void llcpLinkAccepted(TLlcp* p, TLlcpLink* link) {
    if (!(link->flags & LLCP_LINK_CC_PENDING)) return;
    link->flags &= ~LLCP_LINK_CC_PENDING;
    nfcllcpSendUFRAME(p, link, LLCP_CC, nullptr, 0, nullptr);
    llcpLinkSendData(p, link);
}

uint16_t llcpLinkConnect(TLlcp* p, TLlcpLink* link, const char* name, uint8_t nameLength) {
    const uint16_t cause = nfcllcpSendUFRAME(p, link, LLCP_CONNECT, name, nameLength, nullptr);
    if (cause == LLCP_OK) nfcllcpChangeState(link, LLCP_STATE_CONNECTING);
    return cause;
}

void llcpLinkReject(TLlcp* p, TLlcpLink* link, const LlcpPdu& pdu, uint8_t flags) {
    if (flags & LLCP_FRMR_I) TRACE(TRC_ERROR, "LLCP: ! InvalidLengthError");
    if (flags & LLCP_FRMR_W) TRACE(TRC_ERROR, "LLCP: ! ControlFieldError");
    if (flags & LLCP_FRMR_R) TRACE(TRC_ERROR, "LLCP: ! N_RError");
    if (flags & LLCP_FRMR_S) TRACE(TRC_ERROR, "LLCP: ! N_SError");
    if (link->state != LLCP_STATE_CONNECTED || !(link->flags & LLCP_LINK_CO)) return;
    const uint8_t info[4] = {static_cast<uint8_t>(flags | (pdu.header.ptype & 0x0Fu)), pdu.sequence,
                             static_cast<uint8_t>(link->vs << 4 | link->vr),
                             static_cast<uint8_t>(link->vsa << 4 | link->vr)};
    ended(p, link, LLCP_FRAME_REJECTED);
    nfcllcpSendUFRAME(p, link, LLCP_FRMR, nullptr, 0, info);
}

void llcpLinkBufferReturned(TLlcp* p, TLlcpLink* link) {
    if (!(link->flags & (LLCP_LINK_RNR_SENT | LLCP_LINK_ACK_HELD)) || shortOfBuffers(link)) return;
    const bool held = link->flags & LLCP_LINK_ACK_HELD;
    link->flags &= ~(LLCP_LINK_RNR_SENT | LLCP_LINK_ACK_HELD);
    if (link->state != LLCP_STATE_CONNECTED) return;
    if (held && canSend(link)) {
        startAckTimer(p, link); // the acknowledgement rides on the I-frames
        llcpLinkSendData(p, link);
    } else {
        nfcllcpSendSFRAME(p, link);
    }
    nfcllcpLMSendDownstream(p); // the answer the link held back, when the turn is still this side's
}

void llcpLinkAckDue(TLlcp* p, TLlcpLink* link) {
    if ((link->flags & LLCP_LINK_ACK_HELD) && shortOfBuffers(link)) link->flags |= LLCP_LINK_RNR_SENT;
    link->flags &= ~LLCP_LINK_ACK_HELD;
    nfcllcpSendSFRAME(p, link);
    llcpLinkSendData(p, link);
}

uint8_t llcpLinkNr(const TLlcpLink* link) {
    return (link->flags & LLCP_LINK_ACK_HELD) ? link->nrSent : static_cast<uint8_t>(link->vr & 0x0Fu);
}
