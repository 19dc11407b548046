// What the exported functions of the library, application and listener families share.
#pragma once

#include "core/nfaceapi.h"

// Frees every listener of the instance; each loses its magic word first.
void nfcapiFreeListeners(TNfcApiInstance* instance);

// The initialisation count: how many nfcInitialize calls the library has taken without nfcDone.
void nfcapiClearInitCount();
