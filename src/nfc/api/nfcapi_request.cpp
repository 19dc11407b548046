// The request-and-wait of the tag, secure-element and I/O-control exports, around the API core's.
#include "api/nfcapi_request.h"

#include "util/trace.h"

NfcApiStatus nfcapiExit(const char* name, NfcApiStatus status) {
    TRACE(TRC_ENTER_EXIT, "%s() exit, status=0x%X", name, status);
    return status;
}

NfcApiStatus nfcapiCheckPduBuffers(const BYTE* input, BYTE* output, WORD* outputLength) {
    if (!input) {
        TRACE(TRC_ERROR, "! pvInputPdu pointer %p is not readable", static_cast<const void*>(input));
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
    return nfcStatusOk;
}

NfcApiStatus nfcapiTransferRequest(TNfcApiInstance* instance, TnfcapiMsg* message, const TNfaceTransfer& transfer,
                                   uint32_t timeoutMs, uint16_t* answerLength) {
    uint32_t usual;
    {
        PlatLockGuard g(instance->lock);
        instance->io.transfer = transfer;
        usual = instance->requestTimeout;
        if (timeoutMs) instance->requestTimeout = timeoutMs;
    }
    const NfcApiStatus status = nfcapiRequest(message, instance);
    PlatLockGuard g(instance->lock);
    // A time-out the application set meanwhile stays.
    if (timeoutMs && instance->requestTimeout == timeoutMs) instance->requestTimeout = usual;
    instance->io.transfer = TNfaceTransfer{};
    if (answerLength) *answerLength = instance->resultLength;
    return status;
}
