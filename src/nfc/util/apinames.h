// Names of tag types, TAG bits and stack causes, as the traces print them.
#pragma once

#include <cstdint>

#include "corvane.h"

const char* nfcapiTagTypeName(uint32_t tagType);
const char* nfcapiTagBitName(uint32_t bit);
const char* nfcapiCauseNameStr(uint16_t cause);
// The status an export returns for a stack cause (1 for every cause without its own mapping).
NfcApiStatus nfcapiCauseToStatus(uint16_t cause);
