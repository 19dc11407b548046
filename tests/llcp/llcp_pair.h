// Two engines in one process on one OS layer, A as initiator and B as target: each frame one
// sends reaches the other on the next pump step, in virtual time. What stands above each engine
// (a test's stand-in for the NFC manager, or the peer services) answers the primitives that
// reach it in answer(), on the test thread, between pump steps.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "llcp_harness.h"

namespace llcptest {

enum class Carry { Deliver, Drop, Duplicate };

struct Side {
    Side(uint32_t w, uint8_t upQueue, uint8_t downQueue) : word(w), upName(upQueue), downName(downQueue) {}
    uint32_t word;
    uint8_t upName, downName;
    std::unique_ptr<TLlcp> engine = std::make_unique<TLlcp>();
    Recorder up, down;
    TNfcTagInfo device{};
    size_t carried = 0, answered = 0;
    bool returnData = true; // DATA_IND answered with DATA_RESP at once
    std::vector<Bytes> received;
    std::vector<uint8_t> handles; // of the DATA_CONFs, in order
    std::vector<uint16_t> sendCauses; // of the DATA_CONFs, in order: 0 when sent
    int upper = 0;
    std::vector<uint8_t> area = std::vector<uint8_t>(16384);

    std::vector<uint16_t> causes(uint16_t command) const {
        std::vector<uint16_t> out;
        for (const OsMessage& m : up.got(command)) out.push_back(osMsgFields<TNfaceLlcpLinkCause>(m).cause);
        return out;
    }
};

class LlcpPair : public ::testing::Test {
protected:
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        osInit();
        uint16_t pool = 0;
        ASSERT_EQ(osPoolCreate(0xF1, 128, 4, &pool), OS_OK);
        ASSERT_EQ(osPoolCreate(0xF2, LLCP_DS_BUFFER, 4, &rxPool), OS_OK);
        mmInit();
        ASSERT_EQ(hwTimerRegister(), OS_OK);
        osRunUntilIdle();
        for (Side* s : {&a, &b}) {
            ASSERT_EQ(osTaskCreate(&s->up, &Recorder::procedure, s->upName, &s->up.queue), OS_OK);
            ASSERT_EQ(osTaskCreate(&s->down, &Recorder::procedure, s->downName, &s->down.queue), OS_OK);
            ASSERT_EQ(nfcllcpInit(s->engine.get(), s->word), 0);
            OsMessage link{};
            link.command = MM_LINK_PROTOCOL;
            link.source = 0x40;
            osMsgSetFields(link, MmLinkProtocolFields{s->up.queue, s->down.queue, 0, 0, 0, 0, 0, 0, 0});
            post(*s, link);
        }
    }
    void TearDown() override {
        osDone();
        EXPECT_TRUE(cap.contains(kNoLeak));
    }

    void post(Side& s, OsMessage m) {
        ASSERT_EQ(osMessageSend(s.engine->ownQueue, &m), OS_OK);
        osRunUntilIdle();
    }
    template <uint16_t Code>
    void request(Side& s, const typename NfacePayloadOf<Code>::type& fields, uint16_t identity = 7) {
        OsMessage m{};
        m.command = Code;
        m.spare = identity;
        m.source = NFCMAN_QUEUE_NAME | kApp << 19;
        osMsgSetFields(m, fields);
        post(s, m);
    }

    void activate(Side& s, uint32_t role) {
        s.device.tagType = role == NFCMAN_LLCP_INITIATOR ? P2P_TARGET : P2P_INITIATOR;
        const Bytes general = llcpsim::generalBytes(llcpsim::LinkParams{});
        std::memcpy(reinterpret_cast<uint8_t*>(&s.device) + NFCLL_GENERAL_BYTES_OFFSET, general.data(), general.size());
        s.device.historicalBytesLength = static_cast<WORD>(general.size());
        OsMessage response = nfcllMsgMake<NFCLL_DEVICE_RESP>(NFCMAN_QUEUE_NAME, {&s.device, 0});
        post(s, response);
        uint16_t pool = 0;
        void* buffer = nullptr;
        ASSERT_EQ(osPoolFindByName(0xF1, &pool), OS_OK);
        ASSERT_EQ(osBufferGet(pool, sizeof(TNfcmanLlcpParameters), &buffer, nullptr, nullptr), OS_OK);
        auto* parameters = static_cast<TNfcmanLlcpParameters*>(buffer);
        *parameters = TNfcmanLlcpParameters{};
        parameters->role = role;
        OsMessage m{};
        m.command = LLCP_SET_PARAMETER_REQ;
        m.source = NFCMAN_QUEUE_NAME;
        osMsgSetFields(m, TNfcmanSetParameterFields{parameters});
        post(s, m);
    }
    void activateBoth() {
        activate(b, NFCMAN_LLCP_TARGET);
        activate(a, NFCMAN_LLCP_INITIATOR);
    }

    void deliver(Side& to, const Bytes& frame) {
        void* buffer = nullptr;
        ASSERT_EQ(osBufferGet(rxPool, LLCP_DS_BUFFER, &buffer, nullptr, nullptr), OS_OK);
        std::memcpy(buffer, frame.data(), frame.size());
        OsMessage m = nfcllMsgMake<PH_DATA_IND>(
            kLayer1Name, {PH_DATA_OWNED, 0, static_cast<uint16_t>(frame.size()), static_cast<BYTE*>(buffer)});
        post(to, m);
    }
    void carry(Side& from, Side& to) {
        while (from.carried < from.down.frames.size()) {
            Bytes frame = from.down.frames[from.carried++];
            const Carry what = fault ? fault(from, frame) : Carry::Deliver;
            if (what == Carry::Drop) continue;
            deliver(to, frame);
            if (what == Carry::Duplicate) deliver(to, frame);
        }
    }
    // Takes the primitives that reached the side's upper queue since the last call.
    virtual void answer(Side& s) = 0;
    void pump(uint32_t ms) {
        for (uint32_t t = 0; t < ms; t += HW_TIMER_TICK_MS) {
            carry(a, b);
            carry(b, a);
            answer(a);
            answer(b);
            clock.advance(HW_TIMER_TICK_MS);
            osRunUntilIdle();
        }
    }

    ManualClock clock;
    TraceCapture cap;
    uint16_t rxPool = 0;
    Side a{0xB1, 0xA2, 0xA3};
    Side b{0xB3, 0xA4, 0xA5};
    std::function<Carry(Side&, Bytes&)> fault;
};

} // namespace llcptest
