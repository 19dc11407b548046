// One LLCP engine on the synchronous dispatcher with a manual clock, activated as initiator or
// target with the peer's parameters of the input, between recording stand-ins for the NFC
// manager and layer 1. The input is a script of steps: frames of the peer (any bytes, or a PDU
// built from the input's SAPs, type, sequence and information: connect, I, RR/RNR, DISC, DM,
// FRMR, SNL, AGF, PAX, parameters), time, the applications' requests (listen, connect, send,
// return a buffer, disconnect, answer a disconnection, discover), and the device going.
// Besides the sanitizers the target checks that every data and discovery request is answered
// exactly once, that no data indication reaches past its receive buffer, and that once the
// device is gone no PDU, downstream buffer or discovery request of it is left.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "core/nfcmgr.h"
#include "hw/hw_timer.h"
#include "llcp/llcplm.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kLayer1 = 0x50;
constexpr uint32_t kEngineWord = 0xB1;
constexpr uint32_t kApp = 1;
constexpr uint32_t kParameterPool = 0xF1;
constexpr uint32_t kRxPool = 0xF2;
constexpr size_t kArea = 4 * 4 * 2048;

void check(bool rule) {
    if (!rule) std::abort();
}

// A stand-in for a queue above or below the engine: what reaches it, handled as it comes.
struct Queue {
    uint16_t id = 0;
    void (*take)(const OsMessage&) = nullptr;
    static void procedure(void* self) {
        auto* q = static_cast<Queue*>(self);
        OsMessage m{};
        if (osMessageReceive(q->id, &m) == OS_OK) q->take(m);
    }
};

struct Harness {
    TLlcp engine{};
    Queue up, down;
    uint16_t rxPool = 0;
    TNfcTagInfo device{};
    std::vector<uint8_t> areas[LLCP_LINKS];   // buffer areas, each the requester's until its link goes
    std::deque<std::vector<uint8_t>> sent;    // data of the requests, the requester's until confirmed
    std::vector<int> dataAnswers;             // per data handle: confirmations seen, -1 not asked
    int sdpAsked = 0, sdpAnswered = 0;
    uint8_t sdpSap = 0;
    std::vector<void*> links;                 // every link handle the engine gave
    std::vector<void*> disconnected;          // links with a disconnection to answer
    std::vector<void*> toAccept;
    int upper[LLCP_LINKS] = {};
};
Harness* g = nullptr;

bool knownLink(const void* link) {
    for (const TLlcpLink& l : g->engine.links)
        if (&l == link) return true;
    return false;
}

void managerTakes(const OsMessage& m) {
    switch (m.command) {
    case NFACE_NFC_LLCP_DATA_CONF: {
        const auto f = osMsgFields<TNfaceLlcpDataConf>(m);
        check(f.handle < g->dataAnswers.size() && g->dataAnswers[f.handle] == 0);  // asked for, once
        g->dataAnswers[f.handle] = 1;
        return;
    }
    case NFACE_NFC_LLCP_DATA_IND: {
        const auto f = osMsgFields<TNfaceLlcpDataInd>(m);
        check(knownLink(f.hLink));
        const auto* link = static_cast<const TLlcpLink*>(f.hLink);
        check(f.length <= link->miu || link->miu == 0);
        volatile uint8_t sink = 0;
        for (uint16_t i = 0; i < f.length; ++i) sink = sink ^ f.data[i];  // within the buffer, or ASan says so
        return;
    }
    case NFACE_NFC_LLCP_SDP_CONF:
        check(++g->sdpAnswered <= g->sdpAsked);
        return;
    case NFACE_NFC_LLCP_CON_CONF:
    case NFACE_NFC_LLCP_LISTEN_CONF: {
        const auto f = osMsgFields<TNfaceLlcpLinkCause>(m);
        if (f.hLink) g->links.push_back(f.hLink);
        return;
    }
    case NFACE_NFC_LLCP_CON_ACT_IND:
        g->toAccept.push_back(osMsgFields<TNfaceLlcpConActInd>(m).hLink);
        return;
    case NFACE_NFC_LLCP_DISC_IND:
        g->disconnected.push_back(osMsgFields<TNfaceLlcpLinkCause>(m).hLink);
        return;
    default: return;
    }
}

