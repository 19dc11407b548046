// The record walk, the payload dispatcher and the handlers of the Smart Poster family.
#include "ndef/ndefparse.h"

#include <new>

#include "ndef/ndeftables.h"
#include "util/trace.h"

namespace {

// Type of the last record that was not a continuation chunk, per message level.
struct ChunkOrigin {
    uint32_t tnf = 0;
    const uint8_t* type = nullptr;
    uint8_t typeLength = 0;
};

NdefStatus malformed(const char* step, uint64_t remaining, uint64_t needed) {
    TRACE(TRC_NDEF, "! error '%s' remaining bytes %lld < record.length %lld", step,
          static_cast<long long>(remaining), static_cast<long long>(needed));
    return NDEF_MALFORMED;
}

NdefRecordTypeId typeIdOf(uint32_t tnf, const uint8_t* type, uint8_t typeLength) {
    switch (tnf) {
    case NDEF_TNF_WELL_KNOWN: {
        const NdefRecordType* t = ndefTypeByName(type, typeLength);
        return t ? t->id : NdefRecordTypeId{NDEF_ID_NONE};
    }
    case NDEF_TNF_MIME: return NDEF_ID_MIME;
    case NDEF_TNF_ABSOLUTE_URI: return NDEF_ID_ABSOLUTE_URI;
    case NDEF_TNF_EXTERNAL: return NDEF_ID_EXTERNAL;
    case NDEF_TNF_UNKNOWN: return NDEF_ID_UNKNOWN;
    default: return NDEF_ID_NONE;
    }
}

NdefStatus dispatchPayload(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    TRACE(TRC_NDEF, "processNdefPayload  TNF 0x%X, type 0x%X, %p, length %d", record.tnf, record.recordTypeId,
          static_cast<const void*>(payload.here()), static_cast<int>(payload.remaining()));
    const NdefRecordType* t = ndefTypeById(record.recordTypeId);
    return (t ? t->handler : ndefPayloadRaw)(walk, record, payload);
}

// Reads the record at the cursor into the descriptor; the step texts name the first length
// that does not fit, as the error trace reports it.
NdefStatus readRecord(NdefReader& message, TNdefRecordInfo& record, NdefReader& payload) {
    NdefReader r = message;
    const uint64_t remaining = r.remaining();
    uint64_t needed = 3;
    if (!message.has(needed)) return malformed("after parsing length", remaining, needed);
    uint8_t header = 0, typeLength = 0, idLength = 0;
    r.u8(header);
    r.u8(typeLength);
    needed = 3 + uint64_t{typeLength};
    if (!message.has(needed)) return malformed("after parsing type length", remaining, needed);
    uint32_t payloadLength = 0;
    if (header & NDEF_SR) {
        uint8_t shortLength = 0;
        r.u8(shortLength);
        payloadLength = shortLength;
    } else {
        needed = 6 + uint64_t{typeLength};
        if (!message.has(needed) || !r.u32be(payloadLength)) {
            return malformed("after parsing payload length", remaining, needed);
        }
    }
    needed += payloadLength;
    if (!message.has(needed)) return malformed("after parsing payload length", remaining, needed);
    if (header & NDEF_IL) {
        needed += 1;
        if (!message.has(needed) || !r.u8(idLength)) return malformed("after parsing ID", remaining, needed);
    }
    needed += idLength;
    const uint8_t* payloadBytes = nullptr;
    if (!message.has(needed) || !r.take(typeLength, record.type) || !r.take(idLength, record.id) ||
        !r.take(payloadLength, payloadBytes)) {
        return malformed("after parsing ID length", remaining, needed);
    }
    record.record = message.here();
    record.recordLength = static_cast<uint32_t>(needed);
    record.chunked = (header & NDEF_CF) ? 1 : 0;
    record.tnf = header & NDEF_TNF_MASK;
    record.typeLength = typeLength;
    record.idLength = idLength;
    payload = NdefReader(payloadBytes, payloadLength);
    message = r;
    return NDEF_OK;
}

} // namespace

NdefStatus ndefPayloadMalformed(const TNdefRecordInfo& record) {
    TRACE(TRC_NDEF, "! processNdefPayload: payload of type 0x%X malformed (record length %d)", record.recordTypeId,
          static_cast<int>(record.recordLength));
    return NDEF_MALFORMED;
}

NdefStatus ndefDeliver(const NdefWalk& walk, const TNdefRecordInfo& record) {
    return walk.callback(walk.context, &record) ? NDEF_OK : NDEF_STOPPED;
}

