// The ST21's AID routing table, kept in the controller and reached through the device manager:
// the application's 27-byte entries become the controller's 19-byte records one by one, are read
// back record by record, and are cleared with an empty first record.
#include <algorithm>
#include <cstring>

#include "L1/ehci/ehci.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kEntry = 27;       // handle, type, reserved, option, AID length, AID
constexpr uint32_t kRecord = 19;      // AID length, AID, option, SE id
constexpr uint32_t kAidMax = 16;
constexpr uint32_t kEntriesMax = 10;
constexpr uint32_t kAidRouting = 2;
constexpr uint32_t kLastIndex = 0xFF;
constexpr uint8_t kSetRoute = 0x20, kGetRoute = 0x21;

enum : uint32_t { kRouteAdd = EHCI_STATE_PRIVATE + 390, kRouteGet, kRouteClear };
enum : uint16_t { kCauseNoEntry = 2, kCauseFailed = 4, kCauseUnsupported = 7 };

struct Route {
    uint8_t records[kEntriesMax + 1][kRecord];   // the last one, all zero, closes the table
    uint32_t count;       // records to send, the closing one included
    uint32_t sent;
    uint32_t index;       // of the record asked for next
    uint32_t entries;     // read back so far
};
Route g_route;

}  // namespace

void ehciSt21RouteReset() { g_route = Route{}; }

