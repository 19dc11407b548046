// Exports of the listener family: a listener takes the tags of its listen mask for its application.
#include <new>

#include "api/nfcapi.h"
#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTechnologyBits = 0x3FFFFFFFu;

// The first listener of the application sharing a bit with the mask, else empty. Listener lock held.
const TNfcListener* conflicting(const TNfcApiInstance* instance, uint32_t mask) {
    for (const dlQueueNode* node = instance->listeners.head; node; node = node->next) {
        const auto* listener = reinterpret_cast<const TNfcListener*>(node);
        if (listener->mask & mask) return listener;
    }
    return nullptr;
}

NfcApiStatus registerListener(TNfcApiInstance* instance, void* context, uint32_t mask, const TNfcListenParam* params,
                              NfcListenerHandle* hListener) {
    const bool secureElement = mask & NFC_LISTEN_SECURE_ELEMENT;
    mask &= ~NFC_LISTEN_SECURE_ELEMENT;
    {
        PlatLockGuard g(instance->listeners.lock);
        if (const TNfcListener* other = conflicting(instance, mask)) {
            TRACE(TRC_ERROR, "listener with given mask 0x%.08X already pending 0x%.08X", mask, other->mask);
            return nfcStatusListenMaskConflict;
        }
    }
    auto* listener = new (std::nothrow) TNfcListener{};
    if (!listener) return nfcStatusNoResources;
    listener->magic = NFC_MAGIC_LISTENER;
    listener->owner = instance;
    listener->context = context;
    listener->mask = mask & ~NFC_LISTEN_NO_READER;
    listener->secureElement = secureElement;
    nfcapiNoteRegistration();
    // In the queue before the stack hears of the mask: a tag it finds at once may be signalled
    // before the listen confirmation wakes this thread, and must find its listener.
    dlQueueAddTail(&instance->listeners, &listener->link);
    const uint32_t old = instance->listenMask;
    if (mask || old) {
        TRACE(TRC_API, "nfcapi: Listen mask changed from 0x%X -> 0x%X", old, old | mask);
        const NfcApiStatus status = nfcapiListen(instance, params, old | mask);
        if (status != nfcStatusOk && status != nfcStatusPending) {
            {
                PlatLockGuard g(instance->listeners.lock);
                dlRemove(&listener->link, &instance->listeners);
            }
            delete listener;
            return status;
        }
    } else {
        TRACE(TRC_API, "nfcapi: Current Listen mask 0x%X not changed", old);
    }
    instance->listenMask |= mask;
    nfcapiListenerAdd(listener);
    *hListener = listener;
    return nfcStatusOk;
}

// Takes the listener out of its application and tells the stack what is still listened for.
NfcApiStatus unregisterListener(TNfcListener* listener) {
    TNfcApiInstance* instance = listener->owner;
    PlatLockGuard registration(instance->registration);
    // A destroy of the application on another thread may have taken it out first.
    if (!nfcapiListenerRemove(listener)) {
        TRACE(TRC_ERROR, "! nfcUnregisterListener(), listener %p is already gone", static_cast<void*>(listener));
        return nfcStatusInvalidHandle;
    }
    instance->listenMask &= ~listener->mask;
    {
        PlatLockGuard g(instance->listeners.lock);
        dlRemove(&listener->link, &instance->listeners);
    }
    const uint32_t remaining = instance->listenMask;
    TRACE(TRC_API, "nfcapi: Remove listener mask 0x%X -> listen mask is now 0x%X", listener->mask, remaining);
    nfcapiRetireListener(listener);
    if (remaining & kTechnologyBits) return nfcapiListen(instance, nullptr, remaining);
    {
        PlatLockGuard g(instance->lock);
        instance->tag = TNfcTagInfo{};
    }
    instance->listenMask = 0;
    return nfcapiListen(instance, nullptr, 0);
}

} // namespace

void nfcapiFreeListeners(TNfcApiInstance* instance) {
    // One listener change at a time, whichever thread makes it.
    PlatLockGuard registration(instance->registration);
    for (;;) {
        TNfcListener* listener = nullptr;
        {
            PlatLockGuard g(instance->listeners.lock);
            listener = reinterpret_cast<TNfcListener*>(dlQueueRemoveHead(&instance->listeners));
        }
        if (!listener) return;
        if (nfcapiListenerRemove(listener)) nfcapiRetireListener(listener);
    }
}

NfcApiStatus nfcRegisterListener(NfcHandle hNfc, void* listenerContext, DWORD mask, const TNfcListenParam* params,
                                 NfcListenerHandle* hListener) {
    TRACE(TRC_ENTER_EXIT, "nfcRegisterListener() enter, hNfc=%p, hListenerContext %p, mask 0x%.08X",
          static_cast<void*>(hNfc), listenerContext, mask);
    NfcApiStatus status;
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) {
        status = nfcStatusInvalidHandle;
    } else if (!hListener) {
        TRACE(TRC_ERROR, "! nfcRegisterListener(), no room for the listener handle");
        status = nfcStatusBadParameter;
    } else {
        *hListener = nullptr;
        if (nfcapiOnCallbackThread()) {
            TRACE(TRC_ERROR, "! nfcRegisterListener() refused inside the event callback");
            status = nfcStatusWrongState;
        } else {
            PlatLockGuard registration(instance->registration);
            status = registerListener(instance, listenerContext, mask, params, hListener);
        }
    }
    TRACE(TRC_ENTER_EXIT, "nfcRegisterListener() exit, status=0x%X (hListener=%p)", status,
          hListener ? static_cast<void*>(*hListener) : nullptr);
    return status;
}

NfcApiStatus nfcUnregisterListener(NfcListenerHandle hListener) {
    TRACE(TRC_ENTER_EXIT, "nfcUnregisterListener() enter, hListener=%p", static_cast<void*>(hListener));
    NfcapiHold held;
    TNfcListener* listener = nfcapiHoldListener(hListener, &held);
    if (!listener) return nfcapiExit("nfcUnregisterListener", nfcStatusInvalidHandle);
    if (nfcapiOnCallbackThread()) {
        TRACE(TRC_ERROR, "! nfcUnregisterListener() refused inside the event callback");
        return nfcapiExit("nfcUnregisterListener", nfcStatusWrongState);
    }
    return nfcapiExit("nfcUnregisterListener", unregisterListener(listener));
}
