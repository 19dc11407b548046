// The Kovio barcode: a tag that only broadcasts its 16-byte identifier and takes no command. Its
// handler identifies it by that identifier, answers the NDEF check with "not an NFC Forum tag",
// passes the presence test without a frame and answers every other command at once.
#pragma once

#include <cstdint>

#include "th/th_handler.h"

uint32_t tkbcInit(TTagHandler* handler);
uint32_t tkbcGetProperty(TTagHandler* handler, uint32_t id, int* found);
