// I/O control and timers of the ETSI HCI driver: the code table, the loopback exchange, the
// tag and secure-element time-outs, the driver timers and the TX buffers' release.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "L1/ehci/ehci.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;

enum : uint16_t { kCauseOk = 0, kCauseWatchdog = 1, kCauseShortInput = 2, kCauseFailed = 3, kCauseUnsupported = 7,
                  kCauseTimeout = 9 };
constexpr uint32_t kRouteEntry = 27;

// The readers whose time-out I/O control 0x8011 sets, with their defaults.
struct TagTimeout {
    uint32_t mask;
    TEhciPipe* TEhciPipeNames::*pipe;
    uint32_t defaultMs;
};
constexpr TagTimeout kTagTimeouts[] = {
    {0x1, &TEhciPipeNames::readerA, 309},   {0x2, &TEhciPipeNames::readerB, 2473}, {0x4, &TEhciPipeNames::iso15693, 1236},
    {0x300, &TEhciPipeNames::felica, 309},  {0x400, &TEhciPipeNames::jewel, 77},
};

TEhciInstance* instanceOf(TNfcllContext* ll) { return ehciPart(ll)->instance; }

// Two 32-bit words, little-endian; false when the input holds fewer than eight bytes.
bool twoWords(const uint8_t* input, uint32_t length, uint32_t& first, uint32_t& second) {
    CByteReader r(input, length);
    const uint8_t* p = nullptr;
    if (!r.take(8, p)) return false;
    std::memcpy(&first, p, 4);
    std::memcpy(&second, p + 4, 4);
    return true;
}

uint16_t setSecureTimeout(TEhciInstance* e, const uint8_t* input, uint32_t length) {
    uint32_t first = 0, ms = 0;
    if (!twoWords(input, length, first, ms)) return kCauseShortInput;
    if (e->pipes.ese) {
        e->pipes.ese->timeout = ms;
        e->secureTimeout = ms;
    }
    return kCauseOk;
}

uint16_t setTagTimeouts(TEhciInstance* e, const uint8_t* input, uint32_t length) {
    uint32_t ms = 0, mask = 0;
    if (!twoWords(input, length, ms, mask)) return kCauseShortInput;
    TRACE(kTrc, "ehci: set TAG timeout %d ms, mask 0%X", static_cast<int>(ms), static_cast<unsigned>(mask));
    for (const TagTimeout& t : kTagTimeouts)
        if ((mask & t.mask) && e->pipes.*(t.pipe)) (e->pipes.*(t.pipe))->timeout = ms ? ms : t.defaultMs;
    return kCauseOk;
}

// 0 when the answer comes later.
uint16_t loopback(TEhciInstance* e, const uint8_t* input, uint32_t length) {
    TEhciPipe* pipe = e->pipes.loopback;
    if (!pipe || !pipe->id || !(pipe->flags & EHCI_P_OPEN) || length == 0 || length > sizeof e->txMessage)
        return kCauseUnsupported;
    return ehciPipeSend(pipe, input, length) ? kCauseOk : kCauseUnsupported;
}

uint16_t secure(TEhciInstance* e, uint32_t code, NfcSecureHandle handle, uint32_t timeout, const uint8_t* input,
                uint32_t length) {
    e->secureTimeout = timeout;
    TNfcInfoSE* se = ehciSeByHandle(e, handle);
    if (!se || !e->hooks.secureHandler) return kCauseUnsupported;
    e->hooks.secureHandler(e, code, se, input, length);
    return kCauseOk;
}

uint16_t routing(TEhciInstance* e, uint32_t code, const uint8_t* input, uint32_t length) {
    if (!e->hooks.secureHandler) return kCauseUnsupported;
    // The route table is read in whole 27-byte entries, never past the caller's room.
    if (code == 0x800E) e->ioBufferSize = e->ioBufferSize / kRouteEntry * kRouteEntry;
    return e->hooks.secureHandler(e, code, nullptr, input, length);
}

uint16_t device(TEhciInstance* e, uint32_t code, const uint8_t* input, uint32_t length) {
    if (!e->hooks.deviceIo) return kCauseUnsupported;
    const int32_t result = e->hooks.deviceIo(e, code, input, length, e->ioBuffer, e->ioBufferSize);
    if (result < 0) {
        TRACE(kErr, "ehci: etsiHciIoControl unknown result from call to deviceIo %d", static_cast<int>(result));
        return kCauseFailed;
    }
    return static_cast<uint16_t>(result);
}

