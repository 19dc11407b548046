// The record-type table (searched in this order) and the URI prefix table.
#include "ndef/ndeftables.h"

#include <cstring>
#include <iterator>

#include "ndef/ndefhoparse.h"

namespace {

constexpr NdefRecordType kTypes[] = {
    {NDEF_ID_TEXT, 1, "T", ndefPayloadText},
    {NDEF_ID_URI, 1, "U", ndefPayloadUri},
    {NDEF_ID_SIZE, 1, "s", ndefPayloadSize},
    {NDEF_ID_TYPE, 1, "t", ndefPayloadRaw},
    {NDEF_ID_SMART_POSTER, 2, "Sp", ndefPayloadSmartPoster},
    {NDEF_ID_ALTERNATIVE_CARRIER, 2, "ac", ndefPayloadAlternativeCarrier},
    {NDEF_ID_HANDOVER_CARRIER, 2, "Hc", ndefPayloadHandoverCarrier},
    {NDEF_ID_HANDOVER_REQUEST, 2, "Hr", ndefPayloadHandoverRequest},
    {NDEF_ID_HANDOVER_SELECT, 2, "Hs", ndefPayloadHandoverSelect},
    {NDEF_ID_HANDOVER_MEDIATION, 2, "Hm", ndefPayloadHandoverRequest},
    {NDEF_ID_HANDOVER_CAPABILITIES, 2, "Ha", ndefPayloadHandoverSelect},
    {NDEF_ID_HANDOVER_INITIATE, 2, "Hi", ndefPayloadHandoverInitiate},
    {NDEF_ID_COLLISION_RESOLUTION, 2, "cr", ndefPayloadCollision},
    {NDEF_ID_ACTION, 3, "act", ndefPayloadAction},
    {NDEF_ID_HANDOVER_ERROR, 3, "err", ndefPayloadHandoverError},
    // Reached through the TNF; a well-known record with an empty type also lands on the first.
    {NDEF_ID_MIME, 0, "", ndefPayloadRaw},
    {NDEF_ID_ABSOLUTE_URI, 0, "", ndefPayloadRaw},
    {NDEF_ID_EXTERNAL, 0, "", ndefPayloadRaw},
    {NDEF_ID_UNKNOWN, 0, "", ndefPayloadRaw},
};

#define NDEF_URI_PREFIX_TEXT(code, text) text,
constexpr const char* kUriPrefixes[] = {NDEF_URI_PREFIXES(NDEF_URI_PREFIX_TEXT)};
#undef NDEF_URI_PREFIX_TEXT
static_assert(std::size(kUriPrefixes) == NDEF_URI_LAST_CODE + 1);

} // namespace

const NdefRecordType* ndefTypeByName(const uint8_t* type, uint8_t typeLength) {
    for (const auto& t : kTypes) {
        if (t.typeLength == typeLength && (typeLength == 0 || std::memcmp(t.type, type, typeLength) == 0)) return &t;
    }
    return nullptr;
}

const NdefRecordType* ndefTypeById(NdefRecordTypeId id) {
    for (const auto& t : kTypes) {
        if (t.id == id) return &t;
    }
    return nullptr;
}

const char* ndefUriPrefixText(uint32_t code) { return code <= NDEF_URI_LAST_CODE ? kUriPrefixes[code] : ""; }

uint8_t ndefUriPrefixFor(const char* uri, size_t& prefixLength) {
    for (uint32_t code = 1; code <= NDEF_URI_LAST_CODE; ++code) {
        size_t n = std::strlen(kUriPrefixes[code]);
        if (std::strncmp(uri, kUriPrefixes[code], n) == 0) {
            prefixLength = n;
            return static_cast<uint8_t>(code);
        }
    }
    prefixLength = 0;
    return 0;
}
