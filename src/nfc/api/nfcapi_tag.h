// What the tag exports share: the checks that come before any access to the tag.
#pragma once

#include "core/nfaceapi.h"
#include "core/nfaceregistry.h"

// The checks of a tag call, in order: the listener handle (5), a tag present (11), not called
// from inside an event callback (11), the tag connected by this listener (16). On 0 the
// listener is stored, and its application is held for the call.
NfcApiStatus nfcapiTagPrelude(NfcListenerHandle hListener, TNfcListener** listener, NfcapiHold* hold);

// The application's current tag type, 0 when it has no tag.
uint32_t nfcapiTagType(TNfcApiInstance* instance);
