#include "th/th_tlv.h"

#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrace = 0x20;
constexpr uint32_t kControlValueSize = 3;

uint16_t invalid() {
    TRACE(kTrace, "th: No valid TLV content length");
    return TLV_INVALID_LENGTH;
}

// Bytes the TLV at data takes, header included; 0 when its length cannot be read.
uint32_t tlvSize(const uint8_t* tlv, uint32_t available) {
    const uint16_t length = tlvGetLength(tlv, available);
    if (length == TLV_INVALID_LENGTH) return 0;
    const uint32_t size = length + (tlv[1] == TLV_LONG_LENGTH ? 4u : 2u);
    TRACE(kTrace, "th: TLV size = %d", static_cast<int>(size));
    return size;
}

void traceControl(const TControlTlv& t, const char* sizeName) {
    if (!debugOn(kTrace)) return;
    debugPrint(0, "th: Control TLV:");
    debugPrint(0, "th:   type             = %d", static_cast<int>(t.type));
    debugPrint(0, "th:   address          = %d", static_cast<int>(t.address));
    debugPrint(0, "th:   %-17s= %d", sizeName, t.size);
    debugPrint(0, "th:   bytesPerPage     = %d", t.bytesPerPage);
    debugPrint(0, "th:   bytesLockedPerBit= %d", t.bytesLockedPerBit);
    debugPrint(0, "th:   lockStartAddress = %d", static_cast<int>(t.lockStartAddress));
    debugPrint(0, "th:   lockRange        = %d", static_cast<int>(t.lockRange));
}

bool isControl(uint32_t type) { return type == TLV_LOCK_CONTROL || type == TLV_MEMORY_CONTROL; }

uint32_t tooShort() {
    TRACE(kTrace, "th: Buffer too short");
    return TLV_TOO_SHORT;
}

} // namespace

uint8_t tlvPendingHeaderByte(uint32_t index) {
    constexpr uint8_t kEmpty[] = {TLV_NDEF, 0x00, TLV_TERMINATOR, 0x00};
    return index < sizeof kEmpty ? kEmpty[index] : 0x00;
}

uint8_t tlvHeaderByte(uint32_t index, uint32_t length, uint32_t headerSize) {
    if (length == 0) return tlvPendingHeaderByte(index);
    if (headerSize == 2) return index == 0 ? TLV_NDEF : static_cast<uint8_t>(length);
    const uint8_t longForm[] = {TLV_NDEF, TLV_LONG_LENGTH, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    return index < sizeof longForm ? longForm[index] : 0x00;
}

uint16_t tlvGetLength(const uint8_t* tlv, uint32_t available) {
    CByteReader r(tlv, available);
    uint8_t type = 0, first = 0;
    if (!r.u8(type) || !r.u8(first)) {
        TRACE(kTrace, "th: not enough data for TLV header");
        return TLV_INVALID_LENGTH;
    }
    uint16_t length = first;
    if (first == TLV_LONG_LENGTH && !r.u16be(length)) {
        TRACE(kTrace, "th: not enough data for extended TLV header");
        return TLV_INVALID_LENGTH;
    }
    if (length == TLV_INVALID_LENGTH) return invalid();
    TRACE(kTrace, "th: TLV type 0x%X content length = %d", type, length);
    return length;
}

uint32_t tlvFindNdef(const uint8_t* data, uint32_t length) {
    uint32_t position = 0;
    while (position < length) {
        const uint8_t type = data[position];
        if (type == TLV_NDEF) {
            TRACE(kTrace, "th: found NDEF TLV at position %d", static_cast<int>(position));
            return position;
        }
        if (type == TLV_TERMINATOR) return length;
        if (type == TLV_NULL) {
            ++position;
            continue;
        }
        const uint32_t size = tlvSize(data + position, length - position);
        if (size == 0) return length;
        position += size;   // at most 0xFFFE + 4 past a position below length: no wrap
    }
    TRACE(kTrace, "th: No NDEF TLV found");
    return position;
}

uint32_t tlvDecodeControl(const uint8_t* tlv, uint32_t available, uint32_t lockStartAddress, TControlTlv* out) {
    // Each byte is checked before it is read: a control TLV cut anywhere is too short.
    CByteReader r(tlv, available);
    uint8_t type = 0, length = 0;
    const uint8_t* v = nullptr;
    if (!r.u8(type)) return tooShort();
    if (!isControl(type)) {
        TRACE(TRC_ERROR, "th: ! No control TLV");
        return TLV_NOT_CONTROL;
    }
    if (!r.u8(length)) return tooShort();
    if (length != kControlValueSize) {
        TRACE(TRC_ERROR, "th: ! Invalid TLV length %d", length);
        return TLV_NOT_CONTROL;
    }
    if (!r.take(kControlValueSize, v)) return tooShort();
    TControlTlv t{};
    t.type = type;
    t.size = v[1] ? v[1] : 256;
    t.bytesPerPage = static_cast<uint16_t>(1u << (v[2] & 0x0F));
    t.address = (v[0] >> 4) * uint32_t{t.bytesPerPage} + (v[0] & 0x0F);
    if (type == TLV_LOCK_CONTROL) {
        t.bytesLockedPerBit = static_cast<uint16_t>(1u << (v[2] >> 4));
        t.lockStartAddress = lockStartAddress;
        t.lockRange = uint32_t{t.size} * t.bytesLockedPerBit;
    }
    traceControl(t, type == TLV_LOCK_CONTROL ? "sizeInBits" : "sizeInBytes");
    *out = t;
    return TLV_DECODED;
}

void tlvDumpControl(const TControlTlv* record) {
    if (!isControl(record->type)) {
        TRACE(kTrace, "th: TLV type = %d", static_cast<int>(record->type));
        return;
    }
    traceControl(*record, "size");
}
