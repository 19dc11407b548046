// Layer 1's upward messages, the queue of those that wait while a device indication is not yet
// answered, and the transactions with their tag rules.
#include <algorithm>
#include <cstring>

#include "L1/common/nfcll_internal.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

// The pool buffer that a message carries to its receiver, if any.
void* carriedBuffer(const OsMessage& message) {
    switch (message.command) {
    case NFCLL_TRANSACTION_IND:
    case NFCLL_CHECK_CONF: {
        const auto f = osMsgFields<TNfcllTransactionInd>(message);
        return (f.flags & NFCLL_MSG_OWNS_BUFFER) ? f.result : nullptr;
    }
    case PH_DATA_IND: {
        const auto f = osMsgFields<TNfcllPhData>(message);
        return (f.flags & NFCLL_MSG_OWNS_BUFFER) ? f.buffer : nullptr;
    }
    default: return nullptr;
    }
}

void releaseCarried(const OsMessage& message) {
    if (void* buffer = carriedBuffer(message)) osBufferRelease(buffer);
}

void traceUlChange(TNfcllContext* ll, uint8_t next) {
    TRACE(NFCLL_TRC_STATE, "nfcll: Changing ULSectorSelect state %d -> %d", static_cast<int>(ll->ulSectorSelect),
          static_cast<int>(next));
    ll->ulSectorSelect = next;
}

// Room for data after the result record in the largest buffer of the receive pool.
constexpr uint32_t kMaxIndicationData = NFCLL_RX_BUFFER_SIZE - sizeof(TNfcllTransactionResult);

// Sends the result up as a transaction indication, or as the check confirmation while a check
// is pending. The record and a copy of the data travel in a receive-pool buffer.
void postResult(TNfcllContext* ll, uint16_t cause, const uint8_t* data, uint16_t length) {
    uint16_t code = NFCLL_TRANSACTION_IND;
    if (ll->flags & NFCLL_FLAG_CHECK_PENDING) {
        ll->flags &= ~NFCLL_FLAG_CHECK_PENDING;
        code = NFCLL_CHECK_CONF;
        if (cause == NFCLL_CAUSE_AUTH_FAILED) cause = 0;
    }
    void* buffer = nullptr;
    TNfcllTransactionInd indication{NFCLL_MSG_OWNS_BUFFER, sizeof(TNfcllTransactionResult), nullptr};
    // A driver may name a length without the bytes (a cause alone): only bytes that exist travel,
    // with a cause as its error data, without one as the answer.
    const uint16_t copied = data ? length : 0;
    if (osBufferGet(ll->rxPool, static_cast<uint16_t>(sizeof(TNfcllTransactionResult) + copied), &buffer, nullptr,
                    nullptr) == OS_OK) {
        auto* record = static_cast<TNfcllTransactionResult*>(buffer);
        auto* copy = reinterpret_cast<uint8_t*>(record + 1);
        if (copied) std::memcpy(copy, data, copied);
        *record = TNfcllTransactionResult{cause, cause ? copied : uint16_t{0}, cause ? uint16_t{0} : copied,
                                          copied ? copy : nullptr};
        indication.result = record;
    } else {
        // Without a buffer the answer is lost, but the requester learns it at once.
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! no buffer for the transaction indication (%d bytes)", static_cast<int>(length));
        ll->result = TNfcllTransactionResult{NFCLL_CAUSE_NO_RESOURCES, 0, 0, nullptr};
        indication = TNfcllTransactionInd{0, sizeof(TNfcllTransactionResult), &ll->result};
    }
    OsMessage message{};
    message.command = code;
    message.source = ll->queueWord;
    osMsgSetFields(message, indication);
    nfcllSendUsDeferrable(ll, message);
}

// MIFARE authentication and Ultralight sector select: what the next answer will mean.
void applyTagRules(TNfcllContext* ll, const uint8_t* data, uint16_t length) {
    const uint32_t tagType = ll->device.tagType;
    if (tagType & NFCLL_TAG_MIFARE_CLASSIC) {
        if (length >= 2 && (data[0] == 0x60 || data[0] == 0x61)) {
            ll->flags |= NFCLL_FLAG_MF_AUTH;
            ll->mfAuthBlock = data[1];
            TRACE(NFCLL_TRC_STATE, "nfcll: Request is MIFARE authentication block %d", static_cast<int>(data[1]));
        }
    } else {
        ll->flags &= ~NFCLL_FLAG_MF_AUTH;
    }
    if (!(tagType & NFCLL_TAG_ULTRALIGHT)) return;
    switch (ll->ulSectorSelect) {
    case 0:
        if (length >= 1 && data[0] == 0xC2) traceUlChange(ll, 1);
        break;
    case 2: traceUlChange(ll, 3); break;
    case 1:
    case 3:
        TRACE(NFCLL_TRC_STATE, "nfcll: New UL transaction request while waiting for ACK/NACK");
        traceUlChange(ll, 0);
        break;
    default:
        TRACE(NFCLL_TRC_STATE, "nfcll: Unknown UL SECTOR_SELECT state %d", static_cast<int>(ll->ulSectorSelect));
        traceUlChange(ll, 0);
        break;
    }
}

} // namespace

