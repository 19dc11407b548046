// The ISO 15693 tag handler: the chip identified from its UID, the memory geometry from a table
// or from the system information, the NDEF capability container in the first bytes, and reads,
// writes, formats, erases, tests and locks block by block with the single-block commands.
#pragma once

#include <cstdint>

#include "th/th_handler.h"

uint32_t t15693Init(TTagHandler* handler);
uint32_t t15693GetProperty(TTagHandler* handler, uint32_t id, int* found);
