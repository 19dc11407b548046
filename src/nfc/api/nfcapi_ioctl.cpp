// Export of the device family that passes any I/O-control code to the controller driver.
#include "api/nfcapi_ioctl.h"

#include <algorithm>

#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "util/trace.h"

namespace {

// Codes that take a fixed number of input bytes: fewer are refused before anything is sent.
struct InputRule {
    uint32_t code;
    uint16_t minimum;
};
constexpr InputRule kInputRules[] = {
    {0x120B, 2},      // the P2P raw mode and the option byte
};

uint16_t minimumInput(uint32_t code) {
    for (const InputRule& rule : kInputRules)
        if (rule.code == code) return rule.minimum;
    return 0;
}

NfcApiStatus deviceIoControl(NfcHandle hNfc, DWORD code, const BYTE* input, WORD inputLength, BYTE* output,
                             WORD* outputLength) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (output && !outputLength) {
        TRACE(TRC_ERROR, "! nfcDeviceIoControl(), output buffer %p without length", static_cast<void*>(output));
        return nfcStatusBadParameter;
    }
    if (!input && inputLength) {
        TRACE(TRC_ERROR, "! nfcDeviceIoControl(), input %p is not readable with length %d",
              static_cast<const void*>(input), inputLength);
        return nfcStatusBadParameter;
    }
    if (inputLength < minimumInput(code)) {
        TRACE(TRC_ERROR, "! nfcDeviceIoControl(), code 0x%X needs %d input bytes, got %d", code, minimumInput(code),
              inputLength);
        return nfcStatusBadParameter;
    }
    // Without a buffer there is no room, whatever length the caller gave.
    const uint16_t size = output && outputLength ? *outputLength : 0;
    return nfcapiIoControl(instance, {code, 0, input, inputLength, output, size, 0}, outputLength);
}

} // namespace

NfcApiStatus nfcapiIoControl(TNfcApiInstance* instance, const NfcapiIoControl& request, uint16_t* answerLength) {
    const TNfaceTransfer transfer{request.output, request.input, 0, request.inputLength, request.outputSize};
    TnfcapiMsg message =
        nfaceMsgMake<NFACE_IO_CONTROL_REQ>({&instance->io.transfer, request.code, request.hSecure, request.timeoutMs});
    uint16_t received = 0;
    const NfcApiStatus status = nfcapiTransferRequest(instance, &message, transfer, 0, &received);
    if (!answerLength) return status;
    if (status == nfcStatusOk) *answerLength = std::min(received, request.outputSize);
    else if (status != nfcStatusPending) *answerLength = 0;
    return status;
}

NfcApiStatus nfcDeviceIoControl(NfcHandle hNfc, DWORD code, const BYTE* input, WORD inputLength, BYTE* output,
                                WORD* outputLength) {
    TRACE(TRC_ENTER_EXIT, "nfcDeviceIoControl() enter, hNfc=%p, code 0x%X, input %p length %d, output %p length %d",
          static_cast<void*>(hNfc), code, static_cast<const void*>(input), inputLength, static_cast<void*>(output),
          outputLength ? *outputLength : 0);
    const NfcApiStatus status = deviceIoControl(hNfc, code, input, inputLength, output, outputLength);
    TRACE(TRC_ENTER_EXIT, "nfcDeviceIoControl() exit, status=0x%X, length=%d", status,
          outputLength ? *outputLength : 0);
    return status;
}
