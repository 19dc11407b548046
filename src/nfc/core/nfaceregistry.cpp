#include "core/nfaceregistry.h"

#include <algorithm>
#include <atomic>

#include "util/trace.h"

namespace {

struct Registry {
    NfaceEntryTable* table = nullptr;
    TNfcCapabilities capabilities{};
    TNfcApiInstance* slots[NFCAPI_SLOTS] = {};
    TNfcApiInstance* deferred[NFCAPI_SLOTS] = {};
    std::vector<TNfcListener*> listeners;
    bool tagLocked = false;
    uint64_t lastRegistration = 0;
};

PlatLock& apiLock() {
    static PlatLock lock;
    lock.create();
    return lock;
}

Registry& registry() {
    static Registry r;
    return r;
}

int slotOf(const TNfcApiInstance* instance) {
    if (!instance) return -1;
    const auto& slots = registry().slots;
    for (int i = 0; i < NFCAPI_SLOTS; ++i)
        if (slots[i] == instance) return i;
    return -1;
}

// Takes the deferred instances out of the list; the caller frees them.
std::vector<TNfcApiInstance*> takeDeferred() {
    std::vector<TNfcApiInstance*> out;
    PlatLockGuard g(apiLock());
    for (auto& entry : registry().deferred) {
        if (entry) out.push_back(entry);
        entry = nullptr;
    }
    return out;
}

void freeInstances(const std::vector<TNfcApiInstance*>& instances) {
    for (TNfcApiInstance* instance : instances) delete instance;
}

} // namespace

PlatLock& nfcapiApiLock() { return apiLock(); }

NfaceEntryTable* nfcapiEntryTable() {
    PlatLockGuard g(apiLock());
    return registry().table;
}

void nfcapiSetEntryTable(NfaceEntryTable* table) {
    PlatLockGuard g(apiLock());
    registry().table = table;
}

TNfcCapabilities nfcapiCapabilities() {
    PlatLockGuard g(apiLock());
    return registry().capabilities;
}

void nfcapiSetCapabilities(const TNfcCapabilities& capabilities) {
    PlatLockGuard g(apiLock());
    registry().capabilities = capabilities;
}

int nfcapiSlotClaim(TNfcApiInstance* instance) {
    PlatLockGuard g(apiLock());
    auto& slots = registry().slots;
    for (int i = 0; i < NFCAPI_SLOTS; ++i) {
        if (slots[i]) continue;
        slots[i] = instance;
        return i;
    }
    return -1;
}

int nfcapiSlotRelease(const TNfcApiInstance* instance) {
    PlatLockGuard g(apiLock());
    const int slot = slotOf(instance);
    if (slot >= 0) registry().slots[slot] = nullptr;
    return slot;
}

std::vector<TNfcApiInstance*> nfcapiInstances() {
    PlatLockGuard g(apiLock());
    std::vector<TNfcApiInstance*> out;
    for (TNfcApiInstance* instance : registry().slots)
        if (instance) out.push_back(instance);
    return out;
}

bool nfcapiInstanceLive(const TNfcApiInstance* instance) {
    PlatLockGuard g(apiLock());
    return slotOf(instance) >= 0;
}

TNfcApiInstance* nfcapiCheckApp(NfcHandle hNfc) {
    if (!hNfc) {
        TRACE(TRC_ERROR, "! invalid handle hNfc, NULL pointer");
        return nullptr;
    }
    PlatLockGuard g(apiLock());
    if (slotOf(hNfc) >= 0) return hNfc;
    if (debugOn(TRC_ERROR)) {
        debugPrint(0, "! invalid handle hNfc %p, in table:", static_cast<void*>(hNfc));
        for (int i = 0; i < NFCAPI_SLOTS; ++i) debugPrint(0, " #%d. - %p", i, static_cast<void*>(registry().slots[i]));
    }
    return nullptr;
}

void nfcapiListenerAdd(TNfcListener* listener) {
    PlatLockGuard g(apiLock());
    registry().listeners.push_back(listener);
}

void nfcapiListenerRemove(const TNfcListener* listener) {
    PlatLockGuard g(apiLock());
    auto& all = registry().listeners;
    all.erase(std::remove(all.begin(), all.end(), listener), all.end());
}

TNfcListener* nfcapiCheckListener(NfcListenerHandle hListener) {
    if (!hListener) {
        TRACE(TRC_ERROR, "! invalid handle hListen, NULL pointer");
        return nullptr;
    }
    PlatLockGuard g(apiLock());
    const auto& all = registry().listeners;
    // The magic word is read only from a listener that is known to be alive.
    const bool live = std::find(all.begin(), all.end(), hListener) != all.end();
    const uint32_t found = live ? hListener->magic : 0;
    if (found == NFC_MAGIC_LISTENER || found == NFC_MAGIC_CARD_EMULATION) return hListener;
    TRACE(TRC_ERROR, "! invalid handle hNfc %p, TAG 0x%X  not found (0x%X)", static_cast<void*>(hListener),
          NFC_MAGIC_LISTENER, found);
    return nullptr;
}

void nfcapiDeferFree(TNfcApiInstance* instance) {
    std::vector<TNfcApiInstance*> overflow;
    {
        PlatLockGuard g(apiLock());
        auto& deferred = registry().deferred;
        auto free = std::find(std::begin(deferred), std::end(deferred), nullptr);
        if (free != std::end(deferred)) {
            *free = instance;
            return;
        }
        overflow.push_back(instance);
    }
    // Only reachable when destroys outpace creates: free it as the deferred ones are freed.
    PlatLockGuard upcall(nfcapiUpcallLock());
    freeInstances(overflow);
}

void nfcapiFreeDeferred() {
    // No callback runs while the upcall lock is held, so none can still be using an instance.
    PlatLockGuard upcall(nfcapiUpcallLock());
    freeInstances(takeDeferred());
}

void nfcapiSetTagLocked(bool locked) {
    PlatLockGuard g(apiLock());
    registry().tagLocked = locked;
}

bool nfcapiTagLocked() {
    PlatLockGuard g(apiLock());
    return registry().tagLocked;
}

void nfcapiNoteRegistration() {
    PlatLockGuard g(apiLock());
    registry().lastRegistration = platHighResCounter();
}

uint32_t nfcapiMsSinceRegistration() {
    uint64_t last;
    {
        PlatLockGuard g(apiLock());
        last = registry().lastRegistration;
    }
    if (last == 0) return 0;
    return static_cast<uint32_t>((platHighResCounter() - last) / (platHighResFrequency() / 1000));
}

void nfcapiRegistryReset() {
    PlatLockGuard upcall(nfcapiUpcallLock());
    std::vector<TNfcApiInstance*> instances = takeDeferred();
    std::vector<TNfcListener*> listeners;
    {
        PlatLockGuard g(apiLock());
        Registry& r = registry();
        for (auto& slot : r.slots) {
            if (slot) instances.push_back(slot);
            slot = nullptr;
        }
        listeners.swap(r.listeners);
        r.capabilities = TNfcCapabilities{};
        r.tagLocked = false;
        r.lastRegistration = 0;
    }
    for (TNfcListener* listener : listeners) {
        listener->magic = 0;
        delete listener;
    }
    freeInstances(instances);
}
