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
                nfcllcpSendUFRAME(p, link, LLCP_DISC, nullptr, 0, nullptr);
                nfcllcpChangeState(link, LLCP_STATE_DISCONNECTING);
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
    if (command == NFACE_NFC_LLCP_DATA_REQ && link) {
        TLlcpPending next{};
        const uint8_t handle = link->pending.pop(next) ? next.handle : 255;
        llcpSendDataConfTo(p, p->lastApp, link->upper, link, LLCP_OK, handle, next.request);
    } else if (command == NFACE_NFC_LLCP_SDP_REQ) {
        for (TLlcpSdpSlot& slot : p->sdp)
            if (slot.busy && slot.app == p->lastApp) {
                slot.busy = 0;
                llcpSendSdpConf(p, slot.app, slot.requester, slot.request, llcpUpCause(LLCP_NOT_ACTIVE), 0);
            }
    } else {
        llcpSendLinkConf(p, answer, p->lastApp, link, LLCP_NOT_ACTIVE);
    }
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
    llcpFreeSdpSlots(p, app);
    llcpFreeSap(p, link->localSap);
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
        TRACE(LLCP_TRACE, "%s: link=%p already disconnected", fn, f.hLink);
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
    if ((link->flags & LLCP_LINK_RNR_SENT) && link->rxInUse.count < link->rnrThreshold) {
        link->flags &= ~LLCP_LINK_RNR_SENT;
        nfcllcpSendSFRAME(p, link, LLCP_RR);
    }
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

void llcpRefuseLinkRequest(TLlcp* p) {
    // Connections and listeners are opened by the connection procedures, which answer here as
    // they are built; until then the requester is told at once rather than left waiting.
    const auto answer = static_cast<uint16_t>((p->msg.command & ~1u) | 2u);
    TRACE(TRC_ERROR, "! LLCP: request 0x%X refused, connections are not served", p->msg.command);
    OsMessage message{};
    message.command = answer;
    message.spare = p->msg.spare;
    message.source = (p->moduleWord & ~MM_WORD_INSTANCE_BITS) | (p->msg.source & MM_WORD_INSTANCE_BITS);
    void* upper = p->msg.command == NFACE_NFC_LLCP_CON_REQ ? osMsgFields<TNfaceLlcpConReq>(p->msg).context
                                                           : osMsgFields<TNfaceLlcpListenReq>(p->msg).context;
    osMsgSetFields(message, TNfaceLlcpLinkCause{upper, nullptr, llcpUpCause(LLCP_BAD_PARAMETER)});
    llcpSendUp(p, message);
}

void llcpHandleTechRemove(TLlcp* p) {
    TRACE(LLCP_TRACE, "LLCP: get NFCLL_TECH_REMOVE_IND");
    answerUnfinished(p);
    llcpSendDiscIndAll(p, LLCP_NOT_ACTIVE);
    llcpFlushDownstream(p);
    llcpSendTechRemove(p, nfcllMsgGet<NFCLL_TECH_REMOVE_IND>(p->msg).cause);
    p->flags &= ~LLCP_ACTIVATED;
}
