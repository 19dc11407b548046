// What the exported functions of the library, application and listener families share.
#pragma once

#include "core/nfaceapi.h"

// Marks the instance's release as the request pending and asks the stack (when there is one) to
// release the application it registered, waiting the instance's request time-out.
void nfcapiReleaseApp(TNfcApiInstance* instance, const NfaceEntryTable* table);

// Frees every listener of the instance; each loses its magic word first.
void nfcapiFreeListeners(TNfcApiInstance* instance);

// The initialisation count: how many nfcInitialize calls the library has taken without nfcDone.
void nfcapiClearInitCount();
