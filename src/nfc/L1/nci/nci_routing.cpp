// The listen-mode routing table: its rules, its encoding for the controller, the records the
// secure-element IO controls exchange, and the table read back from the controller.
#include <cstring>

#include "L1/nci/nci.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;
constexpr uint8_t kAidMin = 5, kAidMax = 16;
constexpr uint8_t kProtocolT3t = 3;
// Results of the table's rules.
constexpr uint16_t kClash = 11, kTableFull = 13, kWrongSize = 17, kNoRoom = 23;

// Offsets in a route record.
enum : uint32_t { REC_HANDLE = 0, REC_TYPE = 4, REC_POWER = 8, REC_ID = 9, REC_VALUE = 10 };

const char* typeName(uint8_t type) {
    switch (type) {
    case NCI_ROUTE_TECH: return "Technology";
    case NCI_ROUTE_PROTOCOL: return "Protocol";
    case NCI_ROUTE_AID: return "AID";
    case NCI_ROUTE_POLL_TECH: return "Poll technology";
    case NCI_ROUTE_POLL_PROTOCOL: return "Poll protocol";
    default: return "?";
    }
}

const char* techName(uint8_t v) {
    switch (v) {
    case 0: return "NFC-A";
    case 1: return "NFC-B";
    case 2: return "NFC-F";
    case 3: return "ISO 15693";
    default: return "?";
    }
}

const char* protocolName(uint8_t v) {
    switch (v) {
    case 1: return "T1T";
    case 2: return "T2T";
    case 3: return "T3T";
    case 4: return "ISO-DEP";
    case 5: return "NFC-DEP";
    default: return "?";
    }
}

const char* valueName(uint8_t type, uint8_t v) { return (type & 1) ? protocolName(v) : techName(v); }

bool knownType(uint8_t type) {
    return type == NCI_ROUTE_TECH || type == NCI_ROUTE_PROTOCOL || type == NCI_ROUTE_AID ||
           type == NCI_ROUTE_POLL_TECH || type == NCI_ROUTE_POLL_PROTOCOL;
}

bool lengthFits(uint8_t type, uint8_t length) {
    if (type == NCI_ROUTE_AID) return length >= kAidMin && length <= kAidMax;
    return length == 1;
}

bool sameValue(const TNciRoutingEntry& e, uint8_t type, const uint8_t* value, uint8_t length) {
    return e.type == type && e.length == length && std::memcmp(e.value, value, length) == 0;
}

void traceClash(uint8_t type, uint8_t value) {
    switch (type) {
    case NCI_ROUTE_TECH: TRACE(NFCLL_TRC_ERROR, "nci: Routing entry for technology %s already exists", techName(value)); break;
    case NCI_ROUTE_PROTOCOL: TRACE(NFCLL_TRC_ERROR, "nci: Routing entry for protocol %s already exists", protocolName(value)); break;
    case NCI_ROUTE_AID: TRACE(NFCLL_TRC_ERROR, "nci: Routing entry already exists for AID"); break;
    case NCI_ROUTE_POLL_TECH:
        TRACE(NFCLL_TRC_ERROR, "nci: Poll mode routing entry for technology %s already exists", techName(value));
        break;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: Poll mode routing entry for protocol %s already exists", protocolName(value));
        break;
    }
}

uint32_t encodedSize(const TNciRoutingTable& t, int skip) {
    uint32_t size = 0;
    for (int i = 0; i < t.count; ++i)
        if (i != skip) size += t.entries[i].length + 4u;
    return size;
}

void removeAt(TNciRoutingTable& t, int index) {
    for (int i = index; i + 1 < t.count; ++i) t.entries[i] = t.entries[i + 1];
    --t.count;
    t.changed = true;
}