void layer1Takes(const OsMessage& m) {
    if (m.command != PH_DATA_REQ) return;
    const auto f = osMsgFields<PhDataFields>(m);
    check(f.length <= LLCP_DS_BUFFER);
    if (f.flags & PH_DATA_OWNED) osBufferRelease(f.buffer);
}

void post(OsMessage m) {
    osMessageSend(g->engine.ownQueue, &m);
    osRunUntilIdle();
}

template <uint16_t Code>
void request(const typename NfacePayloadOf<Code>::type& fields) {
    OsMessage m{};
    m.command = Code;
    m.spare = 7;
    m.source = NFCMAN_QUEUE_NAME | kApp << 19;
    osMsgSetFields(m, fields);
    post(m);
}

void deliver(const uint8_t* frame, size_t length) {
    void* buffer = nullptr;
    if (length > LLCP_DS_BUFFER || osBufferGet(g->rxPool, LLCP_DS_BUFFER, &buffer, nullptr, nullptr) != OS_OK) return;
    if (length) std::memcpy(buffer, frame, length);
    OsMessage m = nfcllMsgMake<PH_DATA_IND>(kLayer1, {PH_DATA_OWNED, 0, static_cast<uint16_t>(length), static_cast<BYTE*>(buffer)});
    m.source = kLayer1;
    post(m);
}

uint64_t lengthFrom(CByteReader& in, uint64_t limit) {
    uint8_t n = 0;
    in.u8(n);
    return std::min<uint64_t>({n, in.remaining(), limit});
}

// A PDU of the peer: header from the input's SAPs and type, then a sequence byte and
// information from the input.
void peerPdu(CByteReader& in) {
    uint8_t dsap = 0, ptype = 0, ssap = 0;
    if (!in.u8(dsap) || !in.u8(ptype) || !in.u8(ssap)) return;
    uint8_t frame[LLCP_DS_BUFFER];
    llcpWriteHeader(frame, dsap & 0x3F, ptype & 0x0F, ssap & 0x3F);
    const uint64_t n = lengthFrom(in, sizeof frame - 2);
    const uint8_t* info = nullptr;
    if (!in.take(n, info)) return;
    if (n) std::memcpy(frame + 2, info, n);
    deliver(frame, 2 + n);
}

void rawFrame(CByteReader& in) {
    uint8_t high = 0;
    in.u8(high);
    const uint64_t n = std::min<uint64_t>((uint64_t{high} << 8 | lengthFrom(in, 255)) % (LLCP_DS_BUFFER + 1), in.remaining());
    const uint8_t* bytes = nullptr;
    if (in.take(n, bytes)) deliver(bytes, n);
}

void* pickLink(uint8_t a) { return g->links.empty() ? &g->engine.links[a % LLCP_LINKS] : g->links[a % g->links.size()]; }

void listen(CByteReader& in) {
    uint8_t sap = 0, mode = 0, window = 0, connections = 0, slot = 0;
    if (!in.u8(sap) || !in.u8(mode) || !in.u8(window) || !in.u8(connections) || !in.u8(slot)) return;
    static const char* const kNames[] = {nullptr, "urn:nfc:sn:snep", "urn:nfc:sn:fuzz", "urn:nfc:xsvc"};
    const char* name = kNames[mode >> 4 & 3];
    std::vector<uint8_t>& area = g->areas[slot % LLCP_LINKS];
    area.assign(kArea, 0);
    request<NFACE_NFC_LLCP_LISTEN_REQ>({&g->upper[slot % LLCP_LINKS], area.data(), name, static_cast<uint32_t>(area.size()),
                                         static_cast<uint16_t>(name ? std::strlen(name) : 0),
                                         static_cast<uint16_t>(128 + (mode & 0x0F) * 64), static_cast<uint8_t>(window % 6),
                                         static_cast<uint8_t>(connections % 4), static_cast<uint8_t>(sap % 66),
                                         static_cast<uint8_t>(mode >> 7)});
}

