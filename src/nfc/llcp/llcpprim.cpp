// The applications' requests the task serves itself: disconnect, send, receive-buffer return,
// and the end of the device (technology removal).
#include <cstring>

#include "L1/common/nfcllmsg.h"
#include "llcp/llcplm.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

uint16_t discCause(TLlcp* p, TLlcpLink* link) {
    switch (link->state) {
        case LLCP_STATE_CONNECTING: nfcllcpChangeState(link, LLCP_STATE_DISCONNECTING); return LLCP_OK;
        case LLCP_STATE_CONNECTED:
            if (link->flags & LLCP_LINK_CO) {
                if (p->rawMode != LLCP_RAW_BYPASS) nfcllcpSendUFRAME(p, link, LLCP_DISC, nullptr, 0, nullptr);
                nfcllcpChangeState(link, LLCP_STATE_CLOSING);
            }
            return LLCP_OK;
        case LLCP_STATE_CLOSING:
        case LLCP_STATE_DISCONNECTING: return LLCP_WRONG_STATE;
        default: return LLCP_OK;
    }
}

// Raw mode 1: the data go down as they are, while a receive buffer waits for the answer.
void sendRaw(TLlcp* p, TLlcpLink* link, const TNfaceLlcpDataReq& f, uint32_t app) {
    TLlcpRxBuffer rx{};
    if (!link || !(link->flags & LLCP_LINK_IN_USE) || !link->rxFree.pop(rx)) {
        TRACE(TRC_ERROR, "!! %s: no free receive buffer on link 0x%p", "nfcllcpHandleNFCLLCPDataReq", f.hLink);
        llcpSendDataConfTo(p, app, link ? link->upper : nullptr, f.hLink, LLCP_NO_RESOURCES, f.handle, p->msg.spare);
        return;
    }
    void* buffer = nullptr;
    if (f.length > LLCP_DS_BUFFER || (f.length && !f.data) ||
        osBufferGet(p->dsPool, LLCP_DS_BUFFER, &buffer, nullptr, nullptr) != OS_OK) {
        link->rxFree.push(rx);
        TRACE(TRC_ERROR, "!! %s: raw frame of %d bytes not sent", "nfcllcpHandleNFCLLCPDataReq", f.length);
        llcpSendDataConf(p, link, f.length > LLCP_DS_BUFFER ? LLCP_BAD_PARAMETER : LLCP_NO_RESOURCES, f.handle,
                         p->msg.spare);
        return;
    }
    link->rxInUse.push(rx);
    if (f.length) std::memcpy(buffer, f.data, f.length);
    OsMessage message{};
    message.command = PH_DATA_REQ;
    message.source = p->moduleWord;
    osMsgSetFields(message, PhDataFields{PH_DATA_OWNED, 0, f.length, static_cast<BYTE*>(buffer)});
    llcpSendDown(p, message);
}

void sendConnectionless(TLlcp* p, TLlcpLink* link, const TNfaceLlcpDataReq& f) {
    if (f.length > p->remote.miu || (f.length && !f.data)) {
        TRACE(TRC_ERROR, "!! %s: UI of %d bytes longer than the link MIU %d", "nfcllcpHandleNFCLLCPDataReq", f.length,
              p->remote.miu);
        llcpSendDataConf(p, link, LLCP_BAD_PARAMETER, f.handle, p->msg.spare);
        return;
    }
    link->remoteSap = f.dsap;
    if (!llcpSendUiDownstream(p, link, TLlcpPending{f.data, f.length, f.handle, f.dsap, p->msg.spare}))
        llcpSendDataConf(p, link, LLCP_NO_RESOURCES, f.handle, p->msg.spare);
}