namespace {

NdefStatus brokenChunks(const char* why, uint32_t index) {
    TRACE(TRC_NDEF, "! error '%s' in the chunks of record %d", why, static_cast<int>(index));
    return NDEF_MALFORMED;
}

// A record that comes in chunks is one record: the continuation chunks that follow its first are
// read, and their payloads joined (they lie within the message, so the whole is no longer than
// it), before its type decodes the payload. The record spans all its chunks.
NdefStatus joinChunks(NdefReader& message, TNdefRecordInfo& record, NdefReader& payload, std::vector<uint8_t>& joined,
                      bool& last) {
    try {
        joined.assign(payload.here(), payload.here() + payload.remaining());
        for (bool more = true; more;) {
            if (last) return brokenChunks("message ends inside a chunked record", record.index);
            TNdefRecordInfo chunk{};
            NdefReader part;
            const NdefStatus status = readRecord(message, chunk, part);
            if (status != NDEF_OK) return status;
            if (chunk.tnf != NDEF_TNF_UNCHANGED) return brokenChunks("chunk expected", record.index);
            joined.insert(joined.end(), part.here(), part.here() + part.remaining());
            record.recordLength += chunk.recordLength;
            last = chunk.record[0] & NDEF_ME;
            more = chunk.chunked;
        }
    } catch (const std::bad_alloc&) {
        return brokenChunks("no memory to join", record.index);
    }
    payload = NdefReader(joined.data(), joined.size());
    return NDEF_OK;
}

} // namespace

NdefStatus ndefWalkMessage(const NdefWalk& walk, const uint8_t* data, uint64_t length, uint32_t level) {
    if (length == 0) TRACE(TRC_NDEF, "processNdefRecord, no data, length is 0");
    if (!data) return NDEF_BAD_PARAMETER;
    if (length == 0) return NDEF_OK;
    if (level > NDEF_MAX_LEVEL) {
        TRACE(TRC_NDEF, "! processNdefRecord: nesting deeper than %u levels", NDEF_MAX_LEVEL);
        return NDEF_MALFORMED;
    }
    NdefReader message(data, length);
    ChunkOrigin origin;
    for (uint32_t index = 0;; ++index) {
        TRACE(TRC_NDEF, " process level %d, index %d, data %p, header byte 0x%X (remaining length %d)",
              static_cast<int>(level), static_cast<int>(index), static_cast<const void*>(message.here()),
              message.has(1) ? *message.here() : 0u, static_cast<int>(message.remaining()));
        TNdefRecordInfo record{};
        record.level = level;
        record.index = index;
        NdefReader payload;
        NdefStatus status = readRecord(message, record, payload);
        if (status != NDEF_OK) return status;
        bool last = record.record[0] & NDEF_ME;
        if (record.tnf == NDEF_TNF_UNCHANGED) {
            record.tnf = origin.tnf;
            record.type = origin.type;
            record.typeLength = origin.typeLength;
        } else {
            origin = {record.tnf, record.type, record.typeLength};
        }
        std::vector<uint8_t> local;
        std::vector<uint8_t>& joined = record.chunked && walk.keep ? walk.keep->emplace_back() : local;
        if (record.chunked && (status = joinChunks(message, record, payload, joined, last)) != NDEF_OK) return status;
        record.recordTypeId = typeIdOf(record.tnf, record.type, record.typeLength);
        status = dispatchPayload(walk, record, payload);
        if (status != NDEF_OK || last) return status;
    }
}

NdefStatus ndefWalkNested(const NdefWalk& walk, const TNdefRecordInfo& record, NdefReader nested) {
    return ndefWalkMessage(walk, nested.here(), nested.remaining(), record.level + 1);
}

NdefStatus ndefPayloadRaw(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    record.payload.data = payload.here();
    record.payload.length = static_cast<uint32_t>(payload.remaining());
    return ndefDeliver(walk, record);
}

NdefStatus ndefPayloadText(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    uint8_t status = 0;
    if (!payload.u8(status)) return ndefPayloadMalformed(record);
    record.text.encoding = status & 0x80;
    record.text.languageLength = status & 0x7F;
    if (!payload.take(record.text.languageLength, record.text.language)) return ndefPayloadMalformed(record);
    record.text.text = payload.here();
    record.text.textLength = static_cast<uint32_t>(payload.remaining());
    return ndefDeliver(walk, record);
}

NdefStatus ndefPayloadUri(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    if (!payload.u8(record.uri.prefixCode)) return ndefPayloadMalformed(record);
    record.uri.rest = payload.here();
    record.uri.restLength = static_cast<uint32_t>(payload.remaining());
    return ndefDeliver(walk, record);
}

NdefStatus ndefPayloadSize(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    if (!payload.u32be(record.size.value)) return ndefPayloadMalformed(record);
    return ndefDeliver(walk, record);
}

NdefStatus ndefPayloadAction(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    if (!payload.u8(record.action.code)) return ndefPayloadMalformed(record);
    return ndefDeliver(walk, record);
}

NdefStatus ndefPayloadSmartPoster(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    NdefStatus status = ndefDeliver(walk, record);
    return status != NDEF_OK ? status : ndefWalkNested(walk, record, payload);
}

CORVANE_API NdefStatus ndefParseMessage(NdefRecordCallback callback, void* context, const uint8_t* data,
                                        uint32_t length) {
    if (!callback) return NDEF_BAD_PARAMETER;
    return ndefWalkMessage(NdefWalk{callback, context}, data, length, 0);
}

CORVANE_API uint32_t ndefGetNumberOfRecords(const uint8_t* data, uint32_t length) {
    uint32_t count = 0;
    auto counter = [](void* context, const TNdefRecordInfo*) -> uint32_t {
        ++*static_cast<uint32_t*>(context);
        return 1;
    };
    return ndefParseMessage(counter, &count, data, length) == NDEF_OK ? count : 0xFFFFFFFFu;
}
