// The LLCP task: registration, start-up and the dispatch of every message it takes. The task
// sits between the NFC manager (upstream) and layer 1 (downstream) while a P2P device is there.
#include "llcp/llcp.h"

#include <algorithm>
#include <new>

#include "L1/common/nfcllmsg.h"
#include "core/nfacemsg.h"
#include "hw/hw_timer.h"
#include "llcp/llcplm.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "util/stackbytes.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kMagic[] = {0x46, 0x66, 0x6D};
constexpr uint8_t kMaxRequeue = 2;
constexpr uint32_t kShutdownMs = 200;

uint32_t poolName(uint32_t moduleWord) { return moduleWord | 0xFC00u; }

void releaseFrame(const PhDataFields& data) {
    if (data.flags & PH_DATA_OWNED) osBufferRelease(data.buffer);
}

void handleLinkProtocol(TLlcp* p) {
    const auto f = osMsgFields<MmLinkProtocolFields>(p->msg);
    p->usQueue = f.above;
    p->dsQueue = f.below;
    TRACE(LLCP_TRACE, "LLCP: LINK_PROTOCOL us id=0x%X, ds id=0x%X", p->usQueue, p->dsQueue);
}

void handleSetParameter(TLlcp* p) {
    TNfcmanLlcpParameters* request = osMsgFields<TNfcmanSetParameterFields>(p->msg).parameters;
    if (!request) return;
    const bool initiator = request->role == NFCMAN_LLCP_INITIATOR;
    if (request->lto != 0) p->remote.ltoMs = static_cast<uint16_t>(request->lto);
    TRACE(LLCP_TRACE, "LLCP: SET_PARAMETER_REQ type=%s, LTO=%d", initiator ? "P2P_IN" : "P2P_TG",
          static_cast<int>(request->lto));
    p->rawMode = nfcmanP2pRawMode();
    p->option = nfcmanOptionByte();
    p->flags &= ~LLCP_LAST_SENT_SYMM;
    p->lastRxType = LLCP_NO_PTYPE;
    if (initiator) {
        p->flags |= LLCP_INITIATOR | LLCP_MY_TURN | LLCP_FIRST_SYMM;
        p->flags |= LLCP_ACTIVE | LLCP_ACTIVATED;
        nfcllcpStartTimerSYMM(p);
    } else {
        p->flags &= ~(LLCP_INITIATOR | LLCP_MY_TURN | LLCP_FIRST_SYMM | LLCP_LAST_SENT_SYMM);
        p->flags |= LLCP_ACTIVE | LLCP_ACTIVATED;
        llcpStartTimerLTO(p);
    }
    llcpBufferCheck(p);
    osBufferRelease(request);
    llcpSendDown(p, nfcllMsgMake<NFCLL_ACT_CONF>(p->moduleWord, {0, nullptr}));
}

void expireInstanceTimer(TLlcp* p, uint8_t id) {
    uint32_t& running = p->timerRunning[id - 1];
    if (running != 1) return;
    // Outside raw mode 0 the flag stays up while the expiry acts: the sender then sends a SYMM.
    if (p->rawMode == LLCP_RAW_NONE) running = 0;
    switch (id) {
        case LLCP_TIMER_SYMM: nfcllcpLMSendDownstream(p); break;
        case LLCP_TIMER_LTO:
            TRACE(TRC_ERROR, "!! LLCP: Link Timeout, LTO=%d msec", p->remote.ltoMs);
            llcpSendDiscIndAll(p, LLCP_LINK_TIMEOUT);
            llcpSendDlDeactInd(p);
            break;
        default: TRACE(LLCP_TRACE, "LLCP: llcpTimerIDShutdown fired"); llcpSendDlDeactInd(p);
    }
    running = 0;
}

void handleTimer(TLlcp* p) {
    const auto f = osMsgFields<HwTimerFields>(p->msg);
    if (f.timerId == 0) {
        DEBUG_BREAK("nfc/llcp/llcp.cpp");
        return;
    }
    if (f.timerId <= LLCP_TIMER_SHUTDOWN) {
        expireInstanceTimer(p, f.timerId);
        return;
    }
    if (f.channel >= LLCP_LINKS) {
        DEBUG_BREAK("nfc/llcp/llcp.cpp");
        return;
    }
    TLlcpLink* link = &p->links[f.channel];
    if (!link->ackTimerRunning) return;
    link->ackTimerRunning = 0;
    if (f.timerId == LLCP_TIMER_ACK && link->state == LLCP_STATE_CONNECTED) llcpLinkAckDue(p, link);
}