void sendConnectionOriented(TLlcp* p, TLlcpLink* link, const TNfaceLlcpDataReq& f) {
    if (f.length > link->remoteMiu || link->remoteWindow == 0) {
        llcpSendDataConf(p, link, LLCP_BAD_PARAMETER, f.handle, p->msg.spare);
        return;
    }
    if (!link->pending.push(TLlcpPending{f.data, f.length, f.handle, link->remoteSap, p->msg.spare})) {
        llcpSendDataConf(p, link, LLCP_NO_RESOURCES, f.handle, p->msg.spare);
        return;
    }
    ++link->queued;
    llcpLinkSendData(p, link);
}

// The request in flight when the device went, answered so that its requester doesn't wait.
void answerUnfinished(TLlcp* p) {
    const uint16_t command = p->lastCommand;
    if (!(command & 1u) || (command & 0xFFF0u) == (p->lastAnswer & 0xFFF0u)) return;
    const auto answer = static_cast<uint16_t>((command & ~1u) | 2u);
    TRACE(LLCP_TRACE, "%s: send command=%#X", "llcpHandleTechRemove", answer);
    TLlcpLink* link = p->lastLink;
    if (command == NFACE_NFC_LLCP_DATA_REQ) {
        // Only a request the link still holds is unanswered; the rest were confirmed already.
        // The peer never acknowledged it: it is not confirmed as sent.
        TLlcpPending next{};
        if (link && (link->unacked.pop(next) || link->pending.pop(next)))
            llcpSendDataConfTo(p, p->lastApp, link->upper, link, LLCP_NOT_ACTIVE, next.handle, next.request);
    } else if (command != NFACE_NFC_LLCP_SDP_REQ) { // the end of the link answers discovery
        llcpSendLinkConf(p, answer, p->lastApp, link, LLCP_NOT_ACTIVE);
    }
}

// The receive buffers must lie within the area the requester gave.
bool fitsArea(const uint8_t* buffer, uint32_t size, uint8_t blocks, uint8_t window, uint16_t miu) {
    const uint64_t needed = uint64_t{blocks} * window * miu;
    return needed == 0 || (buffer && needed <= size);
}

// A refused connection or listener gives its SAP back with its link.
void releaseRefused(TLlcp* p, TLlcpLink* link) {
    if (!link) return;
    llcpReleaseSap(p, link->localSap);
    nfcllcpReleaseLink(p, link);
}

} // namespace

void nfcllcpHandleNFCLLCPDiscReq(TLlcp* p) {
    constexpr char fn[] = "nfcllcpHandleNFCLLCPDiscReq";
    const auto f = osMsgFields<TNfaceLlcpLink>(p->msg);
    const uint32_t app = mmWordInstance(p->msg.source);
    TRACE(LLCP_TRACE, "LLCP: get NFCLLCP_DISC_REQ hLink=%p", f.hLink);
    TLlcpLink* link = llcpLinkOf(p, f.hLink);
    if (!link || llcpCheckLinkHandle(p, link, app) != LLCP_OK) {
        TRACE(TRC_ERROR, "!! %s: invalid Handle %p", fn, f.hLink);
        return;
    }
    p->lastCommand = p->msg.command;
    p->lastApp = app;
    p->lastLink = link;
    const uint16_t cause = discCause(p, link);
    llcpSendDiscConf(p, link, cause, p->msg.spare);
    const bool co = (link->flags & LLCP_LINK_CO) != 0;
    if (co && !(link->flags & LLCP_LINK_OUTGOING) && link->remoteSap == LLCP_NO_SAP) {
        nfcllcpChangeState(link, LLCP_STATE_DISCONNECTING);
        if (link->accepted == 0) llcpSendDiscInd(p, link, LLCP_OK);
    }
    if (cause == LLCP_OK && !co && !(link->flags & LLCP_LINK_DISCONNECTED)) {
        llcpSendDiscInd(p, link, LLCP_OK);
        nfcllcpChangeState(link, LLCP_STATE_IDLE);
    }
    TRACE(LLCP_TRACE, "LLCP: %s: clean SDP list", fn);
    llcpAnswerSdpRequests(p, LLCP_WRONG_STATE, app);
    // An accepted connection runs on its listener's SAP, an outgoing one gives its SAP back when
    // it is released, and a listener keeps its SAP while connections it accepted still run on it:
    // freed now, the SAP could be given to a second listener, or a connect by name would not
    // find the service any more.
    const bool keeps = !co || (!(link->flags & LLCP_LINK_OUTGOING) && link->remoteSap == LLCP_NO_SAP &&
                               link->accepted == 0);
    if (keeps) llcpFreeSap(p, link->localSap);
}

