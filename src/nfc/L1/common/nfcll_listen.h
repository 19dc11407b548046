// Typed reads of the listen parameters an application gives with a listen request, shared by
// the chip drivers so that each field is taken, and bounded, in one place.
#pragma once

#include <cstdint>

#include "corvane.h"

// The P2P general bytes and the ATR configuration byte in front of them.
struct TNfcllAtrView {
    bool given;                 // NFC_P2P_GENERAL_BYTES is set
    uint8_t config;
    const uint8_t* bytes;
    uint16_t length;            // at most the field's 47 bytes
};

// False when the parameters claim more ATR bytes than their field holds: the listen is refused.
bool nfcllListenAtr(const TNfcListenParam* params, TNfcllAtrView& view);
// The P2P data-rate code (1 106, 2 212, 3 424 kbit/s, ...) when one is given, else 0.
uint8_t nfcllListenP2pDataRate(const TNfcListenParam* params);
