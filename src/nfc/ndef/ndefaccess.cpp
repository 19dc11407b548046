// Accessors: fetch the n-th record of one kind (counted over every nesting level) into the
// caller's buffers.
#include <cstring>

#include "ndef/ndefparse.h"
#include "ndef/ndeftables.h"

namespace {

constexpr char kVCardType[] = "text/x-vCard";
constexpr char kImageType[] = "image/";
constexpr uint32_t kImageTypeSize = sizeof kImageType;   // with its terminator

struct Search {
    NdefRecordTypeId id;
    uint32_t index;
    const char* type;   // MIME records: the type must begin with it
    uint32_t count;
    TNdefRecordInfo found;
};

uint32_t matchRecord(void* context, const TNdefRecordInfo* record) {
    auto& s = *static_cast<Search*>(context);
    if (record->recordTypeId != s.id) return 1;
    if (s.id == NDEF_ID_MIME) {
        const size_t n = std::strlen(s.type);
        if (record->typeLength < n || std::memcmp(record->type, s.type, n) != 0) return 1;
    }
    if (s.count++ != s.index) return 1;
    s.found = *record;
    return 0;
}

// The record found, and the joined payloads of chunked records its pointers may lead into.
struct Found {
    TNdefRecordInfo record{};
    NdefChunks chunks;
};

// NDEF_OK with the record in `found`, else what the walk returned (NDEF_OK: no such record).
NdefStatus findRecord(const uint8_t* data, uint32_t length, uint32_t index, NdefRecordTypeId id, const char* type,
                      Found& result, uint32_t* level) {
    Search s{id, index, type, 0, {}};
    NdefStatus status = ndefWalkMessage(NdefWalk{matchRecord, &s, &result.chunks}, data, length, 0);
    if (status != NDEF_STOPPED) return status == NDEF_OK ? NdefStatus{NDEF_NOT_FOUND} : status;
    TNdefRecordInfo& found = result.record;
    found = s.found;
    if (level) *level = found.level;
    return NDEF_OK;
}

// The accessors other than the URI one answer "not found" for every walk that found nothing.
NdefStatus notFound(NdefStatus status) { return status == NDEF_OK ? NDEF_OK : NDEF_NOT_FOUND; }

// Copies when the capacity holds the bytes; the capacity is left for the caller to update.
bool copyBytes(uint8_t* dst, uint32_t capacity, const uint8_t* src, uint32_t n) {
    if (capacity < n) return false;
    if (n) std::memcpy(dst, src, n);
    return true;
}

// Copies and zero-terminates when the capacity holds the bytes and the terminator.
bool copyText(char* dst, uint32_t capacity, const uint8_t* src, uint64_t n) {
    if (capacity <= n) return false;
    if (n) std::memcpy(dst, src, n);
    dst[n] = '\0';
    return true;
}

} // namespace

CORVANE_API NdefStatus ndefGetText(const uint8_t* data, uint32_t length, uint32_t index, char* text,
                                   uint32_t* textLength, uint32_t* encoding, char* language,
                                   uint32_t* languageLength, uint32_t* level) {
    if (!data || !text || !textLength || !encoding) return NDEF_BAD_PARAMETER;
    Found found;
    const TNdefRecordInfo& r = found.record;
    NdefStatus status = notFound(findRecord(data, length, index, NDEF_ID_TEXT, nullptr, found, level));
    if (status != NDEF_OK) return status;
    *encoding = r.text.encoding;
    const bool textFits = copyText(text, *textLength, r.text.text, r.text.textLength);
    *textLength = r.text.textLength;
    if (!textFits) status = NDEF_BUFFER_TOO_SMALL;
    if (language && languageLength) {
        const bool languageFits = copyText(language, *languageLength, r.text.language, r.text.languageLength);
        *languageLength = r.text.languageLength + 1u;
        if (!languageFits) status = NDEF_BUFFER_TOO_SMALL;
    }
    return status;
}

