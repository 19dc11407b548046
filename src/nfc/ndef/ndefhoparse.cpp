// Payload handlers of the connection-handover records: versions, alternative carriers,
// handover carriers, collision resolution and errors.
#include "ndef/ndefhoparse.h"

#include "ndef/ndeftables.h"
#include "util/trace.h"

namespace {

void dumpPayload(const NdefReader& payload, const char* title) {
    if (debugOn(TRC_NDEF)) debugDump(payload.here(), title, static_cast<uint32_t>(payload.remaining()));
}

// Version byte (major in the high nibble), the record itself, then its nested message.
NdefStatus versionThenNested(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload,
                             const char* what, bool initiate) {
    TRACE(TRC_NDEF, "Process Handover %s, length %d", what, static_cast<int>(payload.remaining()));
    uint8_t version = 0;
    if (!payload.u8(version)) return ndefPayloadMalformed(record);
    record.handover.major = version >> 4;
    record.handover.minor = version & 0x0F;
    if (initiate) {
        uint8_t flag = 0;
        if (!payload.u8(flag)) return ndefPayloadMalformed(record);
        record.handover.initiate = flag & 1;
    }
    NdefStatus status = ndefDeliver(walk, record);
    return status != NDEF_OK ? status : ndefWalkNested(walk, record, payload);
}

} // namespace

NdefStatus ndefPayloadHandoverRequest(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    return versionThenNested(walk, record, payload, "Request", false);
}

NdefStatus ndefPayloadHandoverSelect(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    return versionThenNested(walk, record, payload, "Select", false);
}

NdefStatus ndefPayloadHandoverInitiate(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    return versionThenNested(walk, record, payload, "Initiate", true);
}

NdefStatus ndefPayloadAlternativeCarrier(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    dumpPayload(payload, "Parse Handover Alternative Carrier");
    auto& ac = record.alternativeCarrier;
    uint8_t power = 0;
    if (!payload.u8(power) || !payload.u8(ac.referenceLength) || !payload.take(ac.referenceLength, ac.reference) ||
        !payload.u8(ac.auxiliaryCount)) {
        return ndefPayloadMalformed(record);
    }
    ac.powerState = power & 3;
    ac.auxiliaryReferences = payload.here();
    // Every auxiliary reference must lie inside the payload before anyone follows the pointer.
    for (uint32_t i = 0; i < ac.auxiliaryCount; ++i) {
        uint8_t length = 0;
        if (!payload.u8(length) || !payload.skip(length)) return ndefPayloadMalformed(record);
    }
    return ndefDeliver(walk, record);
}

NdefStatus ndefPayloadHandoverCarrier(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    dumpPayload(payload, "Parse Handover Carrier");
    auto& hc = record.carrier;
    uint8_t format = 0, typeLength = 0;
    if (!payload.u8(format) || !payload.u8(typeLength) || !payload.take(typeLength, hc.type)) {
        return ndefPayloadMalformed(record);
    }
    hc.typeFormat = format;
    hc.typeLength = typeLength;
    hc.data = payload.here();
    hc.dataLength = static_cast<uint32_t>(payload.remaining());
    return ndefDeliver(walk, record);
}

NdefStatus ndefPayloadCollision(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    dumpPayload(payload, "Parse handover Collision Resolution");
    uint16_t random = 0;
    if (!payload.u16be(random)) return ndefPayloadMalformed(record);
    record.collision.random = random;
    return ndefDeliver(walk, record);
}

NdefStatus ndefPayloadHandoverError(const NdefWalk& walk, TNdefRecordInfo& record, NdefReader payload) {
    dumpPayload(payload, "Parse Handover Error");
    if (!payload.has(2)) {
        TRACE(TRC_ERROR, "!   > error while parsing Handover Error: length of payload to small = 0x%X",
              static_cast<unsigned>(payload.remaining()));
        return NDEF_MALFORMED;
    }
    payload.u8(record.error.reason);
    switch (record.error.reason) {
    case 1:
    case 3: {
        uint8_t data = 0;
        payload.u8(data);
        record.error.data = data;
        break;
    }
    case 2:
        if (!payload.u32be(record.error.data)) return ndefPayloadMalformed(record);
        break;
    default: return NDEF_BAD_PARAMETER;
    }
    return ndefDeliver(walk, record);
}
