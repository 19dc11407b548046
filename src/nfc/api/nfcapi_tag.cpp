// Exports of the tag family that look at the tag and hold it: its information, connecting and
// disconnecting a listener, selecting and presence checks.
#include "api/nfcapi_tag.h"

#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "util/trace.h"

namespace {

// One connect or disconnect at a time, so that the global tag lock and the listener's flag
// change together.
PlatLock& connectLock() {
    static PlatLock lock;
    static const bool made = (lock.create(), true);
    (void)made;
    return lock;
}

bool connected(const TNfcListener* listener) {
    PlatLockGuard g(connectLock());
    return listener->connected != 0;
}

NfcApiStatus getTagInfo(NfcListenerHandle hListener, int32_t flags, TNfcTagInfo* info) {
    if (!nfcapiCheckListener(hListener)) return nfcStatusInvalidHandle;
    if (!info) {
        TRACE(TRC_ERROR, "! nfcGetTagInfo(), no room for the tag information");
        return nfcStatusBadParameter;
    }
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    if (const NfcApiStatus status = nfcapiTagPrelude(hListener, &listener, &held); status != nfcStatusOk) return status;
    TNfcApiInstance* instance = listener->owner;
    if (flags < 0) {
        TnfcapiMsg message = nfaceMsgMake<NFACE_NFC_NDEF_CHECK_REQ>();
        if (const NfcApiStatus status = nfcapiRequest(&message, instance); status != nfcStatusOk) return status;
    }
    PlatLockGuard g(instance->lock);
    // The tag may have gone while the check ran.
    if (instance->tag.tagType == 0) {
        TRACE(TRC_ERROR, "! No tag present");
        return nfcStatusWrongState;
    }
    *info = instance->tag;
    return nfcStatusOk;
}

// The listener behind the handle, held, when its application has a tag present.
NfcApiStatus listenerWithTag(NfcListenerHandle hListener, TNfcListener** listener, NfcapiHold* hold) {
    *listener = nfcapiHoldListener(hListener, hold);
    if (!*listener) return nfcStatusInvalidHandle;
    if (nfcapiTagType((*listener)->owner) == 0) {
        TRACE(TRC_ERROR, "! no TAG present");
        return nfcStatusWrongState;
    }
    return nfcStatusOk;
}

NfcApiStatus connectTag(NfcListenerHandle hListener) {
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    if (const NfcApiStatus status = listenerWithTag(hListener, &listener, &held); status != nfcStatusOk) return status;
    PlatLockGuard g(connectLock());
    if (nfcapiTagLocked()) {
        TRACE(TRC_ERROR, "! TAG already global locked");
        return nfcStatusWrongState;
    }
    if (listener->connected) {
        TRACE(TRC_ERROR, "! tag already locked, connect fails");
        return nfcStatusWrongState;
    }
    listener->connected = 1;
    nfcapiSetTagLocked(true);
    return nfcStatusOk;
}

NfcApiStatus disconnectTag(NfcListenerHandle hListener) {
    TNfcListener* listener = nullptr;
    NfcapiHold held;
    if (const NfcApiStatus status = listenerWithTag(hListener, &listener, &held); status != nfcStatusOk) return status;
    PlatLockGuard g(connectLock());
    if (!listener->connected) {
        TRACE(TRC_ERROR, "! tag not locked, disconnect fails");
        return nfcStatusWrongState;
    }
    listener->connected = 0;
    nfcapiSetTagLocked(false);
    return nfcStatusOk;
}

NfcApiStatus selectTag(NfcListenerHandle hListener, const BYTE* data, WORD length) {
    NfcapiHold held;
    TNfcListener* listener = nfcapiHoldListener(hListener, &held);
    if (!listener) return nfcStatusInvalidHandle;
    if (!data && length) {
        TRACE(TRC_ERROR, "! nfcSelectTag(), data pointer %p is not readable with length %d",
              static_cast<const void*>(data), length);
        return nfcStatusBadParameter;
    }
    TNfaceTransfer transfer{nullptr, data, 0, length, 0};
    TnfcapiMsg message = nfaceMsgMake<NFACE_TAG_SELECT>({&listener->owner->io.transfer});
    return nfcapiTransferRequest(listener->owner, &message, transfer, 0, nullptr);
}

} // namespace

uint32_t nfcapiTagType(TNfcApiInstance* instance) {
    PlatLockGuard g(instance->lock);
    return instance->tag.tagType;
}

NfcApiStatus nfcapiTagPrelude(NfcListenerHandle hListener, TNfcListener** listener, NfcapiHold* hold) {
    TNfcListener* checked = nfcapiHoldListener(hListener, hold);
    if (!checked) return nfcStatusInvalidHandle;
    if (nfcapiTagType(checked->owner) == 0) {
        TRACE(TRC_ERROR, "! no TAG present");
        return nfcStatusWrongState;
    }
    if (nfcapiOnCallbackThread()) {
        TRACE(TRC_ERROR, "! listener is locked in callback");
        return nfcStatusWrongState;
    }
    if (!connected(checked)) {
        TRACE(TRC_ERROR, "! TAG is not locked, access denied");
        return nfcStatusNotConnected;
    }
    *listener = checked;
    return nfcStatusOk;
}

NfcApiStatus nfcGetTagInfo(NfcListenerHandle hListener, int32_t flags, TNfcTagInfo* info) {
    TRACE(TRC_ENTER_EXIT, "nfcGetTagInfo() enter, hListener=%p, flags %d, info %p", static_cast<void*>(hListener),
          flags, static_cast<void*>(info));
    return nfcapiExit("nfcGetTagInfo", getTagInfo(hListener, flags, info));
}

NfcApiStatus nfcConnectTag(NfcListenerHandle hListener, WORD shareMode) {
    TRACE(TRC_ENTER_EXIT, "nfcConnectTag() enter, hListener=%p, share mode %d", static_cast<void*>(hListener),
          shareMode);
    return nfcapiExit("nfcConnectTag", connectTag(hListener));
}

NfcApiStatus nfcDisconnectTag(NfcListenerHandle hListener) {
    TRACE(TRC_ENTER_EXIT, "nfcDisconnectTag() enter, hListener=%p", static_cast<void*>(hListener));
    return nfcapiExit("nfcDisconnectTag", disconnectTag(hListener));
}

NfcApiStatus nfcSelectTag(NfcListenerHandle hListener, const BYTE* data, WORD length) {
    TRACE(TRC_ENTER_EXIT, "nfcSelectTag() enter, hListener=%p, data %p length %d", static_cast<void*>(hListener),
          static_cast<const void*>(data), length);
    return nfcapiExit("nfcSelectTag", selectTag(hListener, data, length));
}

NfcApiStatus nfcCheckTag(NfcListenerHandle hListener) {
    TRACE(TRC_ENTER_EXIT, "nfcCheckTag() enter, hListener=%p", static_cast<void*>(hListener));
    NfcapiHold held;
    TNfcListener* listener = nfcapiHoldListener(hListener, &held);
    if (!listener) return nfcapiExit("nfcCheckTag", nfcStatusInvalidHandle);
    TnfcapiMsg message = nfaceMsgMake<NFACE_TEST_REQ>();
    return nfcapiExit("nfcCheckTag", nfcapiRequest(&message, listener->owner));
}
