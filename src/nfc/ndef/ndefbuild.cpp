// The two-pass message builder (sizes, then bytes) and the typed one-record creators.
#include <cstring>

#include "ndef/ndefreader.h"
#include "ndef/ndeftables.h"
#include "util/trace.h"

namespace {

constexpr uint64_t kMaxLength = 0xFFFFFFFFu;
constexpr uint8_t kMaxLanguage = 63;   // the status byte keeps the language length in six bits
constexpr size_t kMaxMimeType = 64;
constexpr size_t kMaxType = 255;
constexpr char kVCardType[] = "text/x-vCard";

// Ids of the Smart Poster family take TNF 1 and their type from the table; MIME takes TNF 2.
void prepare(TNdefRecordInfo& r) {
    if (r.recordTypeId >= NDEF_ID_TEXT && r.recordTypeId <= NDEF_ID_TYPE) {
        const NdefRecordType* t = ndefTypeById(r.recordTypeId);
        r.tnf = NDEF_TNF_WELL_KNOWN;
        r.type = reinterpret_cast<const uint8_t*>(t->type);
        r.typeLength = t->typeLength;
    } else if (r.recordTypeId == NDEF_ID_MIME) {
        r.tnf = NDEF_TNF_MIME;
    }
}

bool bytesGiven(const void* p, uint64_t length) { return p || length == 0; }

NdefStatus refuse(const char* why) {
    TRACE(TRC_ERROR, "! ndefCreateMessage: %s", why);
    return NDEF_BAD_PARAMETER;
}

NdefStatus sizeList(TNdefRecordInfo* const* list, uint32_t count, uint32_t level, uint64_t& total);

// Payload size of a prepared record. A Smart Poster's nested records are sized here too.
NdefStatus payloadSize(TNdefRecordInfo& r, uint32_t level, uint64_t& size) {
    switch (r.recordTypeId) {
    case NDEF_ID_TEXT:
        if (r.text.languageLength > kMaxLanguage) return refuse("language longer than 63 bytes");
        if (!bytesGiven(r.text.language, r.text.languageLength) || !bytesGiven(r.text.text, r.text.textLength)) {
            return refuse("text without its bytes");
        }
        size = 1 + uint64_t{r.text.languageLength} + r.text.textLength;
        return NDEF_OK;
    case NDEF_ID_URI:
        if (!bytesGiven(r.uri.rest, r.uri.restLength)) return refuse("URI without its bytes");
        size = 1 + uint64_t{r.uri.restLength};
        return NDEF_OK;
    case NDEF_ID_SMART_POSTER:
        if (!r.smartPoster.records && r.smartPoster.count) return refuse("nested records missing");
        if (level >= NDEF_MAX_LEVEL) return refuse("nested more than 16 levels deep");
        return sizeList(r.smartPoster.records, r.smartPoster.count, level + 1, size);
    case NDEF_ID_ACTION: size = 1; return NDEF_OK;
    case NDEF_ID_SIZE: size = 4; return NDEF_OK;
    default:
        if (!bytesGiven(r.payload.data, r.payload.length)) return refuse("payload without its bytes");
        size = r.payload.length;
        return NDEF_OK;
    }
}

// Pass 1: the encoded length of every record and of the whole list. Sums are 64-bit; a
// record or a list longer than a 32-bit length can describe is refused.
NdefStatus sizeList(TNdefRecordInfo* const* list, uint32_t count, uint32_t level, uint64_t& total) {
    total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        TNdefRecordInfo* r = list[i];
        if (!r) return refuse("record missing");
        r->recordLength = 0;
        prepare(*r);
        uint64_t payload = 0;
        NdefStatus status = payloadSize(*r, level, payload);
        if (status == NDEF_OK && (!bytesGiven(r->type, r->typeLength) || !bytesGiven(r->id, r->idLength))) {
            status = refuse("type or ID without its bytes");
        }
        if (status != NDEF_OK) return status;
        uint64_t length = 3 + payload + (payload > 0xFF ? 3 : 0);
        const bool continuation = i > 0 && list[i - 1]->chunked;
        if (!continuation) length += r->typeLength + (r->idLength ? 1u + r->idLength : 0u);
        total += length;
        if (payload > kMaxLength || total > kMaxLength) return refuse("longer than a 32-bit length");
        r->recordLength = static_cast<uint32_t>(length);
    }
    return NDEF_OK;
}