uint32_t u32le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void putU32le(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint8_t featureFor(uint8_t type) {
    switch (type & 0x7F) {
    case NCI_ROUTE_TECH: return 0x10;
    case NCI_ROUTE_PROTOCOL: return 0x08;
    default: return 0x04;
    }
}

// One record of the IO control: 0, or the cause that stops the adding.
uint16_t addRecord(TNciContext* nci, const uint8_t* rec, uint32_t index) {
    const uint32_t type = u32le(rec + REC_TYPE);
    TRACE(kTrcNci, "nci: Adding routing entry %d, type %d", static_cast<int>(index), static_cast<int>(type));
    if (type > 0xFF || !knownType(static_cast<uint8_t>(type)) || !(nci->features & featureFor(static_cast<uint8_t>(type)))) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! WARNING: Requested routing type %#X not supported", static_cast<unsigned>(type));
        return NCI_CAUSE_INVALID_DATA;
    }
    uint8_t route = rec[REC_ID];
    if (const NfcSecureHandle handle = u32le(rec + REC_HANDLE)) {
        const TNciNfcee* ee = nciNfceeByHandle(nci, handle);
        if (!ee) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Cannot find secure element for hSecure=%p",
                  reinterpret_cast<void*>(static_cast<uintptr_t>(handle)));
            return NCI_CAUSE_INVALID_DATA;
        }
        route = ee->id;
    }
    if (type == NCI_ROUTE_AID) {
        const uint8_t length = rec[REC_VALUE];
        if (length < kAidMin || length > kAidMax) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Wrong AID length %d", static_cast<int>(length));
            return 0;   // the next record is tried
        }
        return nciRoutingAddEntry(nci, rec + REC_VALUE + 1, NCI_ROUTE_AID, route, rec[REC_POWER], length);
    }
    const uint8_t value = rec[REC_VALUE];
    return nciRoutingAddEntry(nci, &value, static_cast<uint8_t>(type), route, rec[REC_POWER], 1);
}

// One entry of a read notification into its record.
uint16_t readEntry(TNciContext* nci, CByteReader& r, uint8_t* rec, uint32_t index) {
    uint8_t type = 0, length = 0, route = 0, power = 0;
    if (!r.u8(type) || !r.u8(length)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Not enough data available for type information");
        return NCI_CAUSE_INVALID_DATA;
    }
    if (length < 3) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid length in received data");
        return NCI_CAUSE_INVALID_DATA;
    }
    const uint8_t* value = nullptr;
    if (!r.u8(route) || !r.u8(power) || !r.take(length - 2u, value)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Not enough data available for routing data");
        return NCI_CAUSE_INVALID_DATA;
    }
    const uint8_t valueLength = static_cast<uint8_t>(length - 2);
    TRACE(kTrcNci, "nci: Found routing entry %d, id=%d, type=%d, PS=%d, dataLen=%d", static_cast<int>(index), route,
          type, power, valueLength);
    std::memset(rec, 0, NCI_ROUTE_RECORD_SIZE);
    const TNciNfcee* ee = nciNfceeById(nci, route);
    if (!ee && route != 0) TRACE(NFCLL_TRC_ERROR, "nci: ! Cannot find secure element with ID=%d", route);
    putU32le(rec + REC_HANDLE, ee ? ee->info.handle : 0);
    rec[REC_POWER] = power;
    rec[REC_ID] = route;
    switch (type) {
    case NCI_ROUTE_TECH:
    case NCI_ROUTE_PROTOCOL:
        if (valueLength != 1) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid length %d for routing data", valueLength);
            return NCI_CAUSE_INVALID_DATA;
        }
        putU32le(rec + REC_TYPE, type);
        putU32le(rec + REC_VALUE, value[0]);
        TRACE(kTrcNci, "nci: route=%d", value[0]);
        return 0;
    case NCI_ROUTE_AID:
        if (valueLength > kAidMax) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid length %d for routing data", valueLength);
            return NCI_CAUSE_INVALID_DATA;
        }
        putU32le(rec + REC_TYPE, type);
        rec[REC_VALUE] = valueLength;
        std::memcpy(rec + REC_VALUE + 1, value, valueLength);
        TRACE(kTrcNci, "nci: route=");
        if (debugOn(kTrcNci)) debugDump(value, "nci: AID", valueLength);
        return 0;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unknown routing type %#0x", type);
        return NCI_CAUSE_INVALID_DATA;
    }
}

} // namespace