CORVANE_API NdefStatus ndefGetUri(const uint8_t* data, uint32_t length, uint32_t index, char* uri,
                                  uint32_t* uriLength, uint32_t* level) {
    if (!data || !uri || !uriLength) return NDEF_BAD_PARAMETER;
    Found found;
    const TNdefRecordInfo& r = found.record;
    NdefStatus status = findRecord(data, length, index, NDEF_ID_URI, nullptr, found, level);
    if (status != NDEF_OK) return status;
    const char* prefix = ndefUriPrefixText(r.uri.prefixCode);
    const size_t prefixLength = std::strlen(prefix);
    const uint64_t needed = prefixLength + uint64_t{r.uri.restLength} + 1;
    if (*uriLength < needed) {
        *uriLength = needed > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(needed);
        return NDEF_BUFFER_TOO_SMALL;
    }
    std::memcpy(uri, prefix, prefixLength);
    copyText(uri + prefixLength, *uriLength - static_cast<uint32_t>(prefixLength), r.uri.rest, r.uri.restLength);
    *uriLength = static_cast<uint32_t>(needed);
    return NDEF_OK;
}

CORVANE_API NdefStatus ndefGetAction(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* action,
                                     uint32_t* level) {
    if (!data || !action) return NDEF_BAD_PARAMETER;
    Found found;
    const TNdefRecordInfo& r = found.record;
    NdefStatus status = notFound(findRecord(data, length, index, NDEF_ID_ACTION, nullptr, found, level));
    if (status == NDEF_OK) *action = r.action.code;
    return status;
}

CORVANE_API NdefStatus ndefGetVCard(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer,
                                    uint32_t* bufferLength, uint32_t* level) {
    if (!data || !buffer || !bufferLength) return NDEF_BAD_PARAMETER;
    Found found;
    const TNdefRecordInfo& r = found.record;
    NdefStatus status = notFound(findRecord(data, length, index, NDEF_ID_MIME, kVCardType, found, level));
    if (status != NDEF_OK) return status;
    const bool fits = copyBytes(buffer, *bufferLength, r.payload.data, r.payload.length);
    *bufferLength = r.payload.length;
    return fits ? NDEF_OK : NDEF_BUFFER_TOO_SMALL;
}

CORVANE_API NdefStatus ndefGetPicture(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer,
                                      uint32_t* bufferLength, char* mimeType, uint32_t* mimeTypeLength,
                                      uint32_t* level) {
    if (!data || !buffer || !bufferLength || !mimeType || !mimeTypeLength || *bufferLength == 0 ||
        *mimeTypeLength == 0) {
        return NDEF_BAD_PARAMETER;
    }
    if (*mimeTypeLength <= kImageTypeSize) {
        *mimeTypeLength = kImageTypeSize;
        return NDEF_BUFFER_TOO_SMALL;
    }
    std::memcpy(mimeType, kImageType, kImageTypeSize);
    Found found;
    const TNdefRecordInfo& r = found.record;
    NdefStatus status = notFound(findRecord(data, length, index, NDEF_ID_MIME, kImageType, found, level));
    if (status != NDEF_OK) return status;
    if (!copyBytes(buffer, *bufferLength, r.payload.data, r.payload.length)) status = NDEF_BUFFER_TOO_SMALL;
    if (!copyText(mimeType, *mimeTypeLength, r.type, r.typeLength)) status = NDEF_BUFFER_TOO_SMALL;
    *mimeTypeLength = r.typeLength + 1u;
    *bufferLength = r.payload.length;
    return status;
}

CORVANE_API NdefStatus ndefGetExternal(const uint8_t* data, uint32_t length, uint32_t index, char* type,
                                       uint32_t* typeLength, uint8_t* payload, uint32_t* payloadLength,
                                       uint32_t* level) {
    if (!data || !type || !typeLength || !payload || !payloadLength) return NDEF_BAD_PARAMETER;
    Found found;
    const TNdefRecordInfo& r = found.record;
    NdefStatus status = notFound(findRecord(data, length, index, NDEF_ID_EXTERNAL, nullptr, found, level));
    if (status != NDEF_OK) return status;
    copyText(type, *typeLength, r.type, r.typeLength);
    copyBytes(payload, *payloadLength, r.payload.data, r.payload.length);
    *typeLength = r.typeLength + 1u;
    *payloadLength = r.payload.length;
    return NDEF_OK;
}

CORVANE_API NdefStatus ndefGetUnknown(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer,
                                      uint32_t* bufferLength, uint32_t* level) {
    if (!data || !buffer || !bufferLength) return NDEF_BAD_PARAMETER;
    Found found;
    const TNdefRecordInfo& r = found.record;
    NdefStatus status = notFound(findRecord(data, length, index, NDEF_ID_UNKNOWN, nullptr, found, level));
    if (status != NDEF_OK) return status;
    copyBytes(buffer, *bufferLength, r.payload.data, r.payload.length);
    *bufferLength = r.payload.length;
    return NDEF_OK;
}