void writeList(TNdefRecordInfo* const* list, uint32_t count, NdefWriter& w);

void writePayload(const TNdefRecordInfo& r, NdefWriter& w) {
    switch (r.recordTypeId) {
    case NDEF_ID_TEXT:
        w.u8(static_cast<uint8_t>(r.text.languageLength | (r.text.encoding == 1 ? 0x80 : 0)));
        w.bytes(r.text.language, r.text.languageLength);
        w.bytes(r.text.text, r.text.textLength);
        break;
    case NDEF_ID_URI:
        w.u8(r.uri.prefixCode);
        w.bytes(r.uri.rest, r.uri.restLength);
        break;
    case NDEF_ID_SMART_POSTER: writeList(r.smartPoster.records, r.smartPoster.count, w); break;
    case NDEF_ID_ACTION: w.u8(r.action.code); break;
    case NDEF_ID_SIZE: w.u32be(r.size.value); break;
    default: w.bytes(r.payload.data, r.payload.length); break;
    }
}

uint64_t headLength(const TNdefRecordInfo& r, bool continuation) {
    return continuation ? 0 : r.typeLength + (r.idLength ? 1u + r.idLength : 0u);
}

// Pass 2: the bytes, at the lengths pass 1 found. MB and ME mark the list's own first and
// last record; a record followed by its continuation carries CF.
void writeList(TNdefRecordInfo* const* list, uint32_t count, NdefWriter& w) {
    for (uint32_t i = 0; i < count; ++i) {
        TNdefRecordInfo& r = *list[i];
        const bool continuation = i > 0 && list[i - 1]->chunked;
        const bool last = i + 1 == count;
        // Pass 1 added three length bytes exactly when the payload exceeds 255 bytes, so what
        // remains after the head is at most 255 for a short record and above 258 for a long one.
        const uint64_t rest = r.recordLength - 3 - headLength(r, continuation);
        const bool shortRecord = rest <= 0xFF;
        const uint64_t payloadLength = shortRecord ? rest : rest - 3;
        r.record = w.here();
        uint8_t header = static_cast<uint8_t>((i == 0 ? NDEF_MB : 0) | (last ? NDEF_ME : 0) |
                                              (r.chunked && !last ? NDEF_CF : 0) | (shortRecord ? NDEF_SR : 0));
        const bool withId = !continuation && r.idLength;
        header |= continuation ? uint32_t{NDEF_TNF_UNCHANGED} : (r.tnf & NDEF_TNF_MASK);
        if (withId) header |= NDEF_IL;
        w.u8(header);
        w.u8(continuation ? 0 : r.typeLength);
        if (shortRecord) {
            w.u8(static_cast<uint8_t>(payloadLength));
        } else {
            w.u32be(static_cast<uint32_t>(payloadLength));
        }
        if (withId) w.u8(r.idLength);
        if (!continuation) {
            w.bytes(r.type, r.typeLength);
            w.bytes(r.id, r.idLength);
        }
        writePayload(r, w);
    }
}

NdefStatus createList(TNdefRecordInfo* const* records, uint32_t count, uint8_t* buffer, uint32_t* length) {
    if (!records || count == 0 || !length) return NDEF_BAD_PARAMETER;
    uint64_t total = 0;
    NdefStatus status = sizeList(records, count, 0, total);
    if (status != NDEF_OK) return status;
    const uint32_t capacity = *length;
    *length = static_cast<uint32_t>(total);
    if (!buffer || capacity < total) return NDEF_BUFFER_TOO_SMALL;
    std::memset(buffer, 0, total);
    NdefWriter w(buffer, total);
    writeList(records, count, w);
    return w.ok() && w.size() == total ? NDEF_OK : NDEF_BAD_PARAMETER;
}

