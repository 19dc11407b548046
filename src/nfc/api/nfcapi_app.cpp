// Exports of the application family: create and destroy an application, its capabilities and time-outs.
#include <algorithm>
#include <new>

#include "api/nfcapi.h"
#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "p2p/nfcp2p.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kRequestTimeoutOnly = 0xFFFFFFFFu;

// The listen-mask bits that select each reader time-out.
struct ReaderBits {
    NfcapiReader reader;
    uint32_t mask;
};
constexpr ReaderBits kReaderBits[] = {
    {READER_FELICA, NFC_LISTEN_FELICA}, {READER_15693, TAG_15693}, {READER_JEWEL, TAG_JEWEL_TYPE1},
    {READER_DEFAULT, TAG_ISO14443A},    {READER_14443B, TAG_14443B},
};

// Frees an instance that never became an application. A late upcall may still hold it, so it
// goes under the upcall lock, after it has left its slot.
void discard(TNfcApiInstance* instance) {
    nfcapiSlotRelease(instance);
    PlatLockGuard upcall(nfcapiUpcallLock());
    delete instance;
}

NfcApiStatus create(uint16_t index, void* context, TNfcEventCallback callback, NfcHandle* hNfc) {
    if (!hNfc || index != NFCAPI_CONTROLLER) {
        TRACE(TRC_ERROR, "! nfcCreate(), controller %d or handle pointer %p not usable", index, static_cast<void*>(hNfc));
        return nfcStatusBadParameter;
    }
    *hNfc = nullptr;
    if (nfcapiOnCallbackThread()) {
        TRACE(TRC_ERROR, "! nfcCreate() refused inside the event callback");
        return nfcStatusWrongState;
    }
    if (!nfcapiEntryTable()) {
        TRACE(TRC_ERROR, "! nfcCreate(), library not initialized");
        return nfcStatusStartFailed;
    }
    nfcapiFreeDeferred();
    auto* instance = new (std::nothrow) TNfcApiInstance;
    if (!instance) return nfcStatusNoResources;
    instance->magic = NFC_MAGIC_APPLICATION;
    instance->context = context;
    instance->callback = callback;
    dlQueueInitLockless(&instance->listeners);
    instance->registration.create();
    // The slot is claimed at once, so that two callers never take the same one.
    if (nfcapiSlotClaim(instance) < 0) {
        TRACE(TRC_ERROR, "! no free application slot avail");
        delete instance;
        return nfcStatusNoResources;
    }
    NfcApiStatus status = nfcapiRegisterApp(instance);
    if (status != nfcStatusOk && status != nfcStatusPending) {
        discard(instance);
        nfcapiClearInitCount();
        return status == nfcStatusNoResources ? nfcStatusNoResources : nfcStatusStartFailed;
    }
    *hNfc = instance;
    return status;
}

} // namespace

void nfcapiReleaseApp(TNfcApiInstance* instance, const NfaceEntryTable* table) {
    void* hApp;
    uint32_t timeoutMs;
    {
        PlatLockGuard g(instance->lock);
        // A request another thread still waits for keeps its place: its answer may come first.
        if (!instance->pending) {
            instance->pending = NFACE_RELEASE_REQ;
            instance->pendingRequest = 0;
        }
        hApp = instance->hApp;
        timeoutMs = instance->requestTimeout;
    }
    if (table && hApp) table->release(hApp, timeoutMs);
    // Once released, nothing answers the application's requests any more.
    nfcapiAbortRequest(instance, nfcStatusInvalidHandle);
}

NfcApiStatus nfcCreateEx(WORD controllerIndex, void* context, TNfcEventCallback callback, NfcHandle* hNfc) {
    TRACE(TRC_ENTER_EXIT, "nfcCreate() enter, context %p, callBack %p", context, reinterpret_cast<void*>(callback));
    const NfcApiStatus status = create(controllerIndex, context, callback, hNfc);
    TRACE(TRC_ENTER_EXIT, "nfcCreate() exit, status=0x%X (hNFC=%p)", status,
          hNfc ? static_cast<void*>(*hNfc) : nullptr);
    return status;
}