// ---- Sending up -------------------------------------------------------------------------------
void nfcllSendUs(TNfcllContext* ll, const OsMessage& message) {
    if (osMessageSend(ll->usQueue, &message) == OS_OK) return;
    TRACE(NFCLL_TRC_ERROR, "nfcll: ! cannot send %s (0x%X) up", nfcllCodeName(message.command),
          static_cast<unsigned>(message.command));
    releaseCarried(message);
}

void nfcllSendUsDeferrable(TNfcllContext* ll, const OsMessage& message) {
    if (!(ll->flags & NFCLL_FLAG_DEVICE_IND_PENDING)) {
        nfcllSendUs(ll, message);
        return;
    }
    TRACE(NFCLL_TRC_STATE, "nfcll: Earlier data, stack switch pending, deffer");
    if (ll->deferredCount == NFCLL_DEFERRED_MAX) {
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! too many deferred messages, %s dropped", nfcllCodeName(message.command));
        releaseCarried(message);
        return;
    }
    ll->deferred[(ll->deferredHead + ll->deferredCount) % NFCLL_DEFERRED_MAX] = message;
    ++ll->deferredCount;
}

void nfcllFlushDeferred(TNfcllContext* ll) {
    while (ll->deferredCount) {
        TRACE(NFCLL_TRC_STATE, "nfcll: Found deferred data, send upstream");
        const OsMessage message = ll->deferred[ll->deferredHead];
        ll->deferredHead = static_cast<uint16_t>((ll->deferredHead + 1) % NFCLL_DEFERRED_MAX);
        --ll->deferredCount;
        nfcllSendUs(ll, message);
    }
}

void nfcllDropDeferred(TNfcllContext* ll) {
    for (; ll->deferredCount; --ll->deferredCount) {
        releaseCarried(ll->deferred[ll->deferredHead]);
        ll->deferredHead = static_cast<uint16_t>((ll->deferredHead + 1) % NFCLL_DEFERRED_MAX);
    }
}

void nfcllSendUsCause(TNfcllContext* ll, uint16_t code, uint16_t cause) {
    OsMessage message{};
    message.command = code;
    message.source = ll->queueWord;
    osMsgSetFields(message, TNfcllCause{cause});
    nfcllSendUs(ll, message);
}

void nfcllSendUsListenConf(TNfcllContext* ll, uint16_t cause, uint32_t value) {
    TRACE(NFCLL_TRC_CONF, "nfcll: NFCLL_LISTEN_CONF cause 0x%.04X", static_cast<unsigned>(cause));
    ll->flags &= ~NFCLL_FLAG_LISTEN_PENDING;
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_LISTEN_CONF>(ll->queueWord, {cause, value}));
}

void nfcllSendUsSelectConf(TNfcllContext* ll, uint16_t cause) { nfcllSendUsCause(ll, NFCLL_SELECT_CONF, cause); }

void nfcllSendUsDeviceInd(TNfcllContext* ll) {
    ll->flags |= NFCLL_FLAG_DEVICE_IND_PENDING;
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_DEVICE_IND>(ll->queueWord, {0, &ll->device}));
}

void nfcllSendUsTechRemoved(TNfcllContext* ll, uint16_t cause) {
    ll->flags &= ~(NFCLL_FLAG_PN53X_10 | NFCLL_FLAG_PN53X_40);
    nfcllSendUsCause(ll, NFCLL_TECH_REMOVE_IND, cause);
}

void nfcllSendUsIoControlConf(TNfcllContext* ll, uint16_t cause, const uint8_t* data, uint16_t length) {
    uint8_t* const room = ll->ioOutput;
    const uint16_t size = ll->ioOutputSize;
    ll->ioOutput = nullptr;
    ll->ioOutputSize = 0;
    uint16_t resultLength = cause == 0 ? length : 0;
    // The bytes may lie in a receive buffer that the next packet reuses: the answer travels in
    // the requester's own output, which stays its own until this confirmation.
    if (resultLength && (!room || resultLength > size)) {
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! I/O control answer of %d bytes, room for %d", static_cast<int>(resultLength),
              static_cast<int>(size));
        cause = NFCLL_CAUSE_INVALID_DATA;
        resultLength = 0;
    }
    if (resultLength && data && data != room) std::memmove(room, data, resultLength);
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_IOCONTROL_CONF>(ll->queueWord, {cause, resultLength, resultLength ? room : nullptr}));
}

