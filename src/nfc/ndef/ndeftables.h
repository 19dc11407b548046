// What the NDEF builder, parser and handover records share: header bits, limits, the
// record-type table and the URI prefix table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corvane.h"
#include "ndef/ndefparse.h"

// NDEF bit of the NFC trace word.
constexpr uint32_t TRC_NDEF = 0x8000000u;

// Record header bits.
constexpr uint8_t NDEF_MB = 0x80;
constexpr uint8_t NDEF_ME = 0x40;
constexpr uint8_t NDEF_CF = 0x20;
constexpr uint8_t NDEF_SR = 0x10;
constexpr uint8_t NDEF_IL = 0x08;
constexpr uint8_t NDEF_TNF_MASK = 0x07;

// Deepest nesting the builder and the parser follow: deeper input is refused, never recursed into.
constexpr uint32_t NDEF_MAX_LEVEL = 16;

struct NdefRecordType {
    NdefRecordTypeId id;
    uint8_t typeLength;
    const char* type;
    NdefPayloadHandler handler;
};

// A well-known record's type by its bytes (first match in table order; none: nullptr).
const NdefRecordType* ndefTypeByName(const uint8_t* type, uint8_t typeLength);
// The table entry of an id (none: nullptr).
const NdefRecordType* ndefTypeById(NdefRecordTypeId id);

constexpr uint32_t NDEF_URI_LAST_CODE = 0x23;
// The prefix text of a code; the empty text for 0 and for codes above the last.
const char* ndefUriPrefixText(uint32_t code);
// The first code (ascending from 1) whose prefix begins the URI; 0 when none does.
uint8_t ndefUriPrefixFor(const char* uri, size_t& prefixLength);
