// The Type 3 (FeliCa) tag handler: the attribute information block in block 0, NDEF data from
// block 1 through CHECK and UPDATE without encryption, FeliCa Lite chips recognised by their
// system code and memory configuration, capacity and block limits measured where the tag gives
// none, format, wipe and the FeliCa Lite read-only sequence.
#pragma once

#include <cstdint>

#include "th/th_handler.h"

uint32_t t3Init(TTagHandler* handler);
uint32_t t3GetProperty(TTagHandler* handler, uint32_t id, int* found);
