// Connection-handover messages built in place in one caller buffer: the handover record with
// its nested records grows at the front, the carrier and auxiliary records it refers to
// follow it and move along whenever a nested record is inserted.
#include <charconv>
#include <cstring>
#include <random>

#include "ndef/ndefreader.h"
#include "ndef/ndeftables.h"
#include "platform.h"
#include "util/trace.h"

namespace {

enum : uint32_t { HO_STARTED = 0, HO_AC_OPEN = 1, HO_ERROR_ADDED = 2, HO_FINALISED = 3 };

constexpr uint8_t kVersion = 0x13;           // 1.3
constexpr uint32_t kRecordHead = 5;          // header, type length, payload length, two type bytes
constexpr uint32_t kRequestMinimum = 13;     // "Hr" head, version and the collision record
constexpr uint32_t kSelectMinimum = 9;
constexpr uint32_t kCarrierArea = 256;
constexpr uint32_t kAcOverhead = 8;          // "ac" head, power state, reference length, count
constexpr uint32_t kErrorOverhead = 7;       // "err" head and reason
constexpr uint8_t kShortWellKnown = NDEF_SR | NDEF_TNF_WELL_KNOWN;

uint16_t randomNumber(uint16_t given) {
    if (given) return given;
    thread_local std::minstd_rand generator(platTickMs());
    uint16_t value = 0;
    while (value == 0) value = static_cast<uint16_t>(generator() >> 8);
    return value;
}

bool usable(const TNdefHandoverBuilder* b) { return b && b->buffer && b->state <= HO_FINALISED; }

bool fits(const TNdefHandoverBuilder& b, uint64_t more) {
    return uint64_t{b.position} + b.trailing + more <= b.capacity;
}

void start(TNdefHandoverBuilder& b, uint8_t* buffer, uint32_t capacity, const char* type) {
    b = {};
    b.buffer = buffer;
    b.capacity = capacity;
    NdefWriter w(buffer, capacity);
    w.u8(NDEF_MB | kShortWellKnown);
    w.u8(2);
    w.u8(0);   // payload length, written when the message is finalised
    w.bytes(type, 2);
    w.u8(kVersion);
    b.position = static_cast<uint32_t>(w.size());
}

// The first record inside the handover record carries MB.
uint8_t nestedHeader(const TNdefHandoverBuilder& b) {
    return static_cast<uint8_t>(kShortWellKnown | (b.lastNested == 0 ? NDEF_MB : 0));
}

// Makes room for n bytes at the position by moving the trailing records; returns the room.
NdefWriter openGap(TNdefHandoverBuilder& b, uint32_t n) {
    std::memmove(b.buffer + b.position + n, b.buffer + b.position, b.trailing);
    if (b.trailing) b.lastTrailing += n;
    NdefWriter gap(b.buffer + b.position, n);
    b.lastNested = b.position;
    b.position += n;
    return gap;
}

void appendTrailing(TNdefHandoverBuilder& b, const uint8_t* record, uint32_t length) {
    const uint32_t at = b.position + b.trailing;
    std::memcpy(b.buffer + at, record, length);
    b.buffer[at] &= static_cast<uint8_t>(~(NDEF_MB | NDEF_ME));
    b.lastTrailing = at;
    b.trailing += length;
}

void closeAc(TNdefHandoverBuilder& b) {
    if (b.state != HO_AC_OPEN) return;
    uint8_t* ac = b.buffer + b.acStart;
    ac[2] = static_cast<uint8_t>(b.position - b.acStart - kRecordHead);
    if (b.auxCount) ac[kAcOverhead - 1 + ac[6]] = static_cast<uint8_t>(b.auxCount);
}

// A carrier or auxiliary record must be exactly one short record with a non-empty ID: the ID
// is what the "ac" record refers to.
bool referenceOf(const char* caller, const uint8_t* record, uint32_t length, const uint8_t*& id,
                 uint8_t& idLength) {
    NdefReader r(record, length);
    uint8_t header = 0, typeLength = 0, payloadLength = 0;
    if (r.u8(header) && (header & NDEF_SR) && (header & NDEF_IL) && r.u8(typeLength) && r.u8(payloadLength) &&
        r.u8(idLength) && idLength > 0 && r.skip(typeLength) && r.take(idLength, id) &&
        r.remaining() == payloadLength && payloadLength > 0) {
        return true;
    }
    TRACE(TRC_ERROR, "! %s: not one short record with an ID (length %u)", caller, length);
    return false;
}

NdefStatus addError(TNdefHandoverBuilder& b, const TNdefHandoverError& error) {
    if (error.reason < 1 || error.reason > 3) return NDEF_BAD_PARAMETER;
    if (b.state == HO_ERROR_ADDED || b.state == HO_FINALISED) return NDEF_WRONG_STATE;
    const uint32_t dataLength = error.reason == 2 ? 4 : 1;
    if (!fits(b, kErrorOverhead + dataLength)) return NDEF_BUFFER_TOO_SMALL;
    closeAc(b);
    const uint8_t header = nestedHeader(b);
    NdefWriter w = openGap(b, kErrorOverhead + dataLength);
    w.u8(header);
    w.u8(3);
    w.u8(static_cast<uint8_t>(1 + dataLength));
    w.bytes("err", 3);
    w.u8(error.reason);
    if (dataLength == 4) {
        w.u32be(error.data);
    } else {
        w.u8(static_cast<uint8_t>(error.data));
    }
    b.state = HO_ERROR_ADDED;
    return NDEF_OK;
}

// `allowEmpty` lets the one-call builders close a handover record that holds no carrier.
NdefStatus finalize(TNdefHandoverBuilder* b, uint32_t* length, bool allowEmpty) {
    if (!usable(b) || !length) return NDEF_BAD_PARAMETER;
    if (b->state == HO_FINALISED || (b->state == HO_STARTED && !allowEmpty)) return NDEF_WRONG_STATE;
    const uint32_t payload = b->position - kRecordHead;
    if (payload > 0xFF) return NDEF_BUFFER_TOO_SMALL;
    closeAc(*b);
    b->buffer[2] = static_cast<uint8_t>(payload);
    if (b->lastNested) b->buffer[b->lastNested] |= NDEF_ME;
    b->buffer[b->trailing ? b->lastTrailing : 0] |= NDEF_ME;
    *length = b->position + b->trailing;
    b->state = HO_FINALISED;
    return NDEF_OK;
}

using CarrierCreator = NdefStatus (*)(const void* info, const uint8_t* id, uint32_t idLength, uint8_t* buffer,
                                      uint32_t* length);

// Builds the carrier record, with the number of the carrier as its ID, and adds it.
NdefStatus addCarrier(TNdefHandoverBuilder* b, uint32_t powerState, const void* info, CarrierCreator create) {
    if (!usable(b)) return NDEF_BAD_PARAMETER;
    char id[10];
    const auto idEnd = std::to_chars(id, id + sizeof id, b->carrierCount).ptr;
    uint8_t record[kCarrierArea];
    uint32_t length = sizeof record;
    NdefStatus status = create(info, reinterpret_cast<const uint8_t*>(id), static_cast<uint32_t>(idEnd - id),
                               record, &length);
    if (status == NDEF_BUFFER_TOO_SMALL) return NDEF_BAD_PARAMETER;
    return status != NDEF_OK ? status : ndefAddAlternativeCarrier(b, powerState, record, length);
}

NdefStatus createBt(const void* info, const uint8_t* id, uint32_t idLength, uint8_t* buffer, uint32_t* length) {
    return ndefCreateBluetoothSSP(static_cast<const TNdefBtSspInfo*>(info), id, idLength, buffer, length);
}

NdefStatus createWifi(const void* info, const uint8_t* id, uint32_t idLength, uint8_t* buffer, uint32_t* length) {
    return ndefCreateWifiSimpleConfig(static_cast<const TNdefWifiInfo*>(info), id, idLength, buffer, length);
}

struct HandoverKind {
    const char* type;
    bool request;    // carries a collision record
    bool initiate;   // carries the initiate flag byte after the version
};
constexpr HandoverKind kRequest = {"Hr", true, false};
constexpr HandoverKind kSelect = {"Hs", false, false};
constexpr HandoverKind kInitiate = {"Hi", false, true};
constexpr HandoverKind kCapabilities = {"Ha", false, false};

struct OneCall {
    HandoverKind kind;
    const TNdefBtSspInfo* bt = nullptr;
    uint32_t btPowerState = 0;
    const TNdefWifiInfo* wifi = nullptr;
    uint32_t wifiPowerState = 0;
    const TNdefHandoverError* error = nullptr;
    uint16_t random = 0;
    uint32_t initiate = 0;
};

NdefStatus buildOneCall(const OneCall& c, uint8_t* buffer, uint32_t* length) {
    if (!buffer || !length || *length == 0) return NDEF_BAD_PARAMETER;
    TNdefHandoverBuilder b;
    NdefStatus status;
    if (c.kind.request) {
        status = ndefStartHandoverRequest(&b, buffer, *length, c.random);
    } else if (*length < kSelectMinimum) {
        status = NDEF_BUFFER_TOO_SMALL;
    } else {
        start(b, buffer, *length, c.kind.type);
        if (c.kind.initiate) buffer[b.position++] = c.initiate == 1 ? 1 : 0;
        status = NDEF_OK;
    }
    if (status == NDEF_OK && c.bt) status = ndefAddBluetoothSSPRecord(&b, c.bt, c.btPowerState);
    if (status == NDEF_OK && c.wifi) status = ndefAddWiFiRecord(&b, c.wifi, c.wifiPowerState);
    if (status == NDEF_OK && c.error) status = addError(b, *c.error);
    return status != NDEF_OK ? status : finalize(&b, length, true);
}

} // namespace

