// What the secure-element exports share.
#pragma once

#include "core/nfaceapi.h"

// Whether the active controller lists a secure element with the handle; traces when not.
bool nfcapiSecureKnown(NfcSecureHandle hSecure);
