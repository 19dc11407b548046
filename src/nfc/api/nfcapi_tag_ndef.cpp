// Exports of the tag family that work on the tag's NDEF content: format, make read-only, write
// and read. A read lands straight in the caller's buffer.
#include <algorithm>

#include "api/nfcapi_request.h"
#include "api/nfcapi_tag.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kMifareFormatTimeout = 180000;     // ms: formatting a MIFARE Classic-like tag is slow
constexpr DWORD kDesfireFormatTimeout = 600;          // ms reader time-out while a DESFire tag is formatted
constexpr DWORD kDesfireUsualTimeout = 300;
constexpr DWORD kDesfireMask = TAG_ISO14443A;
// A status with one of these bits means the extended time-out never reached the controller.
constexpr NfcApiStatus kNotExtendedBits = 0x2 | 0x8;
constexpr uint16_t kNewTransfer = 1;
constexpr uint16_t kFormatLegacy = 4;                 // format without an NDEF message size
constexpr uint16_t kFormatNdef = 0;

void changeTag(TNfcApiInstance* instance, uint32_t setType, uint32_t clearType, uint32_t clearAccess) {
    PlatLockGuard g(instance->lock);
    instance->tag.tagType = (instance->tag.tagType | setType) & ~clearType;
    instance->tag.access &= ~clearAccess;
}

uint32_t formatTimeout(uint32_t tagType) {
    if (!(tagType & NFC_MASK_MIFARE_CLASSIC)) return 0;
    TRACE(TRC_API, "nfcFormat() NFACE Timeout for Mifare Std tag extended");
    return kMifareFormatTimeout;
}

NfcApiStatus sendFormat(TNfcListener* listener, const TNfaceFormatReq& request) {
    TNfcApiInstance* instance = listener->owner;
    TnfcapiMsg message = nfaceMsgMake<NFACE_FORMAT_REQ>(request);
    return nfcapiTransferRequest(instance, &message, TNfaceTransfer{}, formatTimeout(nfcapiTagType(instance)),
                                 nullptr);
}

NfcApiStatus extendDesfireTimeout(TNfcApiInstance* instance) {
    const NfcApiStatus status = nfcSetReaderTimeout(instance, kDesfireFormatTimeout, kDesfireMask);
    if (status == nfcStatusOk) TRACE(TRC_API, "nfcFormat() Timeout for DESFire tag extended");
    else if (status == nfcStatusNotImplemented) TRACE(TRC_API, "nfcFormat() warning: nfcSetReaderTimeout() is not supported");
    else TRACE(TRC_ERROR, "! nfcFormat() Extending timeout for DESFire tag failed (%02X)", status);
    return status;
}

void restoreDesfireTimeout(TNfcApiInstance* instance) {
    const NfcApiStatus status = nfcSetReaderTimeout(instance, kDesfireUsualTimeout, kDesfireMask);
    if (status == nfcStatusOk) TRACE(TRC_API, "nfcFormat() Timeout for DESFire tag restored");
    else TRACE(TRC_ERROR, "! nfcFormat() Restoring timeout for DESFire tag failed (%02X)", status);
}

NfcApiStatus format(NfcListenerHandle hListener) {
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    if (const NfcApiStatus status = nfcapiTagPrelude(hListener, &listener, &held); status != nfcStatusOk) return status;
    TNfcApiInstance* instance = listener->owner;
    const bool desfire = nfcapiTagType(instance) & TAG_DESFIRE_TYPE4;
    const NfcApiStatus extended = desfire ? extendDesfireTimeout(instance) : NfcApiStatus{nfcStatusOk};
    const NfcApiStatus status = sendFormat(listener, {kNewTransfer, 0, kFormatLegacy});
    if (status == nfcStatusOk) changeTag(instance, 0, TAG_NDEF, 0);
    if (desfire && !(extended & kNotExtendedBits)) restoreDesfireTimeout(instance);
    return status;
}

NfcApiStatus formatNdef(NfcListenerHandle hListener, DWORD ndefSize) {
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    if (const NfcApiStatus status = nfcapiTagPrelude(hListener, &listener, &held); status != nfcStatusOk) return status;
    if (ndefSize > UINT16_MAX) {
        // The request carries 16 bits: a larger size would be cut, not refused, by the tag.
        TRACE(TRC_ERROR, "! nfcFormatNdef(), NDEF size %u too large", ndefSize);
        return nfcStatusBadParameter;
    }
    const NfcApiStatus status = sendFormat(listener, {kNewTransfer, static_cast<uint16_t>(ndefSize), kFormatNdef});
    if (status == nfcStatusOk) changeTag(listener->owner, TAG_NDEF, 0, 0);
    return status;
}