// The typed creators build one record from a descriptor on their own stack.
NdefStatus createOne(TNdefRecordInfo& r, uint8_t* buffer, uint32_t* length) {
    if (!length || *length == 0) return NDEF_BAD_PARAMETER;
    return ndefCreateMessage(&r, buffer, length);
}

const uint8_t* bytesOf(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

bool languageValid(const char* language) {
    if (!language) return false;
    size_t n = 0;
    for (; language[n]; ++n) {
        const char c = language[n];
        if (n == kMaxLanguage || !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-')) return false;
    }
    return n > 0;
}

bool textValid(const uint8_t* text, uint32_t textLength, const char* language) {
    return text && textLength && languageValid(language);
}

void fillText(TNdefRecordInfo& r, const uint8_t* text, uint32_t textLength, const char* language,
              uint32_t encoding) {
    r.recordTypeId = NDEF_ID_TEXT;
    r.text.encoding = encoding == 1 ? 1 : 0;
    r.text.language = bytesOf(language);
    r.text.languageLength = static_cast<uint8_t>(std::strlen(language));
    r.text.text = text;
    r.text.textLength = textLength;
}

bool fillUri(TNdefRecordInfo& r, const char* uri) {
    if (!uri || !*uri) return false;
    size_t prefixLength = 0;
    r.recordTypeId = NDEF_ID_URI;
    r.uri.prefixCode = ndefUriPrefixFor(uri, prefixLength);
    const size_t rest = std::strlen(uri + prefixLength);
    if (rest > kMaxLength) return false;
    r.uri.rest = bytesOf(uri + prefixLength);
    r.uri.restLength = static_cast<uint32_t>(rest);
    return true;
}

// A caller's type text must be counted by the one type-length byte.
bool typeTextFits(const char* type, const char* creator, const char* what) {
    const size_t n = std::strlen(type);
    if (n <= kMaxType) return true;
    TRACE(TRC_ERROR, "! %s: %s too long (%d)", creator, what, static_cast<int>(n > 0x7FFFFFFF ? 0x7FFFFFFF : n));
    return false;
}

void fillTyped(TNdefRecordInfo& r, uint32_t tnf, NdefRecordTypeId id, const char* type, const uint8_t* payload,
               uint32_t payloadLength) {
    r.tnf = tnf;
    r.recordTypeId = id;
    r.type = bytesOf(type);
    r.typeLength = static_cast<uint8_t>(std::strlen(type));
    r.payload.data = payload;
    r.payload.length = payloadLength;
}

} // namespace

CORVANE_API NdefStatus ndefCreateMessageEx(TNdefRecordInfo** records, uint32_t count, uint8_t* buffer,
                                           uint32_t* length) {
    return createList(records, count, buffer, length);
}

CORVANE_API NdefStatus ndefCreateMessage(TNdefRecordInfo* record, uint8_t* buffer, uint32_t* length) {
    if (!record) return NDEF_BAD_PARAMETER;
    return createList(&record, 1, buffer, length);
}

CORVANE_API NdefStatus ndefCreateUriMessage(const char* uri, uint8_t* buffer, uint32_t* length) {
    TNdefRecordInfo r{};
    if (!fillUri(r, uri)) return NDEF_BAD_PARAMETER;
    return createOne(r, buffer, length);
}

CORVANE_API NdefStatus ndefCreateTextMessage(const uint8_t* text, uint32_t textLength, const char* language,
                                             uint32_t encoding, uint8_t* buffer, uint32_t* length) {
    if (!textValid(text, textLength, language)) return NDEF_BAD_PARAMETER;
    TNdefRecordInfo r{};
    fillText(r, text, textLength, language, encoding);
    return createOne(r, buffer, length);
}

CORVANE_API NdefStatus ndefCreateSmartPosterUriMessage(const uint8_t* text, uint32_t textLength,
                                                       const char* language, uint32_t encoding,
                                                       const char* uri, uint32_t action, uint8_t* buffer,
                                                       uint32_t* length) {
    if (!textValid(text, textLength, language)) return NDEF_BAD_PARAMETER;
    TNdefRecordInfo title{}, link{}, act{}, poster{};
    fillText(title, text, textLength, language, encoding);
    if (!fillUri(link, uri)) return NDEF_BAD_PARAMETER;
    act.recordTypeId = NDEF_ID_ACTION;
    act.action.code = static_cast<uint8_t>(action);
    TNdefRecordInfo* nested[] = {&title, &link, &act};
    poster.recordTypeId = NDEF_ID_SMART_POSTER;
    poster.smartPoster.records = nested;
    poster.smartPoster.count = action == NDEF_NO_ACTION ? 2 : 3;
    return createOne(poster, buffer, length);
}

CORVANE_API NdefStatus ndefCreateVCardMessage(const uint8_t* data, uint32_t dataLength, uint8_t* buffer,
                                              uint32_t* length) {
    TNdefRecordInfo r{};
    fillTyped(r, NDEF_TNF_MIME, NDEF_ID_MIME, kVCardType, data, dataLength);
    return createOne(r, buffer, length);
}

CORVANE_API NdefStatus ndefCreateMimeMessage(const uint8_t* data, uint32_t dataLength, const char* mimeType,
                                             uint8_t* buffer, uint32_t* length) {
    if (!mimeType || !*mimeType) return NDEF_BAD_PARAMETER;
    for (size_t n = 0; mimeType[n]; ++n) {
        const auto c = static_cast<uint8_t>(mimeType[n]);
        if (n == kMaxMimeType || c < 0x14 || c > 0x7F) return NDEF_BAD_PARAMETER;
    }
    TNdefRecordInfo r{};
    fillTyped(r, NDEF_TNF_MIME, NDEF_ID_MIME, mimeType, data, dataLength);
    return createOne(r, buffer, length);
}

CORVANE_API NdefStatus ndefCreateAbsoluteUriMessage(const char* uri, const uint8_t* payload,
                                                    uint32_t payloadLength, uint8_t* buffer, uint32_t* length) {
    if (!uri || !*uri || !payload || payloadLength == 0) return NDEF_BAD_PARAMETER;
    if (!typeTextFits(uri, "ndefCreateAbsoluteUriMessage", "scheme")) return NDEF_BAD_PARAMETER;
    TNdefRecordInfo r{};
    fillTyped(r, NDEF_TNF_ABSOLUTE_URI, NDEF_ID_ABSOLUTE_URI, uri, payload, payloadLength);
    return createOne(r, buffer, length);
}

CORVANE_API NdefStatus ndefCreateExternalTypeMessage(const char* type, const uint8_t* payload,
                                                     uint32_t payloadLength, uint8_t* buffer, uint32_t* length) {
    if (!type || !*type) return NDEF_BAD_PARAMETER;
    if (!typeTextFits(type, "ndefCreateExternalTypeMessage", "type")) return NDEF_BAD_PARAMETER;
    TNdefRecordInfo r{};
    fillTyped(r, NDEF_TNF_EXTERNAL, NDEF_ID_EXTERNAL, type, payload, payloadLength);
    return createOne(r, buffer, length);
}

CORVANE_API NdefStatus ndefCreateUnknownTypeMessage(const uint8_t* payload, uint32_t payloadLength,
                                                    uint8_t* buffer, uint32_t* length) {
    TNdefRecordInfo r{};
    fillTyped(r, NDEF_TNF_UNKNOWN, NDEF_ID_UNKNOWN, "", payload, payloadLength);
    return createOne(r, buffer, length);
}