namespace {

TEhciPipe* manager(TEhciInstance* e) { return e->pipes.variant2; }

int32_t sendRecord(TEhciInstance* e, uint32_t index, const uint8_t* record, uint32_t state) {
    uint8_t request[1 + kRecord];
    request[0] = static_cast<uint8_t>(index);
    std::memcpy(request + 1, record, kRecord);
    return ehciSendCommand(manager(e), kSetRoute, request, sizeof request, state);
}

// One application entry as a controller record; false for an entry the controller cannot take.
bool recordOf(TEhciInstance* e, const uint8_t* entry, uint8_t* record) {
    CByteReader r(entry, kEntry);
    const uint8_t* p = nullptr;
    NfcSecureHandle handle = 0;
    uint32_t type = 0;
    uint8_t reserved = 0, option = 0, aidLength = 0;
    r.take(4, p);
    std::memcpy(&handle, p, 4);
    r.take(4, p);
    std::memcpy(&type, p, 4);
    r.u8(reserved);
    r.u8(option);
    r.u8(aidLength);
    r.take(kAidMax, p);
    if (type != kAidRouting) {
        TRACE(kErr, "! Routing type %#x not supported", static_cast<unsigned>(type));
        return false;
    }
    if (aidLength > kAidMax) {
        TRACE(kErr, "! Routing AID length %d exceeds %d, entry skipped", static_cast<int>(aidLength),
              static_cast<int>(kAidMax));
        return false;
    }
    const TNfcInfoSE* se = handle ? ehciSeByHandle(e, handle) : nullptr;
    const uint8_t id = se ? se->id : 0;
    if (handle) TRACE(kTrc, "ehci: Routing type=%#x, SE ID=%#x", static_cast<unsigned>(type), static_cast<unsigned>(id));
    else TRACE(kTrc, "ehci: Routing type=%#x, SE ID=NULL", static_cast<unsigned>(type));
    std::memset(record, 0, kRecord);
    record[0] = aidLength;
    std::memcpy(record + 1, p, aidLength);
    record[1 + kAidMax] = option;
    record[2 + kAidMax] = id;
    return true;
}

uint16_t add(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    Route& g = g_route;
    g = Route{};
    const uint32_t entries = std::min(length / kEntry, kEntriesMax);
    for (uint32_t i = 0; i < entries; ++i)
        if (recordOf(e, data + i * kEntry, g.records[g.count])) ++g.count;
    if (!g.count) return kCauseNoEntry;
    ++g.count;   // the closing record, zero already
    return sendRecord(e, 1, g.records[0], kRouteAdd) < 0 ? kCauseUnsupported : 0;
}

void added(TEhciInstance* e, uint32_t code) {
    Route& g = g_route;
    if (code) {
        ehciIoAnswer(e, kCauseFailed);
        return;
    }
    if (++g.sent == g.count) {
        ehciIoAnswer(e, 0);
        return;
    }
    if (sendRecord(e, g.sent + 1, g.records[g.sent], kRouteAdd) < 0) ehciIoAnswer(e, kCauseUnsupported);
}

int32_t askRecord(TEhciInstance* e) {
    const auto index = static_cast<uint8_t>(g_route.index);
    return ehciSendCommand(manager(e), kGetRoute, &index, 1, kRouteGet);
}

void listEnded(TEhciInstance* e) {
    // The caller learns the byte count of the entries it got.
    ehciIoAnswer(e, 0, e->ioBuffer, g_route.entries * kEntry);
}

// {AID length, AID (16), option, SE id}: an AID that overruns its field or the answer ends the list.
void recordRead(TEhciInstance* e, const uint8_t* data, uint32_t length, uint32_t code) {
    Route& g = g_route;
    CByteReader r(data, code ? 0 : length);
    uint8_t aidLength = 0;
    const uint8_t* aid = nullptr;
    if (!r.u8(aidLength) || aidLength == 0) {
        listEnded(e);
        return;
    }
    if (aidLength > kAidMax || !r.take(aidLength, aid)) {
        TRACE(kErr, "! Routing AID length %d in a record of %d bytes, list ends", static_cast<int>(aidLength),
              static_cast<int>(length));
        listEnded(e);
        return;
    }
    if ((g.entries + 1) * kEntry > e->ioBufferSize) {
        TRACE(kErr, "! Chaining AID %d length exceeds buffer size %d", static_cast<int>(g.entries + 1),
              static_cast<int>(e->ioBufferSize));
        ehciIoAnswer(e, kCauseFailed);
        return;
    }
    // Option and SE id follow the whole AID field; a record cut before them gives zeros.
    uint8_t option = 0, id = 0;
    if (r.skip(kAidMax - aidLength) && r.u8(option)) r.u8(id);
    TRACE(kTrc, "ehci: Routing SE ID=%#x", static_cast<unsigned>(id));
    const NfcSecureHandle handle = id ? ehciSeHandleById(e, id) : 0;
    uint8_t* entry = e->ioBuffer + g.entries * kEntry;
    std::memset(entry, 0, kEntry);
    std::memcpy(entry, &handle, 4);
    std::memcpy(entry + 4, &kAidRouting, 4);
    entry[9] = option;
    entry[10] = aidLength;
    std::memcpy(entry + 11, aid, aidLength);
    ++g.entries;
    if (++g.index > kLastIndex || askRecord(e) < 0) listEnded(e);
}

}  // namespace

uint16_t ehciSt21Routing(TEhciInstance* e, uint32_t code, const uint8_t* data, uint32_t length) {
    if (!manager(e)) return kCauseUnsupported;
    switch (code) {
    case 0x800D: return add(e, data, length);
    case 0x800E:
        g_route = Route{};
        g_route.index = 1;
        return askRecord(e) < 0 ? kCauseUnsupported : 0;
    case 0x800F: {
        constexpr uint8_t kEmpty[kRecord] = {};
        return sendRecord(e, 1, kEmpty, kRouteClear) < 0 ? kCauseUnsupported : 0;
    }
    default: return kCauseUnsupported;
    }
}

bool ehciSt21RouteAnswer(TEhciPipe* dm, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = dm->owner;
    switch (dm->state) {
    case kRouteAdd: added(e, code); return true;
    case kRouteGet: recordRead(e, data, length, code); return true;
    case kRouteClear: ehciIoAnswer(e, code ? kCauseFailed : 0); return true;
    default: return false;
    }
}
