// What the task sends up to the NFC manager and down to layer 1, and the primitives it
// answers the applications with.
#include <cstring>

#include "L1/common/nfcllmsg.h"
#include "llcp/llcplm.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

template <uint16_t Code>
void sendPrimitive(TLlcp* p, uint32_t app, uint16_t request, const typename NfacePayloadOf<Code>::type& fields) {
    OsMessage message{};
    message.command = Code;
    message.spare = request;
    message.source = (p->moduleWord & ~MM_WORD_INSTANCE_BITS) | (app & 7u) << 19;
    osMsgSetFields(message, fields);
    if ((Code & 0xFu) == 2) p->lastAnswer = Code;
    llcpSendUp(p, message);
}

} // namespace

void llcpSendUp(TLlcp* p, OsMessage message) {
    if (message.command == LLCP_DL_DEACT_IND || message.command == NFCLL_TECH_REMOVE_IND) {
        if (p->timerRunning[LLCP_TIMER_LTO - 1]) TRACE(LLCP_TRACE, "LLCP: Stop LTO timer %d", LLCP_TIMER_LTO);
        llcpStopTimerLTO(p);
        // The link is over: neither its SYMM timer, nor a frame of it still on its way, nor a
        // request that comes before the next device may send into layer 1 between devices.
        // The next activation sets up the turn and the timers afresh.
        nfcllcpStopTimerSYMM(p);
        p->flags &= ~(LLCP_ACTIVE | LLCP_ACTIVATED | LLCP_MY_TURN);
        // Nothing of this peer waits for the next device: no PDU, no downstream buffer held, no
        // discovery request whose answer would be taken from the next peer.
        llcpFlushDownstream(p);
        llcpAnswerSdpRequests(p, LLCP_NOT_ACTIVE);
        TRACE(LLCP_TRACE, "LLCP: send DL_xxx msg=0x%X", message.command);
    }
    if (p->usQueue == 0 || osMessageSend(p->usQueue, &message) != OS_OK)
        TRACE(TRC_ERROR, "! LLCP: message 0x%X not sent up", message.command);
}

void llcpSendDown(TLlcp* p, OsMessage message) {
    if (message.command != PH_DATA_REQ) TRACE(LLCP_TRACE, "LLCP: send DL_xxx msg=0x%X", message.command);
    if (p->dsQueue != 0 && osMessageSend(p->dsQueue, &message) == OS_OK) return;
    TRACE(TRC_ERROR, "! nfcllcpSendDataDownstream(), discard data, ds qid is %d", p->dsQueue);
    if (message.command == PH_DATA_REQ) {
        const auto data = osMsgFields<PhDataFields>(message);
        if (data.flags & PH_DATA_OWNED) osBufferRelease(data.buffer);
    }
}

void llcpSendDlDeactInd(TLlcp* p) {
    OsMessage message{};
    message.command = LLCP_DL_DEACT_IND;
    message.source = p->moduleWord;
    llcpSendUp(p, message);
}

void llcpSendTechRemove(TLlcp* p, uint16_t cause) {
    llcpSendUp(p, nfcllMsgMake<NFCLL_TECH_REMOVE_IND>(p->moduleWord, {cause}));
}

uint16_t llcpUpCause(uint16_t cause) { return cause == 0 ? 0 : static_cast<uint16_t>(cause + LLCP_CAUSE_BASE); }

void llcpSendDiscInd(TLlcp* p, TLlcpLink* link, uint16_t cause) {
    if (p->rawMode == LLCP_RAW_BYPASS) return;
    TRACE(LLCP_TRACE, "LLCP: send NFC_LLCP_DISC_IND sSAP=0x%X dSAP=0x%X cause=0x%X FIFO=%d", link->localSap,
          link->remoteSap, llcpUpCause(cause), link->pending.count);
    link->flags = (link->flags | LLCP_LINK_DISCONNECTED) & ~LLCP_LINK_ACK_HELD;
    llcpStopTimer(p, LLCP_TIMER_ACK, llcpLinkIndex(link));
    // Every data request the link still holds is answered before the link is reported gone; the
    // peer acknowledged none of them, so none is confirmed as sent.
    const uint16_t lost = cause ? cause : uint16_t{LLCP_WRONG_STATE};
    nfcllcpLMDiscardLinkData(p, link, lost);
    for (TLlcpPending sent{}; link->unacked.pop(sent);) llcpSendDataConf(p, link, lost, sent.handle, sent.request);
    link->outstanding = 0;
    for (TLlcpPending pending{}; link->pending.pop(pending);)
        llcpSendDataConf(p, link, lost, pending.handle, pending.request);
    link->queued = 0;
    sendPrimitive<NFACE_NFC_LLCP_DISC_IND>(p, link->app, 0, {link->upper, link, llcpUpCause(cause)});
}

void llcpSendDiscIndAll(TLlcp* p, uint16_t cause) {
    TRACE(LLCP_TRACE, "LLCP: send NFC_LLCP_DISC_IND to all links cause=0x%X", llcpUpCause(cause));
    // Listeners and connectionless links stay: only connections to the peer end with it.
    for (TLlcpLink& link : p->links) {
        const bool connection = (link.flags & LLCP_LINK_OUTGOING) || link.remoteSap != LLCP_NO_SAP;
        if (!(link.flags & LLCP_LINK_IN_USE) || !(link.flags & LLCP_LINK_CO) || link.state == LLCP_STATE_IDLE ||
            !connection)
            continue;
        llcpSendDiscInd(p, &link, cause);
        nfcllcpChangeState(&link, LLCP_STATE_IDLE);
    }
}

