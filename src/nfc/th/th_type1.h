// The Type 1 tag handler: static (120-byte) and dynamic memories, read through the read-all and
// read-segment commands into a one-segment cache, the NDEF area mapped around the reserved and
// lock bytes, written byte by byte (or by 8-byte blocks above the static area), formatted, wiped
// and locked.
#pragma once

#include <cstdint>

#include "th/th_handler.h"

uint32_t t1Init(TTagHandler* handler);
uint32_t t1GetProperty(TTagHandler* handler, uint32_t id, int* found);