void nfcllcpHandleNFCLLCPDataReq(TLlcp* p) {
    constexpr char fn[] = "nfcllcpHandleNFCLLCPDataReq";
    const auto f = osMsgFields<TNfaceLlcpDataReq>(p->msg);
    const uint32_t app = mmWordInstance(p->msg.source);
    TRACE(LLCP_TRACE, "LLCP: get NFC_LLCP_DATA_REQ link=%p datahndl=0x%X data=%p len=0x%X", f.hLink, f.handle,
          static_cast<const void*>(f.data), f.length);
    TLlcpLink* link = llcpLinkOf(p, f.hLink);
    p->lastCommand = p->msg.command;
    p->lastApp = app;
    p->lastLink = link;
    if (p->rawMode == LLCP_RAW_BYPASS) {
        sendRaw(p, link, f, app);
        return;
    }
    if (link && (link->flags & LLCP_LINK_DISCONNECTED)) {
        // Its requester learns of the disconnection next; the request is answered all the same.
        TRACE(LLCP_TRACE, "%s: link=%p already disconnected", fn, f.hLink);
        llcpSendDataConf(p, link, LLCP_WRONG_STATE, f.handle, p->msg.spare);
        return;
    }
    if (!link || llcpCheckLinkHandle(p, link, app) != LLCP_OK) {
        TRACE(TRC_ERROR, "!! %s: invalid link =%p", fn, f.hLink);
        llcpSendDataConfTo(p, app, nullptr, f.hLink, LLCP_BAD_PARAMETER, f.handle, p->msg.spare);
        return;
    }
    if (link->state != LLCP_STATE_CONNECTED) {
        TRACE(TRC_ERROR, "!! %s: link=%p wrong state(%d)", fn, f.hLink, static_cast<int>(link->state));
        llcpSendDataConf(p, link, LLCP_WRONG_STATE, f.handle, p->msg.spare);
        return;
    }
    if (link->flags & LLCP_LINK_CO)
        sendConnectionOriented(p, link, f);
    else
        sendConnectionless(p, link, f);
}

void nfcllcpHandleNFCLLCPDataResp(TLlcp* p) {
    constexpr char fn[] = "nfcllcpHandleNFCLLCPDataResp";
    const auto f = osMsgFields<TNfaceLlcpDataResp>(p->msg);
    TRACE(LLCP_TRACE, "LLCP: get NFC_LLCP_DATA_RESP link=%p ,datahndl=0x%X", f.hLink, f.handle);
    TLlcpLink* link = llcpLinkOf(p, f.hLink);
    if (!link || llcpCheckLinkHandle(p, link, mmWordInstance(p->msg.source)) != LLCP_OK) {
        TRACE(TRC_ERROR, "!! %s: invalid link=%p", fn, f.hLink);
        return;
    }
    TLlcpRxBuffer rx{};
    if (!link->rxInUse.pop(rx)) {
        TRACE(TRC_ERROR, "!! %s: rx buffer q empty", fn);
        return;
    }
    rx.length = 0;
    link->rxFree.push(rx);
    llcpLinkBufferReturned(p, link);
}