void llcpSendDiscConf(TLlcp* p, TLlcpLink* link, uint16_t cause, uint16_t request) {
    if (p->rawMode == LLCP_RAW_BYPASS) return;
    TRACE(LLCP_TRACE, "LLCP: send NFC_LLCP_DISC_CONF sSAP=0x%X dSAP=0x%X cause=0x%X", link->localSap, link->remoteSap,
          llcpUpCause(cause));
    sendPrimitive<NFACE_NFC_LLCP_DISC_CONF>(p, link->app, request, {link->upper, link, llcpUpCause(cause)});
}

void llcpSendDataConf(TLlcp* p, TLlcpLink* link, uint16_t cause, uint8_t handle, uint16_t request) {
    TRACE(LLCP_TRACE, "LLCP: send NFCLLCP_DATA_CONF sSAP=0x%X dSAP=0x%X type=%s datahndl=0x%X cause=0x%X",
          link->localSap, link->remoteSap, (link->flags & LLCP_LINK_CO) ? "CO" : "CLS", handle, llcpUpCause(cause));
    llcpSendDataConfTo(p, link->app, link->upper, link, cause, handle, request);
}

void llcpSendDataConfTo(TLlcp* p, uint32_t app, void* upper, void* hLink, uint16_t cause, uint8_t handle,
                        uint16_t request) {
    sendPrimitive<NFACE_NFC_LLCP_DATA_CONF>(p, app, request, {upper, hLink, llcpUpCause(cause), handle});
}

void llcpSendLinkConf(TLlcp* p, uint16_t code, uint32_t app, TLlcpLink* link, uint16_t cause) {
    OsMessage message{};
    message.command = code;
    message.source = (p->moduleWord & ~MM_WORD_INSTANCE_BITS) | (app & 7u) << 19;
    osMsgSetFields(message, TNfaceLlcpLinkCause{link ? link->upper : nullptr, link, llcpUpCause(cause)});
    p->lastAnswer = code;
    llcpSendUp(p, message);
}

void llcpSendSdpConf(TLlcp* p, uint32_t app, void* requester, uint16_t request, uint16_t cause, uint8_t sap) {
    TRACE(LLCP_TRACE, "LLCP: send NFC_LLCP_SDP_CONF cause=0x%X sap=0x%X", cause, sap);
    sendPrimitive<NFACE_NFC_LLCP_SDP_CONF>(p, app, request, {requester, cause, sap});
}

bool llcpSendDataUp(TLlcp* p, TLlcpLink* link, uint8_t ssap, const uint8_t* data, uint16_t length) {
    TLlcpRxBuffer rx{};
    if (!(link->flags & LLCP_LINK_IN_USE) || !link->rxFree.pop(rx)) {
        TRACE(TRC_ERROR, "!! LLCP: no receive buffer on link %d, frame of %d bytes dropped", llcpLinkIndex(link),
              length);
        return false;
    }
    if (length > rx.size) {
        link->rxFree.push(rx);
        TRACE(TRC_ERROR, "!! LLCP: frame of %d bytes longer than the receive buffer (%d) of link %d, dropped", length,
              rx.size, llcpLinkIndex(link));
        return false;
    }
    if (length) std::memcpy(rx.data, data, length);
    rx.length = length;
    link->rxInUse.push(rx);
    const auto handle = static_cast<uint8_t>(link->counters[0]++);
    sendPrimitive<NFACE_NFC_LLCP_DATA_IND>(p, link->app, 0, {link->upper, link, rx.data, length, ssap, handle});
    return true;
}

void llcpSendConActInd(TLlcp* p, TLlcpLink* link) {
    TRACE(LLCP_TRACE, "LLCP: send NFC_LLCP_CON_ACT_IND sSAP=0x%X dSAP=0x%X newdSAP=0x%X ws=0x%X miu=0x%X",
          link->localSap, link->firstRemoteSap, link->remoteSap, link->remoteWindow, link->remoteMiu);
    sendPrimitive<NFACE_NFC_LLCP_CON_ACT_IND>(
        p, link->app, 0, {link->upper, link, link->remoteMiu, link->localSap, link->remoteSap, link->remoteWindow});
    link->firstRemoteSap = link->remoteSap;
}

void llcpSendOpenConf(TLlcp* p, uint16_t code, uint32_t app, void* upper, TLlcpLink* link, uint16_t cause,
                      uint16_t request) {
    if (code == NFACE_NFC_LLCP_CON_CONF)
        TRACE(LLCP_TRACE, "LLCP: send NFC_LLCP_CON_CONF cause=0x%X", llcpUpCause(cause));
    else
        TRACE(LLCP_TRACE, "LLCP: send NFCLLCP_LISTEN_CONF cause=0x%X", llcpUpCause(cause));
    OsMessage message{};
    message.command = code;
    message.spare = request;
    message.source = (p->moduleWord & ~MM_WORD_INSTANCE_BITS) | (app & 7u) << 19;
    osMsgSetFields(message, TNfaceLlcpLinkCause{upper, link, llcpUpCause(cause)});
    p->lastAnswer = code;
    llcpSendUp(p, message);
}
