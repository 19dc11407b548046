// Exports of the tag family that carry raw PDUs: an exchange that waits for the tag's answer,
// and the transmit that answers a reader in card emulation without waiting.
#include <algorithm>

#include "api/nfcapi_request.h"
#include "api/nfcapi_tag.h"
#include "core/nfaceregistry.h"
#include "util/trace.h"

namespace {

// The reader time-out that an exchange with a tag of the type waits for.
NfcapiReader readerOf(uint32_t tagType) {
    if (tagType & TAG_FELICA_TYPE3) return READER_FELICA;
    if (tagType & TAG_15693) return READER_15693;
    if (tagType & TAG_JEWEL_TYPE1) return READER_JEWEL;
    if (tagType & TAG_14443B) return READER_14443B;
    return READER_DEFAULT;
}

uint32_t exchangeTimeout(TNfcApiInstance* instance) {
    PlatLockGuard g(instance->lock);
    return instance->readerTimeouts[readerOf(instance->tag.tagType)];
}

NfcApiStatus exchange(NfcListenerHandle hListener, const BYTE* pdu, WORD pduLength, BYTE* output, WORD* outputLength) {
    TNfcListener* listener = nullptr;
    if (const NfcApiStatus status = nfcapiTagPrelude(hListener, &listener); status != nfcStatusOk) return status;
    if (!pdu) {
        TRACE(TRC_ERROR, "! pvInputPdu pointer %p is not readable", static_cast<const void*>(pdu));
        return nfcStatusBadParameter;
    }
    if (!outputLength) {
        TRACE(TRC_ERROR, "! pdwOutputLength pointer %p is not readable", static_cast<void*>(outputLength));
        return nfcStatusBadParameter;
    }
    if (!output) {
        TRACE(TRC_ERROR, "! pvOutputBuffer pointer %p is not writable with length %d", static_cast<void*>(output),
              *outputLength);
        return nfcStatusBadParameter;
    }
    TNfcApiInstance* instance = listener->owner;
    const uint16_t size = *outputLength;
    TnfcapiMsg message = nfaceMsgMake<NFACE_TRANSACTION_REQ>({&instance->io.transfer});
    uint16_t received = 0;
    const NfcApiStatus status = nfcapiTransferRequest(instance, &message, TNfaceTransfer{output, pdu, 0, pduLength, size},
                                                      exchangeTimeout(instance), &received);
    // Never more than the buffer took.
    if (status == nfcStatusOk) *outputLength = std::min(received, size);
    return status;
}

NfcApiStatus transmit(NfcListenerHandle hListener, const BYTE* pdu, WORD length) {
    TNfcListener* listener = nfcapiCheckListener(hListener);
    if (!listener) return nfcStatusInvalidHandle;
    if (!pdu) {
        TRACE(TRC_ERROR, "! pvInputPdu pointer %p is not readable", static_cast<const void*>(pdu));
        return nfcStatusBadParameter;
    }
    const NfaceEntryTable* table = nfcapiEntryTable();
    if (!table) return nfcStatusBadParameter;
    TNfcApiInstance* instance = listener->owner;
    void* hApp;
    {
        // Nobody waits for an answer: the block names no room for one, so that whatever the stack
        // answers is written nowhere, least of all into the buffer of an earlier exchange.
        PlatLockGuard g(instance->lock);
        instance->io.transfer = TNfaceTransfer{nullptr, pdu, NFACE_TRANSFER_UNANSWERED, length, 0};
        hApp = instance->hApp;
    }
    TnfcapiMsg message = nfaceMsgMake<NFACE_TRANSACTION_REQ>({&instance->io.transfer});
    if (table->putMessage(hApp, &message) != nfcStatusOk) {
        TRACE(TRC_ERROR, "nfcapi: putMessage failed ! ");
        return nfcStatusBadParameter;
    }
    return nfcStatusPending;
}

} // namespace

NfcApiStatus nfcExchangePdu(NfcListenerHandle hListener, const BYTE* pdu, WORD pduLength, BYTE* output,
                            WORD* outputLength) {
    TRACE(TRC_ENTER_EXIT, "nfcExchangePdu() enter, hListener=%p, pdu %p length %d, output buffer %p length %d",
          static_cast<void*>(hListener), static_cast<const void*>(pdu), pduLength, static_cast<void*>(output),
          outputLength ? *outputLength : 0);
    const NfcApiStatus status = exchange(hListener, pdu, pduLength, output, outputLength);
    if (outputLength && status != nfcStatusOk && status != nfcStatusPending) *outputLength = 0;
    TRACE(TRC_ENTER_EXIT, "nfcExchangePdu() exit, status=0x%X, length=%d", status, outputLength ? *outputLength : 0);
    return status;
}

NfcApiStatus nfcTransmitPdu(NfcListenerHandle hListener, const BYTE* pdu, WORD length) {
    TRACE(TRC_ENTER_EXIT, "nfcTransmitPdu() enter, hListener=%p, pdu %p length %d", static_cast<void*>(hListener),
          static_cast<const void*>(pdu), length);
    return nfcapiExit("nfcTransmitPdu", transmit(hListener, pdu, length));
}
