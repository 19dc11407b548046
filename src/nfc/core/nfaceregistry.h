// The library's bookkeeping of applications and listeners: the application slots, the live
// listeners, the instances whose memory waits to be freed, and the checks of the handles the
// exports receive. A handle is looked up here before any of its fields is read.
#pragma once

#include <cstdint>
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

void nfcapiListenerAdd(TNfcListener* listener);
void nfcapiListenerRemove(const TNfcListener* listener);
// Empty (with a trace) for a null handle, an unknown one, or one whose magic word is not a listener's.
TNfcListener* nfcapiCheckListener(NfcListenerHandle hListener);

// Destroyed instances are freed later, under the upcall lock, so that a callback still running
// with one can finish.
void nfcapiDeferFree(TNfcApiInstance* instance);
void nfcapiFreeDeferred();

// Set while some listener holds the tag.
void nfcapiSetTagLocked(bool locked);
bool nfcapiTagLocked();

// When the last listener was registered (high-resolution counter).
void nfcapiNoteRegistration();
uint32_t nfcapiMsSinceRegistration();

// Frees every instance and listener and clears the slots, the capabilities and the tag lock; the
// entry table stays.
void nfcapiRegistryReset();