uint16_t nciRoutingAddEntry(TNciContext* nci, const uint8_t* value, uint8_t type, uint8_t route, uint8_t powerState,
                            uint8_t length) {
    TNciRoutingTable& t = nci->routing;
    if (type == NCI_ROUTE_AID) {
        TRACE(kTrcNci, "nci: %s ID=%d, PS=%#x", typeName(type), route, powerState);
        if (debugOn(kTrcNci) && length) debugDump(value, "nci: AID", length);
    } else {
        TRACE(kTrcNci, "nci: %s ID=%d, PS=%#x, %s, %s ", typeName(type), route, powerState,
              valueName(type, length ? value[0] : 0), (type & 0x80) ? "poll" : "listen");
    }
    int replaced = -1;
    for (int i = 0; i < t.count; ++i) {
        const TNciRoutingEntry& e = t.entries[i];
        if (!sameValue(e, type, value, length)) continue;
        if (e.route == route && e.powerState == powerState) {
            TRACE(kTrcNci, "nci: This Routing entry already exists");
            return 0;
        }
        if ((type & 0x7F) == NCI_ROUTE_PROTOCOL && value[0] == kProtocolT3t) continue;
        if (e.route != 0 || route == 0) {
            traceClash(type, length ? value[0] : 0);
            return kClash;
        }
        replaced = i;
    }
    // Every check comes before any change: a refused entry leaves the table as it was.
    const int kept = t.count - (replaced >= 0 ? 1 : 0);
    if (kept >= NCI_ROUTING_ENTRIES) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Too many entries in routing table (%d)", static_cast<int>(t.count));
        return kTableFull;
    }
    if (!knownType(type) || !lengthFits(type, length)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Wrong data size %d for selected routing method %s", static_cast<int>(length),
              typeName(type));
        return kWrongSize;
    }
    // An entry takes its type, length, route and power state besides its value.
    if (encodedSize(t, replaced) + length + 4u > nci->routingTableSize) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! No more space in routing table (maxTableSize = %d)",
              static_cast<int>(nci->routingTableSize));
        return kNoRoom;
    }
    if (replaced >= 0) {
        TRACE(kTrcNci, "nci: Found route to DH, removing it, NFCEE has higher priority");
        removeAt(t, replaced);
    }
    TNciRoutingEntry& e = t.entries[t.count++];
    e = TNciRoutingEntry{type, route, powerState, length, {}};
    std::memcpy(e.value, value, length);
    TRACE(kTrcNci, "nci: Entry created");
    t.changed = true;
    TRACE(kTrcNci, "nci: Routing table changed");
    return 0;
}

uint16_t nciRoutingRemoveEntries(TNciContext* nci, uint8_t type, uint8_t route, uint8_t powerState,
                                 const uint8_t* value, uint8_t length) {
    TNciRoutingTable& t = nci->routing;
    TRACE(kTrcNci, "nci: %s for NFCEE %d type %d", "nciRoutingRemoveEntries", route, type);
    bool found = false;
    for (int i = 0; i < t.count;) {
        const TNciRoutingEntry& e = t.entries[i];
        const bool match = (type == NCI_ROUTE_ANY_TYPE || e.type == type) && (route == NCI_ROUTE_ANY || e.route == route) &&
                           (powerState == 0xFF || e.powerState == powerState) &&
                           (!value || (e.length == length && std::memcmp(e.value, value, length) == 0));
        if (!match) {
            ++i;
            continue;
        }
        TRACE(kTrcNci, "Removing entry");
        removeAt(t, i);
        found = true;
    }
    t.changed = true;
    return found ? 0 : kClash;
}

