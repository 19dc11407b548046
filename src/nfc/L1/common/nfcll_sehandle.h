// Secure-element handles. The API names a secure element by a 32-bit handle; records cannot
// use their addresses for it on a 64-bit build, so every driver takes its records' handles
// from this one source: never 0, unique across drivers and stacks, never reused.
#pragma once

#include "corvane.h"

NfcSecureHandle nfcllNewSeHandle();