void handlePhDataInd(TLlcp* p) {
    const auto data = osMsgFields<PhDataFields>(p->msg);
    const uint8_t* frame = data.buffer ? data.buffer + data.offset : nullptr;
    if (p->rawMode == LLCP_RAW_BYPASS) {
        TLlcpLink* link = &p->links[0];
        link->remoteSap = LLCP_SAP_SDP;
        p->flags |= LLCP_MY_TURN;
        llcpSendDataUp(p, link, link->remoteSap, frame, data.length);
    } else if (p->flags & LLCP_ACTIVATED) {
        llcpHandleFrame(p, frame, data.length);
        p->requeued = 0;
    } else if (p->requeued <= kMaxRequeue) {
        TRACE(LLCP_TRACE, "%s: handle PH_DATA_IND, put message back in our own queue!", "nfcllcpHandleMessage");
        ++p->requeued;
        if (osMessageSend(p->ownQueue, &p->msg) == OS_OK) return;
    } else {
        TRACE(TRC_ERROR, "!! LLCP: PH_DATA_IND before activation dropped");
    }
    releaseFrame(data);
}

void handleDlDeactReq(TLlcp* p) {
    TRACE(LLCP_TRACE, "LLCP: get DL_DEACT_REQ");
    nfcllcpStopTimerSYMM(p);
    llcpFlushDownstream(p);
    if (p->rawMode != LLCP_RAW_BYPASS) llcpSendDiscIndAll(p, LLCP_OK);
    llcpStartTimer(p, LLCP_TIMER_SHUTDOWN, kShutdownMs);
}

void handleDeviceInd(TLlcp* p) {
    const TNfcTagInfo* device = nfcllMsgGet<NFCLL_DEVICE_IND>(p->msg).device;
    if (!device) {
        TRACE(LLCP_TRACE, "LLCP: get NFCLL_DEVICE_IND type=<null>");
        llcpSendDiscIndAll(p, LLCP_NOT_ACTIVE);
        llcpSendTechRemove(p, LLCP_NOT_ACTIVE);
        return;
    }
    TRACE(LLCP_TRACE, "LLCP: get NFCLL_DEVICE_IND type=%d", static_cast<int>(device->tagType));
    if (p->rawMode == LLCP_RAW_BYPASS)
        llcpSendDown(p, nfcllMsgMake<NFCLL_DEVICE_RESP>(p->moduleWord, {device, LLCP_DEFAULT_MIU}));
    p->rxSymm = 0;
}

void handleDeviceResp(TLlcp* p) {
    TRACE(LLCP_TRACE, "LLCP: get NFCLL_DEVICE_RESP");
    auto response = nfcllMsgGet<NFCLL_DEVICE_RESP>(p->msg);
    p->rxSymm = 0;
    response.miu = LLCP_DEFAULT_MIU;
    CByteReader general = response.device ? llcpDeviceGeneralBytes(*response.device) : CByteReader();
    if (general.remaining() > 2) {
        for (; general.remaining() >= sizeof kMagic; general.skip(1)) {
            if (!general.startsWith(kMagic, sizeof kMagic)) continue;
            general.skip(sizeof kMagic);
            llcpEvaluateParams(general.here(), general.remaining(), p->remote);
            response.miu = p->remote.miu;
            break;
        }
    }
    llcpSendDown(p, nfcllMsgMake<NFCLL_DEVICE_RESP>(p->msg.source, response));
}

// Layer 1 ends the link: its connections learn so before the manager does.
void endLink(TLlcp* p, uint16_t cause) {
    llcpSendDiscIndAll(p, cause);
    llcpSendDlDeactInd(p);
}

void handleErrorInd(TLlcp* p) {
    TRACE(LLCP_TRACE, "LLCP: get NFCLL_ERROR_IND");
    if (nfcllMsgGet<NFCLL_ERROR_IND>(p->msg).cause == LLCP_CHIP_FAILURE) {
        TRACE(TRC_ERROR, "!LLCP: CHIP failure in p2p mode detected, requesting reset/recovery");
        llcpSendDown(p, nfcllMsgMake<PH_RESET_REQ>(p->moduleWord));
        return;
    }
    endLink(p, LLCP_OK);
}

void forward(TLlcp* p) {
    const bool fromManager = mmWordName(p->msg.source) == NFCMAN_QUEUE_NAME;
    TRACE(LLCP_TRACE, "LLCP: %s unhandled msg forwarded to %s, command=0x%X, srcObjectId=0x%X", "nfcllcpHandleMessage",
          fromManager ? "LL" : "UL", p->msg.command, static_cast<unsigned>(p->msg.source));
    if (fromManager)
        llcpSendDown(p, p->msg);
    else
        llcpSendUp(p, p->msg);
}