NfcApiStatus nfcCreate(void* context, TNfcEventCallback callback, NfcHandle* hNfc) {
    return nfcCreateEx(NFCAPI_CONTROLLER, context, callback, hNfc);
}

NfcApiStatus nfcDestroy(NfcHandle hNfc) {
    TRACE(TRC_ENTER_EXIT, "nfcDestroy() enter, hNfc=%p", static_cast<void*>(hNfc));
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcapiExit("nfcDestroy", nfcStatusInvalidHandle);
    if (nfcapiOnCallbackThread()) {
        // The release is confirmed through the upcall this thread is running.
        TRACE(TRC_ERROR, "! nfcDestroy() refused inside the event callback");
        return nfcapiExit("nfcDestroy", nfcStatusWrongState);
    }
    if (!nfcapiStartDestroy(instance)) {
        TRACE(TRC_ERROR, "! nfcDestroy(), another thread destroys hNfc %p", static_cast<void*>(hNfc));
        return nfcapiExit("nfcDestroy", nfcStatusInvalidHandle);
    }
    p2pFreeListenersFromInstance(instance);
    nfcapiReleaseApp(instance, nfcapiEntryTable());
    const int slot = nfcapiSlotRelease(instance);
    TRACE(TRC_API, "nfcapi: app at slot %d is removed", slot);
    nfcapiFreeListeners(instance);
    instance->magic = 0;
    nfcapiDeferFree(instance);
    return nfcapiExit("nfcDestroy", nfcStatusOk);
}

NfcApiStatus nfcGetCapabilities(NfcHandle hNfc, TNfcCapabilities* capabilities, WORD size) {
    TRACE(TRC_ENTER_EXIT, "nfcGetCapabilities() enter, hNfc=%p, caps %p, size %d", static_cast<void*>(hNfc),
          static_cast<void*>(capabilities), size);
    if (!nfcapiHoldApp(hNfc)) return nfcapiExit("nfcGetCapabilities", nfcStatusInvalidHandle);
    const TNfcCapabilities caps = nfcapiCapabilities();
    const size_t needed = NFC_CAPABILITIES_SIZE(caps.controllerCount ? 1 : 0);
    if (!capabilities || size < needed) return nfcapiExit("nfcGetCapabilities", nfcStatusBadParameter);
    std::memcpy(capabilities, &caps, needed);
    TRACE(TRC_API, "nfcapi: caps listen supported mask 0x%X", caps.controller ? caps.controller->supportedMask : 0u);
    return nfcapiExit("nfcGetCapabilities", nfcStatusOk);
}

NfcApiStatus nfcSetReaderTimeout(NfcHandle hNfc, DWORD timeoutMs, DWORD mask) {
    TRACE(TRC_ENTER_EXIT, "nfcSetReaderTimeout() enter, hNfc=%p, timeout %u, mask 0x%X", static_cast<void*>(hNfc),
          timeoutMs, mask);
    const NfcapiHold held = nfcapiHoldApp(hNfc);
    TNfcApiInstance* instance = held.get();
    if (!instance) return nfcapiExit("nfcSetReaderTimeout", nfcStatusInvalidHandle);
    {
        PlatLockGuard g(instance->lock);
        if (timeoutMs != 0 && mask == kRequestTimeoutOnly) {
            instance->requestTimeout = timeoutMs;
            return nfcapiExit("nfcSetReaderTimeout", nfcStatusOk);
        }
        const uint32_t readerTimeout =
            timeoutMs ? std::min<uint64_t>(uint64_t{timeoutMs} + NFCAPI_READER_EXTRA, UINT32_MAX) : NFCAPI_REQUEST_TIMEOUT;
        for (const ReaderBits& row : kReaderBits)
            if (timeoutMs == 0 || (mask & row.mask)) instance->readerTimeouts[row.reader] = readerTimeout;
    }
    if (mask == kRequestTimeoutOnly) return nfcapiExit("nfcSetReaderTimeout", nfcStatusOk);
    instance->io.parameters[0] = timeoutMs;
    instance->io.parameters[1] = mask;
    return nfcapiExit("nfcSetReaderTimeout",
                    nfcapiIoControlParameters(instance, NFC_IOCTL_READER_TIMEOUT, sizeof instance->io.parameters));
}
