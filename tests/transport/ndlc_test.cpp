// The NDLC link driven through its two entry points, with an owner that records what the link
// asks of it and the tick on a manual clock. A neutral frame (a supervisor frame without
// information, dropped by every state) serves as a barrier: once it is handed over, the worker
// has handled every earlier frame and looked at its timers.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "manual_clock.h"
#include "transport/ndlc.h"
#include "util/crc16.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Call {
    uint32_t event;
    Bytes data;
};

class RecordingOwner {
public:
    static void callBack(void* owner, uint32_t event, const uint8_t* data, uint32_t length) {
        auto* self = static_cast<RecordingOwner*>(owner);
        std::unique_lock<std::mutex> g(self->m_);
        self->calls_.push_back({event, data ? Bytes(data, data + length) : Bytes{}});
        self->cv_.notify_all();
        // A held owner keeps the worker inside its write, as a stuck bus would.
        self->cv_.wait(g, [&] { return event != NDLC_EVENT_DSWRITE || !self->held_; });
    }
    void hold(bool on) {
        std::lock_guard<std::mutex> g(m_);
        held_ = on;
        cv_.notify_all();
    }
    std::vector<Call> of(uint32_t event) const {
        std::lock_guard<std::mutex> g(m_);
        std::vector<Call> out;
        for (const auto& c : calls_)
            if (c.event == event) out.push_back(c);
        return out;
    }
    bool waitFor(uint32_t event, size_t count) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::seconds(5), [&] {
            size_t n = 0;
            for (const auto& c : calls_) n += c.event == event;
            return n >= count;
        });
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
    bool held_ = false;
};

