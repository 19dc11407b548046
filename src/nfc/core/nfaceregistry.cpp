#include "core/nfaceregistry.h"

#include <algorithm>
#include <atomic>

#include "util/trace.h"

namespace {

struct Registry {
    NfaceEntryTable* table = nullptr;
    TNfcCapabilities capabilities{};
    TNfcApiInstance* slots[NFCAPI_SLOTS] = {};
    std::vector<TNfcApiInstance*> deferred;     // destroyed, to be freed at the next create or done
    std::vector<TNfcApiInstance*> orphans;      // left by the last done while a call held them
    std::vector<TNfcListener*> retired;         // taken out while a call held their application
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

// What is freed together once nothing holds it any more. Api lock held while it is gathered.
struct Freed {
    std::vector<TNfcApiInstance*> instances;
    std::vector<TNfcListener*> listeners;

    void instance(TNfcApiInstance* instance) {
        instances.push_back(instance);
        retiredOf(instance);
    }
    void retiredOf(const TNfcApiInstance* instance) {
        auto& retired = registry().retired;
        for (auto it = retired.begin(); it != retired.end();) {
            if ((*it)->owner != instance) {
                ++it;
                continue;
            }
            listeners.push_back(*it);
            it = retired.erase(it);
        }
    }
    // Without the api lock.
    ~Freed() {
        for (TNfcListener* listener : listeners) delete listener;
        for (TNfcApiInstance* instance : instances) delete instance;
    }
};

// Takes the deferred instances that no call holds out of the list into what is freed.
void takeDeferred(Freed& freed) {
    PlatLockGuard g(apiLock());
    auto& deferred = registry().deferred;
    for (auto it = deferred.begin(); it != deferred.end();) {
        if ((*it)->holds) {
            ++it;
            continue;
        }
        freed.instance(*it);
        it = deferred.erase(it);
    }
}

TNfcApiInstance* checkedLocked(NfcHandle hNfc) {
    if (slotOf(hNfc) >= 0) return hNfc;
    if (debugOn(TRC_ERROR)) {
        debugPrint(0, "! invalid handle hNfc %p, in table:", static_cast<void*>(hNfc));
        for (int i = 0; i < NFCAPI_SLOTS; ++i) debugPrint(0, " #%d. - %p", i, static_cast<void*>(registry().slots[i]));
    }
    return nullptr;
}

TNfcListener* listenerLocked(NfcListenerHandle hListener) {
    const auto& all = registry().listeners;
    // The magic word is read only from a listener that is known to be alive.
    const bool live = std::find(all.begin(), all.end(), hListener) != all.end();
    const uint32_t found = live ? hListener->magic : 0;
    if (found == NFC_MAGIC_LISTENER || found == NFC_MAGIC_CARD_EMULATION) return hListener;
    TRACE(TRC_ERROR, "! invalid handle hNfc %p, TAG 0x%X  not found (0x%X)", static_cast<void*>(hListener),
          NFC_MAGIC_LISTENER, found);
    return nullptr;
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
    return checkedLocked(hNfc);
}

NfcapiHold::~NfcapiHold() {
    if (!instance_) return;
    Freed freed;
    PlatLockGuard g(apiLock());
    if (--instance_->holds != 0) return;
    freed.retiredOf(instance_);
    auto& orphans = registry().orphans;
    const auto orphan = std::find(orphans.begin(), orphans.end(), instance_);
    if (orphan == orphans.end()) return;
    // The stack that knew it has stopped: no callback can still be running with it.
    orphans.erase(orphan);
    freed.instances.push_back(instance_);
}

NfcapiHold nfcapiHoldApp(NfcHandle hNfc) {
    if (!hNfc) {
        TRACE(TRC_ERROR, "! invalid handle hNfc, NULL pointer");
        return NfcapiHold();
    }
    PlatLockGuard g(apiLock());
    TNfcApiInstance* instance = checkedLocked(hNfc);
    if (instance) ++instance->holds;
    return NfcapiHold(instance);
}

std::vector<NfcapiHold> nfcapiHoldAll() {
    std::vector<NfcapiHold> out;
    PlatLockGuard g(apiLock());
    for (TNfcApiInstance* instance : registry().slots)
        if (instance) {
            ++instance->holds;
            out.push_back(NfcapiHold(instance));
        }
    return out;
}

TNfcListener* nfcapiHoldListener(NfcListenerHandle hListener, NfcapiHold* hold) {
    if (!hListener) {
        TRACE(TRC_ERROR, "! invalid handle hListen, NULL pointer");
        return nullptr;
    }
    PlatLockGuard g(apiLock());
    TNfcListener* listener = listenerLocked(hListener);
    if (!listener) return nullptr;
    ++listener->owner->holds;
    *hold = NfcapiHold(listener->owner);
    return listener;
}

void nfcapiListenerAdd(TNfcListener* listener) {
    PlatLockGuard g(apiLock());
    registry().listeners.push_back(listener);
}

bool nfcapiListenerRemove(const TNfcListener* listener) {
    PlatLockGuard g(apiLock());
    auto& all = registry().listeners;
    const auto it = std::find(all.begin(), all.end(), listener);
    if (it == all.end()) return false;
    all.erase(it);
    return true;
}

void nfcapiRetireListener(TNfcListener* listener) {
    listener->magic = 0;
    {
        PlatLockGuard g(apiLock());
        if (listener->owner->holds) {
            registry().retired.push_back(listener);
            return;
        }
    }
    delete listener;
}

TNfcListener* nfcapiCheckListener(NfcListenerHandle hListener) {
    if (!hListener) {
        TRACE(TRC_ERROR, "! invalid handle hListen, NULL pointer");
        return nullptr;
    }
    PlatLockGuard g(apiLock());
    return listenerLocked(hListener);
}

void nfcapiDeferFree(TNfcApiInstance* instance) {
    PlatLockGuard g(apiLock());
    registry().deferred.push_back(instance);
}

void nfcapiFreeDeferred() {
    // No callback runs while the upcall lock is held, so none can still be using an instance.
    PlatLockGuard upcall(nfcapiUpcallLock());
    Freed freed;
    takeDeferred(freed);
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
    std::vector<TNfcListener*> listeners;
    {
        PlatLockGuard g(apiLock());
        listeners.swap(registry().listeners);
    }
    for (TNfcListener* listener : listeners) nfcapiRetireListener(listener);
    Freed freed;
    PlatLockGuard g(apiLock());
    Registry& r = registry();
    for (auto& slot : r.slots) {
        if (slot) r.deferred.push_back(slot);
        slot = nullptr;
    }
    for (TNfcApiInstance* instance : r.deferred) {
        if (instance->holds) r.orphans.push_back(instance);
        else freed.instance(instance);
    }
    r.deferred.clear();
    r.capabilities = TNfcCapabilities{};
    r.tagLocked = false;
    r.lastRegistration = 0;
}
