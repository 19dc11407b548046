#include "util/apinames.h"

namespace {

struct TypeName {
    uint32_t bit;
    const char* plain;
    const char* withNdef;
};

// Tested in this order: the first bit found names the tag.
constexpr TypeName kTypeNames[] = {
    {0x2, "ISO 14443B", "ISO 14443B + NDEF"},
    {0x1, "ISO 14443A", "ISO 14443A + NDEF"},
    {0x10, "MifareStd 1k", "MifareStd 1k + NDEF"},
    {0x20, "MifareStd 4k", "MifareStd 4k + NDEF"},
    {0x1000000, "MifareS20", "MifareS20 + NDEF"},
    {0x2000000, "MifarePlus 2k", "MifarePlus 2k + NDEF"},
    {0x4000000, "MifarePlus 4k", "MifarePlus 4k + NDEF"},
    {0x40, "MifareUL", "MifareUL + NDEF"},
    {0x80, "Desfire", "Desfire + NDEF"},
    {0x100, "Felica", "Felica + NDEF"},
    {0x400, "Jewel", "Jewel + NDEF"},
    {0x1000, "NFC P2P Initiator", "NFC P2P Initiator"},
    {0x2000, "NFC P2P Target", "NFC P2P Target"},
    {0x100000, "NFC HOST CE 14443A", "NFC HOST CE 14443A"},
    {0x200000, "NFC HOST CE 14443B", "NFC HOST CE 14443B"},
    {0x400000, "NFC HOST CE FELICA", "NFC HOST CE FELICA"},
    {0x4, "ISO 15693", "ISO 15693"},
    {0x800, "Kovio Barcode", "Kovio Barcode"},
    {0x20000, "Transaction", "Transaction"},
};

struct BitName {
    uint32_t bit;
    const char* name;
};

#define NFC_TAG_BIT_ROW(name, value) {value, #name},
constexpr BitName kBitNames[] = {{0, "NONE"}, NFC_TAG_BITS(NFC_TAG_BIT_ROW)};
#undef NFC_TAG_BIT_ROW

struct CauseRow {
    uint16_t cause;
    const char* text;
    NfcApiStatus status;
};

#define NFC_CAUSE_ROW(name, value, text, status) {value, text, status},
constexpr CauseRow kCauses[] = {NFC_CAUSES(NFC_CAUSE_ROW)};
#undef NFC_CAUSE_ROW

const CauseRow* findCause(uint16_t cause) {
    for (const CauseRow& row : kCauses)
        if (row.cause == cause) return &row;
    return nullptr;
}

} // namespace

const char* nfcapiTagTypeName(uint32_t tagType) {
    bool ndef = (tagType & TAG_NDEF) != 0;
    for (const TypeName& row : kTypeNames)
        if (tagType & row.bit) return ndef ? row.withNdef : row.plain;
    return "! Unknown card type";
}

const char* nfcapiTagBitName(uint32_t bit) {
    for (const BitName& row : kBitNames)
        if (row.bit == bit) return row.name;
    return "untraceable CARD Type";
}

const char* nfcapiCauseNameStr(uint16_t cause) {
    const CauseRow* row = findCause(cause);
    return row ? row->text : "unknown state in nfcapiCauseNameStr !!!";
}

NfcApiStatus nfcapiCauseToStatus(uint16_t cause) {
    const CauseRow* row = findCause(cause);
    return row ? row->status : NfcApiStatus{nfcStatusFailed};
}