void connect(CByteReader& in) {
    uint8_t dsap = 0, window = 0, slot = 0;
    if (!in.u8(dsap) || !in.u8(window) || !in.u8(slot)) return;
    const char* name = (dsap & 0x80) ? "urn:nfc:sn:snep" : nullptr;
    std::vector<uint8_t>& area = g->areas[slot % LLCP_LINKS];
    area.assign(kArea, 0);
    request<NFACE_NFC_LLCP_CON_REQ>({&g->upper[slot % LLCP_LINKS], area.data(), name, static_cast<uint32_t>(area.size()),
                                      static_cast<uint16_t>(name ? std::strlen(name) : 0), 128,
                                      static_cast<uint8_t>(window % 6), static_cast<uint8_t>(dsap & 0x3F)});
}

void send(CByteReader& in) {
    uint8_t a = 0, dsap = 0;
    if (!in.u8(a) || !in.u8(dsap) || g->dataAnswers.size() > 250) return;
    uint8_t high = 0;
    in.u8(high);
    const uint64_t n = std::min<uint64_t>((uint64_t(high & 0x07) << 8) | lengthFrom(in, 255), in.remaining());
    const uint8_t* bytes = nullptr;
    if (!in.take(n, bytes)) return;
    const std::vector<uint8_t>& data = g->sent.emplace_back(bytes, bytes + n);
    const auto handle = static_cast<uint8_t>(g->dataAnswers.size());
    g->dataAnswers.push_back(0);
    request<NFACE_NFC_LLCP_DATA_REQ>({pickLink(a), data.data(), static_cast<uint16_t>(n), handle, dsap});
}

void discover(CByteReader& in) {
    uint8_t which = 0;
    if (!in.u8(which)) return;
    static const char* const kNames[] = {"urn:nfc:sn:snep", "urn:nfc:sn:x", ""};
    const char* name = kNames[which % 3];
    ++g->sdpAsked;
    request<NFACE_NFC_LLCP_SDP_REQ>({&g->sdpSap, name, static_cast<uint16_t>(std::strlen(name))});
}

// The device goes: everything of it is answered and nothing of it is left for the next one.
void deviceGone(uint8_t how) {
    if (how & 1)
        post(nfcllMsgMake<NFCLL_TECH_REMOVE_IND>(kLayer1, {0}));
    else
        post(nfcllMsgMake<NFCLL_DEACT_IND>(kLayer1, {nullptr}));
    check(g->engine.queued == 0 && osPoolFree(g->engine.dsPool) == LLCP_DS_BUFFERS);
    check(g->sdpAnswered == g->sdpAsked);
}

void step(CByteReader& in, ManualClock& clock) {
    uint8_t op = 0, a = 0;
    if (!in.u8(op)) return;
    switch (op % 12) {
    case 0: peerPdu(in); break;
    case 1: rawFrame(in); break;
    case 2:
        if (in.u8(a)) {
            for (uint32_t t = 0; t < a * 10u; t += HW_TIMER_TICK_MS) {
                clock.advance(HW_TIMER_TICK_MS);
                osRunUntilIdle();
            }
        }
        break;
    case 3: listen(in); break;
    case 4: connect(in); break;
    case 5: send(in); break;
    case 6:
        if (in.u8(a)) request<NFACE_NFC_LLCP_DATA_RESP>({pickLink(a), 0});
        break;
    case 7:
        if (in.u8(a)) request<NFACE_NFC_LLCP_DISC_REQ>({nullptr, pickLink(a)});
        break;
    case 8: {
        std::vector<void*> due;
        due.swap(g->disconnected);  // answering may bring more
        for (void* link : due) request<NFACE_NFC_LLCP_DISC_RESP>({link});
        break;
    }
    case 9: {
        std::vector<void*> due;
        due.swap(g->toAccept);
        for (void* link : due) request<NFACE_NFC_LLCP_CON_ACT_RESP>({&g->upper[0], link});
        break;
    }
    case 10: discover(in); break;
    case 11:
        if (in.u8(a)) deviceGone(a);
        break;
    }
}