void nfcllcpHandleNFCLLCPDiscResp(TLlcp* p) {
    constexpr char fn[] = "nfcllcpHandleNFCLLCPDiscResp";
    const auto f = osMsgFields<TNfaceLlcpLinkOnly>(p->msg);
    TRACE(LLCP_TRACE, "LLCP: get NFCLLCP_DISC_RESP link=%p", f.hLink);
    TLlcpLink* link = llcpLinkOf(p, f.hLink);
    if (!link || llcpCheckLinkHandle(p, link, mmWordInstance(p->msg.source)) != LLCP_OK) {
        TRACE(TRC_ERROR, "!! %s: invalid handle=%p", fn, f.hLink);
        return;
    }
    const bool indicated = (link->flags & LLCP_LINK_DISCONNECTED) != 0;
    const bool listener =
        (link->flags & LLCP_LINK_CO) && !(link->flags & LLCP_LINK_OUTGOING) && link->remoteSap == LLCP_NO_SAP;
    if (!indicated || !(link->state == LLCP_STATE_IDLE || (listener && link->state == LLCP_STATE_DISCONNECTING))) {
        TRACE(TRC_ERROR, "!! %s: link=%p wrong state(%d) DiscIndSent(%d) ", fn, f.hLink, static_cast<int>(link->state),
              indicated ? 1 : 0);
        return;
    }
    if (link->flags & LLCP_LINK_OUTGOING) llcpReleaseSap(p, link->localSap);
    nfcllcpReleaseLink(p, link);
}

void nfcllcpHandleNFCLLCPConActResp(TLlcp* p) {
    const auto f = osMsgFields<TNfaceLlcpLink>(p->msg);
    TRACE(LLCP_TRACE, "LLCP: get NFCLLCP_CON_ACT_RESP hP2PLink=%p hApp=%p", f.hLink, f.hApp);
    TLlcpLink* link = llcpLinkOf(p, f.hLink);
    if (!link || llcpCheckLinkHandle(p, link, mmWordInstance(p->msg.source)) != LLCP_OK) {
        TRACE(TRC_ERROR, "!! nfcllcpHandleNFCLLCPConActResp bad handle: %p.", f.hLink);
        return;
    }
    link->upper = f.hApp;
    llcpLinkAccepted(p, link);
}

void nfcllcpHandleNFCLLCPConReq(TLlcp* p) {
    constexpr char fn[] = "nfcllcpHandleNFCLLCPConReq";
    const auto f = osMsgFields<TNfaceLlcpConReq>(p->msg);
    const uint32_t app = mmWordInstance(p->msg.source);
    TRACE(LLCP_TRACE, "LLCP: get NFCLLCP_CON_REQ dSAP=0x%X wz=0x%X miu=0x%X mode=CO", f.dsap, f.window, f.miu);
    p->lastCommand = p->msg.command;
    p->lastApp = app;
    p->lastLink = nullptr;
    TLlcpLink* link = nullptr;
    uint16_t cause = LLCP_NOT_ACTIVE;
    if (p->flags & LLCP_ACTIVE) {
        const bool named = f.name && f.nameLength;
        cause = f.nameLength > LLCP_NAME_MAX
                    ? uint16_t{LLCP_BAD_PARAMETER}
                    : nfcllcpAllocConLink(p, &link, app, f.context, f.dsap, named ? f.name : nullptr,
                                          static_cast<uint8_t>(named ? f.nameLength : 0));
        if (cause != LLCP_OK) TRACE(TRC_ERROR, "!! %s: no link for SAP=0x%X cause=0x%X", fn, f.dsap, cause);
    }
    if (link && (f.window > LLCP_MAX_WINDOW || f.miu > LLCP_MAX_MIU ||
                 !fitsArea(f.buffer, f.bufferSize, 1, f.window, f.miu))) {
        TRACE(TRC_ERROR, "!! %s: windowSize too big (%d > %d) or miu too big (%d > %d)", fn, f.window, LLCP_MAX_WINDOW,
              f.miu, LLCP_MAX_MIU);
        releaseRefused(p, link);
        link = nullptr;
        cause = LLCP_BAD_PARAMETER;
    }
    if (link) {
        llcpLinkGiveRxBuffers(link, f.buffer, f.window, f.miu);
        p->lastLink = link;
        cause = llcpLinkConnect(p, link, f.name, static_cast<uint8_t>(f.name ? f.nameLength : 0));
        if (cause != LLCP_OK) {
            releaseRefused(p, link);
            link = nullptr;
        }
    }
    llcpSendOpenConf(p, NFACE_NFC_LLCP_CON_CONF, app, f.context, link, cause, p->msg.spare);
}

