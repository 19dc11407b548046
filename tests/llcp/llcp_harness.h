// The LLCP engine in virtual time: the real OS layer and timer task, one engine on its own
// instance record, and recording stand-ins for the NFC manager's queue (0xB2) and layer 1's.
// The test thread runs the dispatcher, so every frame, primitive and timer shows without sleeps.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "core/nfcmgr.h"
#include "hw/hw_timer.h"
#include "llcp/llcp_peer.h"
#include "llcp/llcplm.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace llcptest {

using llcpsim::Bytes;

constexpr uint8_t kLayer1Name = 0x50;
constexpr uint32_t kEngineWord = 0xB1;
constexpr uint32_t kApp = 1;
constexpr char kNoLeak[] = "osMemoryDone(), exit 0 bytes memory allocated (count 0)";

// A queue that keeps what reaches it; frames and data are copied while the message is handled.
struct Recorder {
    uint16_t queue = 0;
    std::vector<OsMessage> messages;
    std::vector<Bytes> frames; // PH_DATA_REQ, in order
    std::vector<Bytes> data; // NFC_LLCP_DATA_IND, in order

    static void procedure(void* self) {
        auto* r = static_cast<Recorder*>(self);
        OsMessage m{};
        if (osMessageReceive(r->queue, &m) != OS_OK) return;
        r->messages.push_back(m);
        if (m.command == PH_DATA_REQ) {
            const auto f = osMsgFields<PhDataFields>(m);
            r->frames.emplace_back(f.buffer + f.offset, f.buffer + f.offset + f.length);
            if (f.flags & PH_DATA_OWNED) osBufferRelease(f.buffer);
        } else if (m.command == NFACE_NFC_LLCP_DATA_IND) {
            const auto f = osMsgFields<TNfaceLlcpDataInd>(m);
            r->data.emplace_back(f.data, f.data + f.length);
        }
    }
    std::vector<OsMessage> got(uint16_t command) const {
        std::vector<OsMessage> out;
        for (const OsMessage& m : messages)
            if (m.command == command) out.push_back(m);
        return out;
    }
    size_t count(uint16_t command) const { return got(command).size(); }
    template <typename Fields>
    Fields last(uint16_t command) const {
        const auto all = got(command);
        if (all.empty()) {
            ADD_FAILURE() << "no message 0x" << std::hex << command;
            return {};
        }
        return osMsgFields<Fields>(all.back());
    }
};

class LlcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        osInit();
        uint16_t pool = 0;
        ASSERT_EQ(osPoolCreate(0xF1, 128, 2, &pool), OS_OK);
        ASSERT_EQ(osPoolCreate(0xF2, LLCP_DS_BUFFER, 4, &rxPool), OS_OK);
        mmInit();
        ASSERT_EQ(hwTimerRegister(), OS_OK);
        run();
        ASSERT_EQ(osTaskCreate(&up, &Recorder::procedure, NFCMAN_QUEUE_NAME, &up.queue), OS_OK);
        ASSERT_EQ(osTaskCreate(&down, &Recorder::procedure, kLayer1Name, &down.queue), OS_OK);
        ASSERT_EQ(nfcllcpInit(p, kEngineWord), 0);
        OsMessage link{};
        link.command = MM_LINK_PROTOCOL;
        link.source = 0x40;
        osMsgSetFields(link, MmLinkProtocolFields{up.queue, down.queue, 0, 0, 0, 0, 0, 0, 0});
        post(link);
    }
    void TearDown() override {
        nfcmanSetStackBytes(0, 0);
        osDone();
        EXPECT_TRUE(cap.contains(kNoLeak));
    }

    uint32_t run() { return osRunUntilIdle(); }
    void post(OsMessage m) {
        ASSERT_EQ(osMessageSend(p->ownQueue, &m), OS_OK);
        run();
    }
    void advance(uint32_t ms) {
        for (uint32_t step = 0; step < ms; step += HW_TIMER_TICK_MS) {
            clock.advance(HW_TIMER_TICK_MS);
            run();
        }
    }

    // A request of application kApp, as the NFC manager relays it.
    template <uint16_t Code>
    void request(const typename NfacePayloadOf<Code>::type& fields, uint16_t identity = 7) {
        OsMessage m{};
        m.command = Code;
        m.spare = identity;
        m.source = NFCMAN_QUEUE_NAME | kApp << 19;
        osMsgSetFields(m, fields);
        post(m);
    }
    void fromManager(OsMessage m) {
        m.source = NFCMAN_QUEUE_NAME;
        post(m);
    }
    void fromLayer1(OsMessage m) {
        m.source = kLayer1Name;
        post(m);
    }

    // The peer's general bytes reach LLCP in the device response, as the manager sends it.
    void deviceResponse(const Bytes& general) {
        device = TNfcTagInfo{};
        device.tagType = P2P_TARGET;
        ASSERT_LE(general.size(), NFCLL_GENERAL_BYTES_MAX);
        auto* start = reinterpret_cast<uint8_t*>(&device) + NFCLL_GENERAL_BYTES_OFFSET;
        std::memcpy(start, general.data(), general.size());
        device.historicalBytesLength = static_cast<WORD>(general.size());
        fromManager(nfcllMsgMake<NFCLL_DEVICE_RESP>(NFCMAN_QUEUE_NAME, {&device, 0}));
    }
    void setParameter(uint32_t role, uint32_t lto = 0) {
        uint16_t pool = 0;
        void* buffer = nullptr;
        ASSERT_EQ(osPoolFindByName(0xF1, &pool), OS_OK);
        ASSERT_EQ(osBufferGet(pool, sizeof(TNfcmanLlcpParameters), &buffer, nullptr, nullptr), OS_OK);
        auto* parameters = static_cast<TNfcmanLlcpParameters*>(buffer);
        *parameters = TNfcmanLlcpParameters{};
        parameters->role = role;
        parameters->lto = lto;
        OsMessage m{};
        m.command = LLCP_SET_PARAMETER_REQ;
        osMsgSetFields(m, TNfcmanSetParameterFields{parameters});
        fromManager(m);
    }
    void activate(uint32_t role, const llcpsim::LinkParams& params = {}) {
        deviceResponse(llcpsim::generalBytes(params));
        setParameter(role);
    }
    // The engine takes the other role of the peer's activation.
    void activate(const llcpsim::Peer& peer) {
        deviceResponse(peer.activationBytes());
        setParameter(peer.role() == llcpsim::Role::Initiator ? NFCMAN_LLCP_TARGET : NFCMAN_LLCP_INITIATOR);
    }

    // A frame from the peer, in a pool buffer that LLCP releases.
    void deliver(const Bytes& frame) {
        ASSERT_LE(frame.size(), LLCP_DS_BUFFER);
        void* buffer = nullptr;
        ASSERT_EQ(osBufferGet(rxPool, LLCP_DS_BUFFER, &buffer, nullptr, nullptr), OS_OK);
        if (!frame.empty()) std::memcpy(buffer, frame.data(), frame.size());
        fromLayer1(nfcllMsgMake<PH_DATA_IND>(
            kLayer1Name, {PH_DATA_OWNED, 0, static_cast<uint16_t>(frame.size()), static_cast<BYTE*>(buffer)}));
    }

    // The engine and the peer take turns for ms of virtual time.
    void converse(llcpsim::Peer& peer, uint32_t ms) {
        struct Due {
            uint32_t at;
            Bytes frame;
        };
        std::vector<Due> due;
        if (const auto first = peer.opening()) due.push_back({0, *first});
        for (uint32_t t = 0; t <= ms; t += HW_TIMER_TICK_MS) {
            while (seen_ < down.frames.size())
                for (const llcpsim::Reply& r : peer.onFrame(down.frames[seen_++]))
                    due.push_back({t + r.delayMs, r.frame});
            for (size_t i = 0; i < due.size();) {
                if (due[i].at > t) {
                    ++i;
                    continue;
                }
                const Bytes frame = due[i].frame;
                due.erase(due.begin() + static_cast<long>(i));
                deliver(frame);
            }
            advance(HW_TIMER_TICK_MS);
        }
    }

    Bytes lastFrame() const { return down.frames.empty() ? Bytes{} : down.frames.back(); }
    size_t framesSent() const { return down.frames.size(); }
    static uint8_t ptypeOf(const Bytes& frame) {
        llcpsim::Pdu pdu;
        return llcpsim::decode(frame, pdu) ? pdu.ptype : 0xFF;
    }

    // A connected connection-oriented link to the peer's SAP, as the connection procedures leave it.
    TLlcpLink* connectedLink(uint8_t remoteSap) {
        TLlcpLink* link = nullptr;
        EXPECT_EQ(nfcllcpAllocConLink(p, &link, kApp, &upper, remoteSap, nullptr, 0), LLCP_OK);
        if (!link) return nullptr;
        link->state = LLCP_STATE_CONNECTED;
        link->remoteMiu = 128;
        link->remoteWindow = 1;
        link->miu = 128;
        return link;
    }
    // A connectionless link on the SAP with receive buffers of the MIU.
    TLlcpLink* connectionlessLink(uint8_t sap, const char* name, uint8_t buffers = 2, uint16_t miu = 128) {
        TLlcpLink* link = nullptr;
        EXPECT_EQ(nfcllcpAllocListenLink(p, &link, kApp, &upper, sap, name,
                                         name ? static_cast<uint8_t>(std::strlen(name)) : 0, false),
                  LLCP_OK);
        if (!link) return nullptr;
        rxMemory.assign(static_cast<size_t>(buffers) * miu, 0);
        llcpLinkGiveRxBuffers(link, rxMemory.data(), buffers, miu);
        return link;
    }

    ManualClock clock;
    TraceCapture cap;
    Recorder up;
    Recorder down;
    std::unique_ptr<TLlcp> engine = std::make_unique<TLlcp>();
    TLlcp* p = engine.get();
    uint16_t rxPool = 0;
    TNfcTagInfo device{};
    int upper = 0;
    std::vector<uint8_t> rxMemory;

private:
    size_t seen_ = 0;
};

} // namespace llcptest
