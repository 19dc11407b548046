// The library's bookkeeping of applications and listeners: the application slots, the live
// listeners, the instances whose memory waits to be freed, and the checks of the handles the
// exports receive. A handle is looked up here before any of its fields is read.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/nfaceapi.h"

constexpr int NFCAPI_SLOTS = 4;
constexpr uint16_t NFCAPI_CONTROLLER = 1;     // the one controller index in use

// Guards everything below. Taken for bookkeeping only: no other lock is taken and nothing waits
// while it is held.
PlatLock& nfcapiApiLock();

// What the library keeps of the controller it drives: the entry table (empty before the library
// is initialised and after it is done) and the capabilities of the first successful activation.
NfaceEntryTable* nfcapiEntryTable();
void nfcapiSetEntryTable(NfaceEntryTable* table);
TNfcCapabilities nfcapiCapabilities();
void nfcapiSetCapabilities(const TNfcCapabilities& capabilities);

// Takes the first free slot for the instance; -1 when all are taken.
int nfcapiSlotClaim(TNfcApiInstance* instance);
// Frees the instance's slot; returns its index, -1 when it had none.
int nfcapiSlotRelease(const TNfcApiInstance* instance);
// The instances in the slots, in slot order.
std::vector<TNfcApiInstance*> nfcapiInstances();
bool nfcapiInstanceLive(const TNfcApiInstance* instance);

// Empty (with a trace) for a null handle or one that is not a live instance.
TNfcApiInstance* nfcapiCheckApp(NfcHandle hNfc);

// A call's hold on an application: while one is held, the instance and the listeners it let go
// of stay allocated, whatever another thread does to the application meanwhile. It moves, and
// lets go when it ends.
class NfcapiHold {
public:
    NfcapiHold() = default;
    ~NfcapiHold();
    NfcapiHold(NfcapiHold&& other) noexcept : instance_(other.instance_) { other.instance_ = nullptr; }
    NfcapiHold& operator=(NfcapiHold&& other) noexcept {
        std::swap(instance_, other.instance_);
        return *this;
    }
    NfcapiHold(const NfcapiHold&) = delete;
    TNfcApiInstance* get() const { return instance_; }
    explicit operator bool() const { return instance_ != nullptr; }

private:
    friend NfcapiHold nfcapiHoldApp(NfcHandle hNfc);
    friend std::vector<NfcapiHold> nfcapiHoldAll();
    friend TNfcListener* nfcapiHoldListener(NfcListenerHandle hListener, NfcapiHold* hold);
    explicit NfcapiHold(TNfcApiInstance* instance) : instance_(instance) {}
    TNfcApiInstance* instance_ = nullptr;
};
// The application behind the handle, held; empty (with a trace) as nfcapiCheckApp.
NfcapiHold nfcapiHoldApp(NfcHandle hNfc);
// Every application in a slot, in slot order, held.
std::vector<NfcapiHold> nfcapiHoldAll();
// The listener behind the handle with its application held; empty (with a trace) as
// nfcapiCheckListener, and then nothing is held.
TNfcListener* nfcapiHoldListener(NfcListenerHandle hListener, NfcapiHold* hold);

void nfcapiListenerAdd(TNfcListener* listener);
// Takes the listener out of the live ones; false when it was not among them (another thread
// took it out first, and only that one frees it).
bool nfcapiListenerRemove(const TNfcListener* listener);
// Frees a listener that was taken out, once no call holds its application.
void nfcapiRetireListener(TNfcListener* listener);
// Empty (with a trace) for a null handle, an unknown one, or one whose magic word is not a listener's.
TNfcListener* nfcapiCheckListener(NfcListenerHandle hListener);

// Destroyed instances are freed later, under the upcall lock, so that a callback still running
// with one can finish, and only once no call holds them.
void nfcapiDeferFree(TNfcApiInstance* instance);
void nfcapiFreeDeferred();

// Set while some listener holds the tag.
void nfcapiSetTagLocked(bool locked);
bool nfcapiTagLocked();

// When the last listener was registered (high-resolution counter).
void nfcapiNoteRegistration();
uint32_t nfcapiMsSinceRegistration();

// Frees every instance and listener and clears the slots, the capabilities and the tag lock; the
// entry table stays. An instance that a call still holds is freed when the last hold ends.
void nfcapiRegistryReset();