void nfcllcpHandleNFCLLCPListenReq(TLlcp* p) {
    constexpr char fn[] = "nfcllcpHandleNFCLLCPListenReq";
    const auto f = osMsgFields<TNfaceLlcpListenReq>(p->msg);
    const uint32_t app = mmWordInstance(p->msg.source);
    const bool co = f.mode != 0;
    TRACE(LLCP_TRACE, "LLCP: get NFCLLCP_LISTEN_REQ SAP=0x%X mode=0x%s wz=0x%X miu=0x%X", f.ssap, co ? "CO" : "CLS",
          f.window, f.miu);
    p->lastCommand = p->msg.command;
    p->lastApp = app;
    p->lastLink = nullptr;
    TLlcpLink* link = nullptr;
    const bool named = f.name && f.nameLength;
    uint16_t cause = f.nameLength > LLCP_NAME_MAX
                         ? uint16_t{LLCP_BAD_PARAMETER}
                         : nfcllcpAllocListenLink(p, &link, app, f.context, f.ssap, named ? f.name : nullptr,
                                                  static_cast<uint8_t>(named ? f.nameLength : 0), co);
    if (cause != LLCP_OK) TRACE(TRC_ERROR, "!! %s: no link", fn);
    const uint8_t blocks = co ? f.maxConnections : 1;
    if (link && (f.window > LLCP_MAX_WINDOW || f.miu > LLCP_MAX_MIU || f.miu < LLCP_DEFAULT_MIU ||
                 f.maxConnections > LLCP_MAX_CONNECTIONS || (co && f.maxConnections == 0) ||
                 !fitsArea(f.buffer, f.bufferSize, blocks, f.window, f.miu))) {
        TRACE(TRC_ERROR,
              "!! %s: Parameters not accepted:\nif( pListenReq->windowSize (%d) > MAX_WINDOW_SIZE (%d) ||\n    "
              "pListenReq->maxMIU (%d) > LLCP_MAX_MIU (%d) ||\n    pListenReq->maxMIU (%d) < LLCP_DEFAULT_MIU (%d) "
              "||\n    pListenReq->maxCon (%d) > NFC_LLCP_MAX_CONC_CON (%d) ||\n  (pListenReq->connectionMode (%d) "
              "&& pListenReq->maxCon (%d)== 0)",
              fn, f.window, LLCP_MAX_WINDOW, f.miu, LLCP_MAX_MIU, f.miu, LLCP_DEFAULT_MIU, f.maxConnections,
              LLCP_MAX_CONNECTIONS, f.mode, f.maxConnections);
        releaseRefused(p, link);
        link = nullptr;
        cause = LLCP_BAD_PARAMETER;
    }
    if (link) {
        p->lastLink = link;
        link->maxConnections = f.maxConnections;
        link->accepted = 0;
        if (co) {
            link->window = f.window;
            link->miu = f.miu;
            link->area = f.buffer;
            link->blocksUsed = 0;
        } else {
            llcpLinkGiveRxBuffers(link, f.buffer, f.window, f.miu);
        }
    }
    llcpSendOpenConf(p, NFACE_NFC_LLCP_LISTEN_CONF, app, f.context, link, cause, p->msg.spare);
    if (link && !co) llcpSendConActInd(p, link);
}

void llcpHandleTechRemove(TLlcp* p) {
    TRACE(LLCP_TRACE, "LLCP: get NFCLL_TECH_REMOVE_IND");
    answerUnfinished(p);
    llcpSendDiscIndAll(p, LLCP_NOT_ACTIVE);
    llcpSendTechRemove(p, nfcllMsgGet<NFCLL_TECH_REMOVE_IND>(p->msg).cause);
}