void nfcllSendUsEndpointInd(TNfcllContext* ll, uint8_t endpoint, uint32_t tagType, uint32_t last) {
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_ENDPOINT_IND>(ll->queueWord, {endpoint, tagType, last}));
}

void nfcllSendUsSeInd(TNfcllContext* ll, const TNfcllSeInd& indication) {
    nfcllSendUs(ll, nfcllMsgMake<NFC_SE_IND>(ll->queueWord, indication));
}

// ---- Transactions -------------------------------------------------------------------------------
void nfcllSendUsTransactionInd(TNfcllContext* ll, const uint8_t* data, uint16_t cause, uint32_t length) {
    if (length > 0xFFFF || length > kMaxIndicationData) {
        // Refused whole: a cut answer would look complete, and silence would leave the requester waiting.
        TRACE(NFCLL_TRC_ERROR, "nfcll: !SendUsTransactionInd, wrong length: dataLen=%d", static_cast<int>(length));
        postResult(ll, NFCLL_CAUSE_INVALID_DATA, nullptr, 0);
        return;
    }
    if (debugOn(NFCLL_TRC_DUMP) && length) {
        char title[64];
        seprintf(title, title + sizeof title - 1, "nfcll: Transaction ind (%d ms)",
                 static_cast<int>(platTickMs() - ll->requestTick));
        debugDump(data, title, length);
    }
    // The tag acknowledges the second packet of a sector select by silence: a driver that reports
    // the missing answer itself, before layer 1's own timer runs out, reports the acknowledgement.
    if (ll->ulSectorSelect == 3 && cause != 0) {
        traceUlChange(ll, 0);
        cause = 0;
        length = 0;
    }
    if (ll->ulSectorSelect == 1 || cause != 0) {
        if (cause == 0 && ll->ulSectorSelect == 1) traceUlChange(ll, 2);
        if (cause != 0 && cause != NFCLL_CAUSE_AUTH_FAILED && (ll->flags & NFCLL_FLAG_MF_AUTH) &&
            !(ll->flags & NFCLL_FLAG_CHECK_PENDING)) {
            TRACE(NFCLL_TRC_ERROR, "NFCLL Set AUTHEN failed for cause 0x%X", static_cast<unsigned>(cause));
            cause = NFCLL_CAUSE_AUTH_FAILED;
        }
    }
    postResult(ll, cause, data, static_cast<uint16_t>(length));
}

void nfcllSendUsTransactionResult(TNfcllContext* ll, uint16_t cause) {
    if (cause == NFCLL_CAUSE_AUTH_FAILED) cause = 0;
    if (cause != 0) TRACE(NFCLL_TRC_ERROR, "llc: TAG not present");
    ll->flags |= NFCLL_FLAG_CHECK_PENDING;
    postResult(ll, cause, nullptr, 0);
}

void nfcllHandleTransactionRequest(TNfcllContext* ll) {
    const auto f = nfcllMsgGet<NFCLL_TRANSACTION_REQ>(ll->message);
    TRACE(NFCLL_TRC_STATE, "nfcll: Transaction req, buffer %p len %d (to=%d ms)", static_cast<const void*>(f.data),
          static_cast<int>(f.length), static_cast<int>(f.timeout));
    if (ll->linkState != NFCLL_LINK_ACTIVE || !ll->miniport.transactionRequest || (f.length && !f.data)) {
        nfcllSendUsTransactionInd(ll, nullptr, NFCLL_CAUSE_WRONG_STATE, 0);
        return;
    }
    applyTagRules(ll, f.data, f.length);
    ll->requestTick = platTickMs();
    ll->miniport.transactionRequest(ll, f.data, f.length, f.timeout);
}

void nfcllHandleCheckRequest(TNfcllContext* ll) {
    const auto f = nfcllMsgGet<NFCLL_CHECK_REQ>(ll->message);
    ll->flags &= ~NFCLL_FLAG_PN53X_4;
    ll->flags |= NFCLL_FLAG_CHECK_PENDING;
    ll->requestTick = platTickMs();
    if (ll->miniport.checkRequest) {
        ll->miniport.checkRequest(ll, f.data, f.length);
        return;
    }
    if (!ll->miniport.transactionRequest || (f.length && !f.data)) {
        nfcllSendUsTransactionInd(ll, nullptr, NFCLL_CAUSE_WRONG_STATE, 0);
        return;
    }
    if (debugOn(NFCLL_TRC_DUMP) && f.length) debugDump(f.data, "nfcll: check req", f.length);
    applyTagRules(ll, f.data, f.length);
    ll->miniport.transactionRequest(ll, f.data, f.length, 0);
}