CORVANE_API NdefStatus ndefStartHandoverRequest(TNdefHandoverBuilder* builder, uint8_t* buffer, uint32_t capacity,
                                                uint16_t random) {
    if (!builder || !buffer) return NDEF_BAD_PARAMETER;
    if (capacity < kRequestMinimum) return NDEF_BUFFER_TOO_SMALL;
    start(*builder, buffer, capacity, kRequest.type);
    const uint8_t header = nestedHeader(*builder);
    NdefWriter w = openGap(*builder, kRequestMinimum - builder->position);
    w.u8(header);
    w.u8(2);
    w.u8(2);
    w.bytes("cr", 2);
    w.u16be(randomNumber(random));
    return NDEF_OK;
}

CORVANE_API NdefStatus ndefStartHandoverSelect(TNdefHandoverBuilder* builder, uint8_t* buffer, uint32_t capacity) {
    if (!builder || !buffer) return NDEF_BAD_PARAMETER;
    if (capacity < kSelectMinimum) return NDEF_BUFFER_TOO_SMALL;
    start(*builder, buffer, capacity, kSelect.type);
    return NDEF_OK;
}

CORVANE_API NdefStatus ndefAddAlternativeCarrier(TNdefHandoverBuilder* builder, uint32_t powerState,
                                                 const uint8_t* carrierRecord, uint32_t carrierLength) {
    if (!usable(builder) || !carrierRecord || carrierLength == 0 || powerState > 3) return NDEF_BAD_PARAMETER;
    TNdefHandoverBuilder& b = *builder;
    if (b.state == HO_ERROR_ADDED || b.state == HO_FINALISED) return NDEF_WRONG_STATE;
    const uint8_t* reference = nullptr;
    uint8_t referenceLength = 0;
    if (!referenceOf("ndefAddAlternativeCarrier", carrierRecord, carrierLength, reference, referenceLength)) {
        return NDEF_BAD_PARAMETER;
    }
    if (!fits(b, uint64_t{referenceLength} + carrierLength + kAcOverhead)) return NDEF_BUFFER_TOO_SMALL;
    closeAc(b);
    const uint8_t header = nestedHeader(b);
    b.acStart = b.position;
    NdefWriter w = openGap(b, referenceLength + kAcOverhead);
    w.u8(header);
    w.u8(2);
    w.u8(0);   // payload length, written when the record is closed
    w.bytes("ac", 2);
    w.u8(static_cast<uint8_t>(powerState));
    w.u8(referenceLength);
    w.bytes(reference, referenceLength);
    w.u8(0);   // auxiliary reference count, written when the record is closed
    b.auxCount = 0;
    appendTrailing(b, carrierRecord, carrierLength);
    ++b.carrierCount;
    b.state = HO_AC_OPEN;
    return NDEF_OK;
}

