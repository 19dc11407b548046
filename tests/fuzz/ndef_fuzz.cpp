// NDEF parsing and every accessor over one message. The first byte picks the record index and
// how much room the accessors get; the message itself sits in a heap buffer of its exact size,
// and the parse callback reads every byte each descriptor points at, so that a pointer or a
// length past the message shows at once.
#include <cstdint>
#include <memory>
#include <vector>

#include "corvane.h"

namespace {

volatile uint8_t g_sink;

void touch(const uint8_t* p, uint64_t n) {
    uint8_t x = 0;
    for (uint64_t i = 0; i < n; ++i) x ^= p[i];
    g_sink = x;
}

uint32_t readEverything(void*, const TNdefRecordInfo* r) {
    touch(r->type, r->typeLength);
    touch(r->id, r->idLength);
    touch(r->record, r->recordLength);
    switch (r->recordTypeId) {
    case NDEF_ID_TEXT:
        touch(r->text.language, r->text.languageLength);
        touch(r->text.text, r->text.textLength);
        break;
    case NDEF_ID_URI: touch(r->uri.rest, r->uri.restLength); break;
    case NDEF_ID_ALTERNATIVE_CARRIER: {
        touch(r->alternativeCarrier.reference, r->alternativeCarrier.referenceLength);
        const uint8_t* aux = r->alternativeCarrier.auxiliaryReferences;
        for (uint8_t k = 0; aux && k < r->alternativeCarrier.auxiliaryCount; ++k) {
            touch(aux + 1, aux[0]);
            aux += 1 + aux[0];
        }
        break;
    }
    case NDEF_ID_HANDOVER_CARRIER:
        touch(r->carrier.type, r->carrier.typeLength);
        touch(r->carrier.data, r->carrier.dataLength);
        break;
    case NDEF_ID_SMART_POSTER:
    case NDEF_ID_ACTION:
    case NDEF_ID_SIZE:
    case NDEF_ID_HANDOVER_SELECT:
    case NDEF_ID_HANDOVER_REQUEST:
    case NDEF_ID_HANDOVER_MEDIATION:
    case NDEF_ID_HANDOVER_CAPABILITIES:
    case NDEF_ID_HANDOVER_INITIATE:
    case NDEF_ID_COLLISION_RESOLUTION:
    case NDEF_ID_HANDOVER_ERROR: break;
    default: touch(r->payload.data, r->payload.length); break;
    }
    return 1;
}

void accessors(const uint8_t* m, uint32_t n, uint32_t index, uint32_t room) {
    std::vector<uint8_t> out(room);
    std::vector<char> text(room), other(room);
    uint32_t length = room, otherLength = room, encoding = 0, level = 0;
    uint8_t action = 0;
    ndefGetText(m, n, index, text.data(), &length, &encoding, other.data(), &otherLength, &level);
    length = room;
    ndefGetUri(m, n, index, text.data(), &length, &level);
    ndefGetAction(m, n, index, &action, &level);
    length = room;
    ndefGetVCard(m, n, index, out.data(), &length, &level);
    length = room;
    otherLength = room;
    ndefGetPicture(m, n, index, out.data(), &length, other.data(), &otherLength, &level);
    length = room;
    otherLength = room;
    ndefGetExternal(m, n, index, text.data(), &length, out.data(), &otherLength, nullptr);
    length = room;
    ndefGetUnknown(m, n, index, out.data(), &length, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint32_t index = data[0] & 0x07;
    const uint32_t room = (data[0] & 0x80) ? 4096 : (data[0] >> 3 & 0x0F) * 3;
    const size_t n = size - 1;
    const auto message = std::make_unique<uint8_t[]>(n);
    std::copy(data + 1, data + size, message.get());
    ndefParseMessage(&readEverything, nullptr, message.get(), static_cast<uint32_t>(n));
    ndefGetNumberOfRecords(message.get(), static_cast<uint32_t>(n));
    accessors(message.get(), static_cast<uint32_t>(n), index, room);
    return 0;
}