uint32_t nciRoutingEncode(const TNciRoutingTable* table, bool poll, uint8_t* out, uint32_t size) {
    if (size < 2) return 0;
    uint32_t length = 2;
    out[0] = 0;
    out[1] = 0;
    for (int i = 0; i < table->count; ++i) {
        const TNciRoutingEntry& e = table->entries[i];
        if (((e.type & 0x80) != 0) != poll) continue;
        if (length + 4u + e.length > size) return 0;
        out[length++] = e.type & 0x7F;
        out[length++] = static_cast<uint8_t>(e.length + 2);
        out[length++] = e.route;
        out[length++] = e.powerState;
        std::memcpy(out + length, e.value, e.length);
        length += e.length;
        ++out[1];
    }
    return length;
}

uint32_t nciRoutingListenMask(const TNciRoutingEntry& e) {
    const uint8_t v = e.value[0];
    switch (e.type) {
    case NCI_ROUTE_TECH:
        switch (v) {
        case 0: return 0x100000;
        case 1: return 0x200000;
        case 2: return 0x400000;
        default: break;
        }
        TRACE(NFCLL_TRC_ERROR, "nci: Unknown technology 0x%X in routing entry", v);
        return 0;
    case NCI_ROUTE_PROTOCOL:
        switch (v) {
        case 1:
        case 2: return 0x100000;
        case 3: return 0x400000;
        case 4: return 0x300000;
        default: break;
        }
        TRACE(NFCLL_TRC_ERROR, "nci: Unknown protocol 0x%X in routing entry", v);
        return 0;
    case NCI_ROUTE_AID: return 0x300000;
    case NCI_ROUTE_POLL_TECH:
        switch (v) {
        case 0: return 0xC01;
        case 1: return 0x2;
        case 2: return 0x300;
        case 3: return 0x4;
        case 0x80: return 0x800;
        default: break;
        }
        TRACE(NFCLL_TRC_ERROR, "nci: Unknown technology 0x%X in routing entry", v);
        return 0;
    case NCI_ROUTE_POLL_PROTOCOL:
        switch (v) {
        case 1: return 0x400;
        case 2: return 0x1;
        case 3: return 0x300;
        case 4: return 0x3;
        case 5: return 0x41000;
        case 0x86: return 0x4;
        case 0x8A: return 0x800;
        default: break;
        }
        TRACE(NFCLL_TRC_ERROR, "nci: Unknown protocol 0x%X in routing entry", v);
        return 0;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: Unknown routing type 0x%X in routing entry", e.type);
        return 0;
    }
}

uint16_t nciRoutingAddRecords(TNciContext* nci, const uint8_t* records, uint32_t length) {
    // A cut record would be read past the caller's input.
    if (!records || length == 0 || length % NCI_ROUTE_RECORD_SIZE != 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Routing input of %u bytes is not whole records", static_cast<unsigned>(length));
        return NCI_CAUSE_INVALID_DATA;
    }
    // Records before a failing one stay added; the failure is reported.
    for (uint32_t i = 0; i < length / NCI_ROUTE_RECORD_SIZE; ++i)
        if (const uint16_t cause = addRecord(nci, records + i * NCI_ROUTE_RECORD_SIZE, i)) return cause;
    return 0;
}

uint16_t nciRoutingReadNtf(TNciContext* nci) {
    CByteReader r(nci->rxPayload, nci->rxLength);
    uint8_t more = 0, count = 0;
    if (!r.u8(more) || !r.u8(count)) return nciTooShort(nci, "nciRoutingReadNtf", 2);
    // Records pile up over the notifications: the running total must fit the caller's room.
    const uint32_t room = nci->ioOutput ? nci->ioOutputSize / NCI_ROUTE_RECORD_SIZE : 0;
    if (nci->routesRead + uint32_t{count} > room) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Not enough space available for routing data");
        return NCI_CAUSE_INVALID_DATA;
    }
    for (uint8_t i = 0; i < count; ++i) {
        uint8_t* rec = nci->ioOutput + static_cast<size_t>(nci->routesRead) * NCI_ROUTE_RECORD_SIZE;
        if (const uint16_t cause = readEntry(nci, r, rec, nci->routesRead)) return cause;
        ++nci->routesRead;
    }
    return more ? NCI_CAUSE_PENDING : 0;
}