CORVANE_API NdefStatus ndefAddAuxiliaryData(TNdefHandoverBuilder* builder, const uint8_t* auxRecord,
                                            uint32_t auxLength) {
    if (!usable(builder) || !auxRecord || auxLength == 0) return NDEF_BAD_PARAMETER;
    TNdefHandoverBuilder& b = *builder;
    if (b.state != HO_AC_OPEN) return NDEF_WRONG_STATE;
    const uint8_t* reference = nullptr;
    uint8_t referenceLength = 0;
    if (!referenceOf("ndefAddAuxiliaryData", auxRecord, auxLength, reference, referenceLength)) {
        return NDEF_BAD_PARAMETER;
    }
    if (!fits(b, uint64_t{referenceLength} + auxLength + 1)) return NDEF_BUFFER_TOO_SMALL;
    const uint32_t acStart = b.acStart;
    NdefWriter w = openGap(b, referenceLength + 1u);
    b.lastNested = acStart;   // the reference extends the open "ac" record
    w.u8(referenceLength);
    w.bytes(reference, referenceLength);
    appendTrailing(b, auxRecord, auxLength);
    ++b.auxCount;
    return NDEF_OK;
}

CORVANE_API NdefStatus ndefAddBluetoothSSPRecord(TNdefHandoverBuilder* builder, const TNdefBtSspInfo* info,
                                                 uint32_t powerState) {
    return addCarrier(builder, powerState, info, createBt);
}