// The cause of an answer at once, or 0 when the answer comes later.
uint16_t dispatch(TEhciInstance* e, uint32_t code, NfcSecureHandle handle, uint32_t timeout, const uint8_t* input,
                  uint32_t length) {
    switch (code) {
    case 0x1004: return loopback(e, input, length);
    case 0x8002:
    case 0x8003:
    case 0x8004:
    case 0x8008:
    case 0x8009:
    case 0x800A: return secure(e, code, handle, timeout, input, length);
    case 0x800B:
    case 0x800C: return kCauseUnsupported;
    case 0x800D:
    case 0x800E:
    case 0x800F: return routing(e, code, input, length);
    default: return device(e, code, input, length);
    }
}

void watchdogExpired(TEhciInstance* e) {
    TRACE(kErr, "ehci: ! response watch dog expired (%d ms), signal CHIP failure", static_cast<int>(ehciWatchdogMs(e)));
    e->flags &= ~EHCI_F_WAITING;
    if (e->flags & EHCI_F_IO_PENDING) ehciIoAnswer(e, kCauseWatchdog);
    if (e->currentPipe) e->currentPipe->state = 35;
    ehciUp(e, EV_EHCI_CHIP_FAILURE);
}

}  // namespace

void ehciIoAnswer(TEhciInstance* e, uint16_t cause, const uint8_t* data, uint32_t length) {
    if (ehciSeReinitAnswered(e)) return;
    e->flags &= ~EHCI_F_IO_PENDING;
    ehciUp(e, EV_EHCI_IO_ANSWER, const_cast<uint8_t*>(data), length, reinterpret_cast<uintptr_t>(&cause));
}

uint32_t etsiHciIoControl(TEhciInstance* e, uint32_t code, NfcSecureHandle handle, uint32_t timeout,
                          const uint8_t* input, uint32_t inputLength, uint8_t* output, uint32_t outputSize) {
    if (code == 0x8010 || code == 0x8011) {
        ehciIoAnswer(e, code == 0x8010 ? setSecureTimeout(e, input, inputLength) : setTagTimeouts(e, input, inputLength));
        return 0;
    }
    e->ioCode = code;
    if (code == 0x1004) {
        e->rawBuffer = output;
        e->rawBufferSize = output ? outputSize : 0;
    } else {
        e->ioBuffer = output;
        e->ioBufferSize = output ? outputSize : 0;
    }
    e->flags |= EHCI_F_IO_PENDING;
    if (const uint16_t cause = dispatch(e, code, handle, timeout, input, inputLength)) ehciIoAnswer(e, cause);
    return 0;
}

void ehciHandleIoControlReq(TNfcllContext* ll, uint32_t code, void* handle, uint32_t timeout, const uint8_t* input,
                            uint16_t inputLength, uint8_t* output, uint16_t outputSize) {
    TEhciInstance* e = instanceOf(ll);
    if (!e || e->state != 34) {
        nfcllSendUsIoControlConf(ll, NFCLL_CAUSE_WRONG_STATE, nullptr, 0);
        return;
    }
    // One I/O control at a time: a second is refused, and the first keeps its output.
    if (e->flags & EHCI_F_IO_PENDING) {
        TRACE(kErr, "ehci: ! I/O control 0x%X while 0x%X is pending", static_cast<unsigned>(code),
              static_cast<unsigned>(e->ioCode));
        nfcllSendUsIoControlConf(ll, kCauseFailed, nullptr, 0);
        const bool raw = e->ioCode == 0x1004;
        ll->ioOutput = raw ? e->rawBuffer : e->ioBuffer;
        ll->ioOutputSize = static_cast<uint16_t>(raw ? e->rawBufferSize : e->ioBufferSize);
        return;
    }
    etsiHciIoControl(e, code, static_cast<NfcSecureHandle>(reinterpret_cast<uintptr_t>(handle)), timeout, input,
                     inputLength, output, outputSize);
}

// ---- Loopback pipe ---------------------------------------------------------------------------------
void ehciLoopbackResponse(TEhciPipe* pipe, const uint8_t*, uint32_t, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    if (pipe->state != 11) {
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        return;
    }
    if (code) {
        TRACE(kErr, "ehci: ! loopback pipe not opened");
        pipe->flags &= ~EHCI_P_OPEN;
    } else {
        TRACE(kTrc, "ehci: ## Open loopback successfully, pipe ID %d", static_cast<int>(pipe->id));
    }
    pipe->state = 31;
    if (e->hooks.loopbackOpened) e->hooks.loopbackOpened(e);
    else ehciInitCompleted(e);
}

void ehciLoopbackEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    if (event != EHCI_EVT_POST_DATA || !(e->flags & EHCI_F_IO_PENDING)) {
        TRACE(kErr, "ehci: ! loopback event 0x%X in state %d ignored", static_cast<unsigned>(event),
              static_cast<int>(pipe->state));
        return;
    }
    ehciTimerStop(e, EHCI_TIMER_WATCHDOG);
    if (!ehciJoinInPipe(pipe, data, length)) return;
    if (length > e->rawBufferSize) {
        TRACE(kErr, "! Chaining length %d exceeds device io buffer size %d", static_cast<int>(length),
              static_cast<int>(e->rawBufferSize));
        length = e->rawBufferSize;
    }
    pipe->state = 31;
    ehciIoAnswer(e, kCauseOk, data, length);
}

// ---- Timers ----------------------------------------------------------------------------------------
void ehciHandleTimerExpired(TNfcllContext* ll, uint8_t timerId) {
    if (timerId == EHCI_TIMER_HEALTH) {
        if (!(ll->flags & NFCLL_FLAG_HEALTH_MONITOR)) return;
        TRACE(kTrc, "ehci: HM timer expired");
        nfcllSendUs(ll, nfcllMsgMake<NFCLL_HEALTHMON_IND>(ll->queueWord));
        return;
    }
    TEhciInstance* e = instanceOf(ll);
    if (timerId >= EHCI_TIMER_BASE && e) etsiHciTimerExpired(timerId - EHCI_TIMER_BASE, e);
}

void etsiHciTimerExpired(uint32_t index, TEhciInstance* e) {
    // Only variants with an activator have one to ask.
    if (e->seOps && e->seOps->timerExpired && e->seOps->timerExpired(e->seContext, index)) return;
    switch (index) {
    case EHCI_TIMER_REDISCOVERY:
        TRACE(kErr, "ehci: ! response watch dog expired, signal TIMEOUT");
        e->flags &= ~EHCI_F_WAITING;
        e->presenceCheckActive = 0;
        if (!(e->tagRecord.tagType & 0x3000))
            TRACE(kErr, "ehci: ! TRANSCEIVE failed 0x%X", static_cast<unsigned>(e->tagRecord.tagType));
        ehciUp(e, EV_EHCI_TRANSACTION_TIMEOUT, nullptr, kCauseTimeout);
        break;
    case EHCI_TIMER_WATCHDOG: watchdogExpired(e); break;
    case EHCI_TIMER_SECURE:
        ehciTimerStop(e, 7);
        e->flags |= EHCI_F_SE_CLOSED;
        if (e->hooks.secureHandler) e->hooks.secureHandler(e, 0x8004, e->currentSe, nullptr, 0);
        break;
    case EHCI_TIMER_IO:
        TRACE(kErr, "ehci: ! IO Control watch dog expired, signal TIMEOUT");
        e->flags &= ~EHCI_F_WAITING;
        ehciIoAnswer(e, kCauseTimeout);
        break;
    default: TRACE(kErr, "ehci: ! timerid %d not handled.", static_cast<int>(index)); break;
    }
}

namespace {
std::atomic<TNfcllContext*> g_completions{nullptr};   // read where the link releases a buffer
}

void ehciTxCompletionsTo(TNfcllContext* ll) { g_completions.store(ll); }

// Runs where the link below lets the buffer go, which may be another thread: the completion is
// handled on the layer-1 task, like everything else of the instance.
void etsiHciTxCompletedCallBack(void* slot) {
    const TEhciInstance* e = ehciInstance();
    const auto* s = static_cast<const TEhciTxSlot*>(slot);
    TNfcllContext* ll = g_completions.load();
    if (s < e->slots || s >= e->slots + EHCI_TX_SLOTS || !ll) return;
    OsMessage message{};
    message.command = EHCI_TX_COMPLETED;
    message.source = ll->queueWord;
    osMsgSetFields(message, static_cast<uint32_t>(s - e->slots));
    if (osMessageSend(ll->queueId, &message) != OS_OK) TRACE(kErr, "ehci: ! TX completion not posted");
}
