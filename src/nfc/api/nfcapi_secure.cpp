// Exports of the secure-element family that list the elements and set their modes and time-out.
#include "api/nfcapi_secure.h"

#include <algorithm>

#include "api/nfcapi_ioctl.h"
#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "os/os.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kSecureTimeoutMax = 23300;     // ms an exchange with a secure element may take

void* asPointer(NfcSecureHandle handle) { return reinterpret_cast<void*>(static_cast<uintptr_t>(handle)); }

// The secure elements of the active controller, in its order; none before the activation. The
// driver changes the records on its own thread: each is copied under the lock it writes them
// with, and the visit sees the copy.
template <typename Visit>
bool forEachSecure(Visit visit) {
    const TNfcCapabilities caps = nfcapiCapabilities();
    if (!caps.controllerCount || !caps.controller) return false;
    const TNfcCapabilityBlock& block = *caps.controller;
    TNfcInfoSE copies[NFC_MAX_SECURE_ELEMENTS];
    int count = 0;
    {
        PlatLockGuard g(osLock());
        const int listed = std::min<int>(block.secureElementCount, NFC_MAX_SECURE_ELEMENTS);
        for (int i = 0; i < listed; ++i)
            if (block.secureElements[i]) copies[count++] = *block.secureElements[i];
    }
    for (int i = 0; i < count; ++i) visit(i, copies[i]);
    return true;
}

bool listWalkActive(TNfcApiInstance* instance) {
    PlatLockGuard g(instance->lock);
    if (!instance->secureListWalk) return false;
    TRACE(TRC_ERROR, "! Bad state, nfcSecureGetList active");
    return true;
}

// Sends a code that carries nothing but the element's handle.
NfcApiStatus sendCode(TNfcApiInstance* instance, uint32_t code, NfcSecureHandle hSecure) {
    return nfcapiIoControl(instance, {code, hSecure, nullptr, 0, nullptr, 0, 0}, nullptr);
}

NfcApiStatus getList(NfcHandle hNfc, void* context, TNfcSecureListCallback callback) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (!callback) {
        TRACE(TRC_ERROR, "! nfcSecureGetList(), no callback");
        return nfcStatusBadParameter;
    }
    BOOL outer;
    {
        PlatLockGuard g(instance->lock);
        outer = instance->secureListWalk;
        instance->secureListWalk = 1;
    }
    const bool active = forEachSecure([&](int index, TNfcInfoSE& se) {
        TRACE(TRC_API, "%d. SE, handle=%p, caps 0x%.04X, mode 0x%X, id %d", index + 1, asPointer(se.handle),
              se.capabilities, se.mode, se.id);
        callback(context, &se);
    });
    {
        PlatLockGuard g(instance->lock);
        instance->secureListWalk = outer;
    }
    if (active) return nfcStatusOk;
    TRACE(TRC_ERROR, "! nfcSecureGetList(), the controller is not active");
    return nfcStatusWrongState;
}

NfcApiStatus setMode(NfcHandle hNfc, NfcSecureHandle hSecure, DWORD mode) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (listWalkActive(instance)) return nfcStatusWrongState;
    if (!nfcapiSecureKnown(hSecure)) return nfcStatusInvalidHandle;
    if (mode > 1) {
        TRACE(TRC_ERROR, "%s, ! secure mode unkown", "nfcSecureSetMode");
        return nfcStatusBadParameter;
    }
    return sendCode(instance, mode ? NFC_IOCTL_SE_MODE_ON : NFC_IOCTL_SE_MODE_OFF, hSecure);
}

NfcApiStatus setBatteryMode(NfcHandle hNfc, NfcSecureHandle hSecure, BOOL on) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (listWalkActive(instance)) return nfcStatusWrongState;
    if (!nfcapiSecureKnown(hSecure)) return nfcStatusInvalidHandle;
    return sendCode(instance, on ? NFC_IOCTL_BATTERY_MODE_ON : NFC_IOCTL_BATTERY_MODE_OFF, hSecure);
}

NfcApiStatus setTimeout(NfcHandle hNfc, NfcSecureHandle hSecure, DWORD timeoutMs) {
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcStatusInvalidHandle;
    if (!nfcapiSecureKnown(hSecure)) return nfcStatusInvalidHandle;
    {
        PlatLockGuard g(instance->lock);
        instance->secureTimeout = timeoutMs ? std::min(timeoutMs, kSecureTimeoutMax) : NFCAPI_SECURE_TIMEOUT;
    }
    // The driver is told what was asked for; the application keeps to what it may wait.
    const uint32_t input[2] = {hSecure, timeoutMs};
    return nfcapiIoControl(instance,
                           {NFC_IOCTL_SE_TIMEOUT, hSecure, reinterpret_cast<const uint8_t*>(input), sizeof input,
                            nullptr, 0, 0},
                           nullptr);
}

} // namespace

bool nfcapiSecureKnown(NfcSecureHandle hSecure) {
    bool found = false;
    forEachSecure([&](int, const TNfcInfoSE& se) { found = found || se.handle == hSecure; });
    if (!found) TRACE(TRC_ERROR, "ehci: ! cannot find secure element for hSecure=%p", asPointer(hSecure));
    return found;
}

NfcApiStatus nfcSecureGetList(NfcHandle hNfc, void* context, TNfcSecureListCallback callback) {
    TRACE(TRC_ENTER_EXIT, "%s enter, hNfc=%p", "nfcSecureGetList", static_cast<void*>(hNfc));
    return nfcapiExit("nfcSecureGetList", getList(hNfc, context, callback));
}

NfcApiStatus nfcSecureSetMode(NfcHandle hNfc, NfcSecureHandle hSecure, DWORD mode) {
    TRACE(TRC_ENTER_EXIT, "nfcSecureSetMode() enter, hNfc=%p, hSecure=%p, mode %u", static_cast<void*>(hNfc),
          asPointer(hSecure), mode);
    return nfcapiExit("nfcSecureSetMode", setMode(hNfc, hSecure, mode));
}

NfcApiStatus nfcSecureSetBatteryMode(NfcHandle hNfc, NfcSecureHandle hSecure, BOOL on) {
    TRACE(TRC_ENTER_EXIT, "nfcSecureSetBatteryMode() enter, hNfc=%p, hSecure=%p, battery mode %s",
          static_cast<void*>(hNfc), asPointer(hSecure), on ? "on" : "off");
    return nfcapiExit("nfcSecureSetBatteryMode", setBatteryMode(hNfc, hSecure, on));
}

NfcApiStatus nfcSecureSetTimeout(NfcHandle hNfc, NfcSecureHandle hSecure, DWORD timeoutMs) {
    TRACE(TRC_ENTER_EXIT, "nfcSecureSetTimeout() enter, hNfc=%p, hSecure=%p, timeout %u", static_cast<void*>(hNfc),
          asPointer(hSecure), timeoutMs);
    const NfcApiStatus status = setTimeout(hNfc, hSecure, timeoutMs);
    TRACE(TRC_ENTER_EXIT, "nfcSecureSetTimeout() exit, status=%d", static_cast<int>(status));
    return status;
}