NfcApiStatus makeReadOnly(NfcListenerHandle hListener) {
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    if (const NfcApiStatus status = nfcapiTagPrelude(hListener, &listener, &held); status != nfcStatusOk) return status;
    TnfcapiMsg message = nfaceMsgMake<NFACE_SET_READONLY_REQ>();
    const NfcApiStatus status = nfcapiTransferRequest(listener->owner, &message, TNfaceTransfer{}, 0, nullptr);
    if (status == nfcStatusOk) changeTag(listener->owner, 0, 0, NFC_TAG_WRITABLE | NFC_TAG_FORMATTABLE);
    return status;
}

NfcApiStatus writeNdef(NfcListenerHandle hListener, const BYTE* data, WORD length) {
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    if (const NfcApiStatus status = nfcapiTagPrelude(hListener, &listener, &held); status != nfcStatusOk) return status;
    if (!data) {
        TRACE(TRC_ERROR, "! pvData pointer %p invalid", static_cast<const void*>(data));
        return nfcStatusBadParameter;
    }
    TnfcapiMsg message = nfaceMsgMake<NFACE_WRITE_REQ>({kNewTransfer, data, 0, length});
    return nfcapiTransferRequest(listener->owner, &message, TNfaceTransfer{}, 0, nullptr);
}

// On 0 the length becomes what the buffer took of the message: all of it, or its size with 19.
NfcApiStatus readNdef(NfcListenerHandle hListener, BYTE* buffer, WORD* length) {
    if (!length) {
        TRACE(TRC_ERROR, "! nfcReadNdefMessage(), length pointer %p invalid", static_cast<void*>(length));
        return nfcStatusBadParameter;
    }
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    NfcApiStatus status = nfcapiTagPrelude(hListener, &listener, &held);
    if (status == nfcStatusOk && !buffer) {
        TRACE(TRC_ERROR, "! pvData pointer %p invalid", static_cast<void*>(buffer));
        status = nfcStatusBadParameter;
    }
    if (status != nfcStatusOk) {
        *length = 0;
        return status;
    }
    const uint16_t size = *length;
    TnfcapiMsg message = nfaceMsgMake<NFACE_READ_REQ>({kNewTransfer, buffer, 0, size});
    uint16_t received = 0;
    status = nfcapiTransferRequest(listener->owner, &message, TNfaceTransfer{buffer, nullptr, 0, 0, size}, 0,
                                   &received);
    if (status == nfcStatusOk || status == nfcStatusBufferTooSmall) {
        if (received > size) status = nfcStatusBufferTooSmall;
        *length = std::min(received, size);
    } else if (status != nfcStatusPending) {
        *length = 0;
    }
    return status;
}

} // namespace

NfcApiStatus nfcFormat(NfcListenerHandle hListener, DWORD, DWORD) {
    TRACE(TRC_ENTER_EXIT, "nfcFormat() enter, hListener=%p", static_cast<void*>(hListener));
    return nfcapiExit("nfcFormat", format(hListener));
}

NfcApiStatus nfcFormatNdef(NfcListenerHandle hListener, DWORD ndefSize) {
    TRACE(TRC_ENTER_EXIT, "nfcFormatNdef() enter, hListener=%p, NDEF size %u", static_cast<void*>(hListener), ndefSize);
    return nfcapiExit("nfcFormatNdef", formatNdef(hListener, ndefSize));
}

NfcApiStatus nfcMakeReadOnly(NfcListenerHandle hListener) {
    TRACE(TRC_ENTER_EXIT, "nfcMakeReadOnly() enter, hListener=%p", static_cast<void*>(hListener));
    return nfcapiExit("nfcMakeReadOnly", makeReadOnly(hListener));
}

NfcApiStatus nfcWriteNdefMessage(NfcListenerHandle hListener, const BYTE* message, WORD length) {
    TRACE(TRC_ENTER_EXIT, "nfcWriteNdefMessage() enter, hListener=%p, message %p length %d",
          static_cast<void*>(hListener), static_cast<const void*>(message), length);
    return nfcapiExit("nfcWriteNdefMessage", writeNdef(hListener, message, length));
}

NfcApiStatus nfcReadNdefMessage(NfcListenerHandle hListener, BYTE* buffer, WORD* length) {
    TRACE(TRC_ENTER_EXIT, "nfcReadNdefMessage() enter, hListener=%p, buffer %p length %d",
          static_cast<void*>(hListener), static_cast<void*>(buffer), length ? *length : 0);
    const NfcApiStatus status = readNdef(hListener, buffer, length);
    TRACE(TRC_ENTER_EXIT, "nfcReadNdefMessage() exit, status=0x%X, length=%d", status,
          length && (status == nfcStatusOk || status == nfcStatusBufferTooSmall) ? *length : 0);
    return status;
}