void dispatch(TLlcp* p) {
    switch (p->msg.command) {
        case MM_LINK_PROTOCOL: handleLinkProtocol(p); break;
        case LLCP_SET_PARAMETER_REQ: handleSetParameter(p); break;
        case LLCP_PASS_UP: llcpSendUp(p, p->msg); break;
        case LLCP_IGNORED: break;
        case HW_TIMER_EXPIRED: handleTimer(p); break;
        case PH_DATA_IND: handlePhDataInd(p); break;
        case DL_DEACT_REQ: handleDlDeactReq(p); break;
        case NFCLL_DEVICE_IND: handleDeviceInd(p); break;
        case NFCLL_DEACT_IND:
            TRACE(LLCP_TRACE, "LLCP: get NFCLL_DEACT_IND, send DL_DEACT_IND");
            endLink(p, LLCP_NOT_ACTIVE);
            break;
        case NFCLL_ERROR_IND: handleErrorInd(p); break;
        case NFCLL_TECH_REMOVE_IND: llcpHandleTechRemove(p); break;
        case NFCLL_DEVICE_RESP: handleDeviceResp(p); break;
        case NFACE_NFC_LLCP_CON_REQ: nfcllcpHandleNFCLLCPConReq(p); break;
        case NFACE_NFC_LLCP_LISTEN_REQ: nfcllcpHandleNFCLLCPListenReq(p); break;
        case NFACE_NFC_LLCP_CON_ACT_RESP: nfcllcpHandleNFCLLCPConActResp(p); break;
        case NFACE_NFC_LLCP_DISC_RESP: nfcllcpHandleNFCLLCPDiscResp(p); break;
        case NFACE_NFC_LLCP_DISC_REQ: nfcllcpHandleNFCLLCPDiscReq(p); break;
        case NFACE_NFC_LLCP_DATA_REQ: nfcllcpHandleNFCLLCPDataReq(p); break;
        case NFACE_NFC_LLCP_DATA_RESP: nfcllcpHandleNFCLLCPDataResp(p); break;
        case NFACE_NFC_LLCP_SDP_REQ: nfcllcpHandleNFCLLCPSdpReq(p); break;
        case NFCLL_LLCP_TRIGGER_IND:
            if (p->timerRunning[LLCP_TIMER_LTO - 1]) llcpStartTimerLTO(p);
            break;
        default: forward(p);
    }
}

int32_t llcpStart(void* segment, uint32_t id) { return nfcllcpInit(segment, id); }

void llcpExit(void* segment) {
    auto* p = static_cast<TLlcp*>(segment);
    if (p->ready) llcpFlushDownstream(p);
}

} // namespace

CByteReader llcpDeviceGeneralBytes(const TNfcTagInfo& device) {
    const size_t length = std::min<size_t>(device.historicalBytesLength, NFCLL_GENERAL_BYTES_MAX);
    return CByteReader(reinterpret_cast<const uint8_t*>(&device) + NFCLL_GENERAL_BYTES_OFFSET, length);
}

int32_t nfcllcpInit(void* instance, uint32_t id) {
    auto* p = static_cast<TLlcp*>(instance);
    TRACE(LLCP_TRACE, "nfcllcpInit(), link size %d", static_cast<int>(sizeof(TLlcpLink)));
    if (p->ready) return osQueueSetName(p->ownQueue, id) == OS_OK ? 0 : -1;
    p = new (instance) TLlcp{};
    p->moduleWord = id;
    if (osTaskCreate(p, &nfcllcpHandleMessage, id, &p->ownQueue) != OS_OK || osGetTimerQueueID(&p->timerQueue) != OS_OK)
        return -1;
    if (osPoolCreate(poolName(id), LLCP_DS_BUFFER, LLCP_DS_BUFFERS, &p->dsPool) != OS_OK ||
        osPoolCreate(poolName(id) ^ 0x0C00u, LLCP_CTRL_BUFFER, LLCP_CTRL_BUFFERS, &p->ctrlPool) != OS_OK)
        return -1;
    TRACE(LLCP_TRACE, "LLCP: ds pool 0x%X, control pool 0x%X", p->dsPool, p->ctrlPool);
    llcpElementsInit(p);
    llcpLinksInit(p);
    llcpSapsInit(p);
    for (int i = 0; i < LLCP_SDP_SLOTS; ++i) p->sdp[i].tid = static_cast<uint8_t>(i + 1);
    p->ready = true;
    return 0;
}

void nfcllcpHandleMessage(void* instance) {
    auto* p = static_cast<TLlcp*>(instance);
    if (osMessageReceive(p->ownQueue, &p->msg) != OS_OK) return;
    dispatch(p);
}

OsResult llcpRegister(uint16_t) {
    static_assert(sizeof(TLlcp) <= 0xFFFF, "the instance fits a module segment");
    return osModuleRegister(NFCMAN_LLCP_QUEUE_NAME, sizeof(TLlcp), &llcpStart, &llcpExit, MM_TYPE_TASK);
}