void activate(CByteReader& in) {
    uint8_t role = 0, miux = 0, lto = 0, wks = 0;
    in.u8(role);
    in.u8(miux);
    in.u8(lto);
    in.u8(wks);
    const uint8_t general[] = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x02, 0x02, static_cast<uint8_t>(miux >> 5), miux,
                               0x03, 0x02, 0x00, wks, 0x04, 0x01, lto, 0x07, 0x01, 0x03};
    g->device.tagType = (role & 1) ? P2P_TARGET : P2P_INITIATOR;
    std::memcpy(reinterpret_cast<uint8_t*>(&g->device) + NFCLL_GENERAL_BYTES_OFFSET, general, sizeof general);
    g->device.historicalBytesLength = sizeof general;
    OsMessage response = nfcllMsgMake<NFCLL_DEVICE_RESP>(NFCMAN_QUEUE_NAME, {&g->device, 0});
    response.source = NFCMAN_QUEUE_NAME;
    post(response);
    uint16_t pool = 0;
    void* buffer = nullptr;
    if (osPoolFindByName(kParameterPool, &pool) != OS_OK ||
        osBufferGet(pool, sizeof(TNfcmanLlcpParameters), &buffer, nullptr, nullptr) != OS_OK)
        return;
    auto* parameters = static_cast<TNfcmanLlcpParameters*>(buffer);
    *parameters = TNfcmanLlcpParameters{};
    parameters->role = (role & 1) ? NFCMAN_LLCP_INITIATOR : NFCMAN_LLCP_TARGET;
    OsMessage m{};
    m.command = LLCP_SET_PARAMETER_REQ;
    m.source = NFCMAN_QUEUE_NAME;
    osMsgSetFields(m, TNfcmanSetParameterFields{parameters});
    post(m);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    debugSetFlags(0);
    ManualClock clock;
    auto harness = std::make_unique<Harness>();
    g = harness.get();
    osInit();
    uint16_t pool = 0;
    if (osPoolCreate(kParameterPool, 128, 2, &pool) == OS_OK && osPoolCreate(kRxPool, LLCP_DS_BUFFER, 4, &g->rxPool) == OS_OK) {
        mmInit();
        hwTimerRegister();
        osRunUntilIdle();
        g->up.take = &managerTakes;
        g->down.take = &layer1Takes;
        if (osTaskCreate(&g->up, &Queue::procedure, NFCMAN_QUEUE_NAME, &g->up.id) == OS_OK &&
            osTaskCreate(&g->down, &Queue::procedure, kLayer1, &g->down.id) == OS_OK &&
            nfcllcpInit(&g->engine, kEngineWord) == 0) {
            OsMessage link{};
            link.command = MM_LINK_PROTOCOL;
            link.source = 0x40;
            osMsgSetFields(link, MmLinkProtocolFields{g->up.id, g->down.id, 0, 0, 0, 0, 0, 0, 0});
            post(link);
            CByteReader in(data, size);
            activate(in);
            while (!in.empty()) step(in, clock);
            deviceGone(1);
            for (size_t handle = 0; handle < g->dataAnswers.size(); ++handle) check(g->dataAnswers[handle] == 1);
        }
    }
    osDone();
    g = nullptr;
    return 0;
}