Bytes withCrc(Bytes f) {
    uint16_t crc = crc16X25(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

const Bytes kPacket = {0x40, 0x00, 0x01, 0x01};     // an NCI command
const Bytes kAnswer = {0x60, 0x06, 0x01, 0x02};     // an NCI notification

Bytes dataFrame(const Bytes& packet, bool full = true, bool first = true) {
    Bytes f{static_cast<uint8_t>((full ? 0x88 : 0x80) | (first ? 0x04 : 0x00))};
    f.insert(f.end(), packet.begin(), packet.end());
    return full ? withCrc(f) : f;
}
Bytes supervisor(uint8_t kind, bool full = true, bool first = true) {
    Bytes f{static_cast<uint8_t>((full ? 0xC8 : 0xC0) | kind | (first ? 0x02 : 0x00)), 0x00};
    if (full) return withCrc(f);
    f.push_back(0x00);
    f.push_back(0x00);
    return f;
}
constexpr uint8_t kNack = 0x10, kAck = 0x20, kWait = 0x30;

struct Ndlc : ::testing::Test {
    ManualClock clock;
    RecordingOwner owner;
    TNdlc* link = nullptr;

    void start(uint32_t flags = NDLC_FULL_MODE) {
        link = NdlcCreate(&owner, &RecordingOwner::callBack, flags);
        ASSERT_NE(link, nullptr);
    }
    void TearDown() override { NdlcDestroy(link); }

    bool up(const Bytes& f) { return NdlcSendUpstream(static_cast<uint32_t>(f.size()), f.data(), link); }
    void barrier() { ASSERT_TRUE(up(supervisor(0x00, fullMode))); }
    void upSync(const Bytes& f) {
        ASSERT_TRUE(up(f));
        barrier();
    }
    bool down(const Bytes& p) { return NdlcSendDownstream(static_cast<uint32_t>(p.size()), link, p.data()); }
    size_t writes() const { return owner.of(NDLC_EVENT_DSWRITE).size(); }
    Bytes lastWrite() const { return owner.of(NDLC_EVENT_DSWRITE).back().data; }
    void tick(uint32_t ms) {
        clock.advance(ms);
        barrier();
    }
    bool fullMode = true;
};

TEST_F(Ndlc, FullModeFramesCarryTheCrcAndAnAckReleasesTheNextPacket) {
    start();
    ASSERT_TRUE(down(kPacket));
    ASSERT_TRUE(down(kAnswer));
    ASSERT_TRUE(owner.waitFor(NDLC_EVENT_DSWRITE, 1));
    barrier();
    EXPECT_EQ(writes(), 1u);   // stop and wait: the second packet waits for the acknowledgement
    EXPECT_EQ(lastWrite(), dataFrame(kPacket));
    upSync(supervisor(kAck));
    ASSERT_EQ(writes(), 2u);
    EXPECT_EQ(lastWrite(), dataFrame(kAnswer));
}

TEST_F(Ndlc, WithoutCrcNoFrameCarriesOneAndNothingIsAcknowledged) {
    fullMode = false;
    start(NdlcFlagsFor("READERTYPE=NCI_ST21 NONDLCCRC"));
    upSync(dataFrame(kAnswer, false));
    upSync({0x84, 0x60});                     // too short: damaged
    ASSERT_EQ(owner.of(NDLC_EVENT_DATAIND).size(), 1u);
    EXPECT_EQ(owner.of(NDLC_EVENT_DATAIND)[0].data, kAnswer);
    EXPECT_EQ(owner.of(NDLC_EVENT_JUNK).size(), 1u);
    EXPECT_EQ(writes(), 0u);                  // neither ACK nor NACK
    ASSERT_TRUE(down(kPacket));
    barrier();
    ASSERT_EQ(writes(), 1u);
    EXPECT_EQ(lastWrite(), dataFrame(kPacket, false));
    EXPECT_EQ(NdlcFlagsFor("READERTYPE=NCI_ST21"), NDLC_FULL_MODE);
}

// Without supervisor acknowledgements the frames follow each other directly, as a repeat does.
TEST_F(Ndlc, ARetransmissionIsIgnoredButTwoFirstTransmissionsArePassedUpTwice) {
    fullMode = false;
    start(0);
    for (const Bytes& f : {dataFrame(kAnswer, false), dataFrame(kAnswer, false), dataFrame(kAnswer, false, false)})
        ASSERT_TRUE(up(f));
    barrier();
    EXPECT_EQ(owner.of(NDLC_EVENT_DATAIND).size(), 2u);
}

TEST_F(Ndlc, DataArrivingWhileOurSupervisorFrameWaitsIsDropped) {
    start();
    upSync(dataFrame(kAnswer));               // ACK sent, waiting for its acknowledgement
    upSync(dataFrame(kPacket));
    EXPECT_EQ(owner.of(NDLC_EVENT_DATAIND).size(), 1u);
    upSync(supervisor(kNack));                // the resend repeats our ACK as a retransmission
    EXPECT_EQ(lastWrite(), supervisor(kAck, true, false));
}

TEST_F(Ndlc, DataWhileOurDataWaitsIsAcknowledgedPassedUpAndAResendRepeatsOurData) {
    start();
    ASSERT_TRUE(down(kPacket));
    ASSERT_TRUE(owner.waitFor(NDLC_EVENT_DSWRITE, 1));
    upSync(dataFrame(kAnswer));
    ASSERT_EQ(owner.of(NDLC_EVENT_DATAIND).size(), 1u);
    EXPECT_EQ(owner.of(NDLC_EVENT_DATAIND)[0].data, kAnswer);
    EXPECT_EQ(lastWrite(), supervisor(kAck));
    upSync(supervisor(kNack));
    EXPECT_EQ(lastWrite(), dataFrame(kPacket, true, false));
}

TEST_F(Ndlc, ADamagedFrameInIdleIsReportedAndRefusedWithANack) {
    start();
    Bytes damaged = dataFrame(kAnswer);
    damaged.back() ^= 0x01;
    upSync(damaged);
    EXPECT_EQ(owner.of(NDLC_EVENT_JUNK).size(), 1u);
    EXPECT_TRUE(owner.of(NDLC_EVENT_DATAIND).empty());
    EXPECT_EQ(lastWrite(), supervisor(kNack));
}

TEST_F(Ndlc, AWaitStretchesOnlyTheNextT1AndT2KeepsRunning) {
    start();
    ASSERT_TRUE(down(kPacket));               // T1 and T2 start at 1000
    ASSERT_TRUE(owner.waitFor(NDLC_EVENT_DSWRITE, 1));
    upSync(supervisor(kWait));
    tick(150);
    EXPECT_EQ(writes(), 1u);                  // a plain T1 would have fired
    tick(250);
    ASSERT_EQ(writes(), 2u);
    EXPECT_EQ(lastWrite(), dataFrame(kPacket, true, false));
    tick(100);                                // back to 100 ms
    EXPECT_EQ(writes(), 3u);
    tick(699);                                // 2199: one more resend, the link still stands
    EXPECT_EQ(writes(), 4u);
    EXPECT_TRUE(owner.of(NDLC_EVENT_LINKLOST).empty());
    tick(1);
    EXPECT_EQ(owner.of(NDLC_EVENT_LINKLOST).size(), 1u);
}

TEST_F(Ndlc, T2EndsTheLinkOnceAndLaterSendsFailAtOnce) {
    start();
    ASSERT_TRUE(down(kPacket));
    ASSERT_TRUE(owner.waitFor(NDLC_EVENT_DSWRITE, 1));
    for (int step = 0; step < 30; ++step) tick(100);
    EXPECT_EQ(owner.of(NDLC_EVENT_LINKLOST).size(), 1u);
    EXPECT_TRUE(NdlcLinkEnded(link));
    size_t sent = writes();
    EXPECT_FALSE(down(kPacket));
    tick(5000);
    EXPECT_EQ(writes(), sent);
    EXPECT_EQ(owner.of(NDLC_EVENT_LINKLOST).size(), 1u);
}

TEST_F(Ndlc, AnAcknowledgementInIdleIsAnError) {
    start();
    upSync(supervisor(kAck));
    EXPECT_EQ(owner.of(NDLC_EVENT_ERROR).size(), 1u);
    EXPECT_FALSE(down(kPacket));
}

TEST_F(Ndlc, SizesOutsideTheFrameLimitsAreRefused) {
    start();
    Bytes big(NDLC_FRAME_MAX + 1, 0x00);
    EXPECT_FALSE(up(big));
    EXPECT_FALSE(down(big));
    EXPECT_FALSE(down({}));
    big.pop_back();
    EXPECT_TRUE(down(big));                   // the longest packet goes out whole
    ASSERT_TRUE(owner.waitFor(NDLC_EVENT_DSWRITE, 1));
    EXPECT_EQ(lastWrite().size(), NDLC_FRAME_MAX + 3);
}

TEST_F(Ndlc, AFullRingRefusesAtOnceAndDestroyStillStopsTheWorker) {
    start();
    owner.hold(true);
    ASSERT_TRUE(down(kPacket));
    ASSERT_TRUE(owner.waitFor(NDLC_EVENT_DSWRITE, 1));
    for (int k = 0; k < 7; ++k) ASSERT_TRUE(down(kPacket));
    EXPECT_FALSE(down(kPacket));
    EXPECT_FALSE(up(supervisor(kAck)));     // refused without waiting for a copy that never comes
    auto destroyed = std::async(std::launch::async, [this] { NdlcDestroy(link); });
    owner.hold(false);
    ASSERT_EQ(destroyed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    link = nullptr;
    EXPECT_EQ(writes(), 1u);
}

// Ten packets wait for their acknowledgements. The sender is the bus reader too: the eleventh is
// refused at once, not held until an acknowledgement it would have to read itself.
TEST_F(Ndlc, APacketFindingEveryBufferTakenIsRefusedAtOnceAndTakenOnceOneIsFree) {
    start();
    for (int k = 0; k < 10; ++k) {
        ASSERT_TRUE(down(kPacket));
        barrier();   // the ring holds seven messages: let the worker take each one
    }
    std::future<bool> eleventh = std::async(std::launch::async, [this] { return down(kPacket); });
    const bool answered = eleventh.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!answered) {
        NdlcDestroy(link);   // wakes a sender held inside, so the failed test can end
        link = nullptr;
    }
    ASSERT_TRUE(answered);
    EXPECT_FALSE(eleventh.get());
    EXPECT_FALSE(NdlcLinkEnded(link));
    upSync(supervisor(kAck));   // the first packet is through: its buffer is free again
    EXPECT_TRUE(down(kPacket));
}

}  // namespace