CORVANE_API NdefStatus ndefAddWiFiRecord(TNdefHandoverBuilder* builder, const TNdefWifiInfo* info,
                                         uint32_t powerState) {
    if (!info || !(info->networkIndex || info->ssid || info->authenticationType || info->encryptionType ||
                   info->networkKey || info->macAddress)) {
        return NDEF_BAD_PARAMETER;
    }
    return addCarrier(builder, powerState, info, createWifi);
}

CORVANE_API NdefStatus ndefFinalizeHandoverMessage(TNdefHandoverBuilder* builder, uint32_t* length) {
    return finalize(builder, length, false);
}

CORVANE_API NdefStatus ndefCreateHandoverRequest(const TNdefBtSspInfo* bt, uint32_t btPowerState,
                                                 const TNdefWifiInfo* wifi, uint32_t wifiPowerState,
                                                 uint16_t random, uint8_t* buffer, uint32_t* length) {
    if (!bt && !wifi) return NDEF_BAD_PARAMETER;
    return buildOneCall({.kind = kRequest, .bt = bt, .btPowerState = btPowerState, .wifi = wifi,
                         .wifiPowerState = wifiPowerState, .random = random},
                        buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverRequestBT(const TNdefBtSspInfo* bt, uint32_t powerState, uint16_t random,
                                                   uint8_t* buffer, uint32_t* length) {
    if (!bt) return NDEF_BAD_PARAMETER;
    return buildOneCall({.kind = kRequest, .bt = bt, .btPowerState = powerState, .random = random}, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverRequestWiFi(const TNdefWifiInfo* wifi, uint32_t powerState,
                                                     uint16_t random, uint8_t* buffer, uint32_t* length) {
    if (!wifi) return NDEF_BAD_PARAMETER;
    return buildOneCall({.kind = kRequest, .wifi = wifi, .wifiPowerState = powerState, .random = random}, buffer,
                        length);
}

CORVANE_API NdefStatus ndefCreateHandoverSelect(const TNdefBtSspInfo* bt, uint32_t btPowerState,
                                                const TNdefWifiInfo* wifi, uint32_t wifiPowerState,
                                                const TNdefHandoverError* error, uint8_t* buffer, uint32_t* length) {
    if (!bt && !wifi && !error) return NDEF_BAD_PARAMETER;
    return buildOneCall({.kind = kSelect, .bt = bt, .btPowerState = btPowerState, .wifi = wifi,
                         .wifiPowerState = wifiPowerState, .error = error},
                        buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverSelectBT(const TNdefBtSspInfo* bt, uint32_t powerState,
                                                  const TNdefHandoverError* error, uint8_t* buffer, uint32_t* length) {
    if (!bt && !error) return NDEF_BAD_PARAMETER;
    return buildOneCall({.kind = kSelect, .bt = bt, .btPowerState = powerState, .error = error}, buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverSelectWiFi(const TNdefWifiInfo* wifi, uint32_t powerState,
                                                    const TNdefHandoverError* error, uint8_t* buffer,
                                                    uint32_t* length) {
    if (!wifi && !error) return NDEF_BAD_PARAMETER;
    return buildOneCall({.kind = kSelect, .wifi = wifi, .wifiPowerState = powerState, .error = error}, buffer,
                        length);
}

CORVANE_API NdefStatus ndefCreateHandoverInitiate(const TNdefBtSspInfo* bt, uint32_t btPowerState,
                                                  const TNdefWifiInfo* wifi, uint32_t wifiPowerState,
                                                  uint8_t* buffer, uint32_t* length, uint32_t flag) {
    if (!bt && !wifi) return NDEF_BAD_PARAMETER;
    return buildOneCall({.kind = kInitiate, .bt = bt, .btPowerState = btPowerState, .wifi = wifi,
                         .wifiPowerState = wifiPowerState, .initiate = flag},
                        buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverCapabilities(const TNdefBtSspInfo* bt, uint32_t btPowerState,
                                                      const TNdefWifiInfo* wifi, uint32_t wifiPowerState,
                                                      uint8_t* buffer, uint32_t* length) {
    return buildOneCall({.kind = kCapabilities, .bt = bt, .btPowerState = btPowerState, .wifi = wifi,
                         .wifiPowerState = wifiPowerState},
                        buffer, length);
}

CORVANE_API NdefStatus ndefCreateHandoverRequestMediator(uint16_t random, uint8_t* buffer, uint32_t* length) {
    return buildOneCall({.kind = kRequest, .random = random}, buffer, length);
}
