#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include "hw/hw_basetimer.h"
#include "hw/hw_timer.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os.h"
#include "os/os_mem.h"
#include "os_send.h"
#include "stub_modules.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kOwner = 0xB2;
constexpr uint32_t kBounded = 2000;     // ms: only reached when something is broken

using Expiry = std::pair<int, int>;     // timer ID, ticks carried by the expiry

// The timer task in virtual time: the test moves the clock, then runs the service passes.
struct HwTimerTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        ASSERT_NO_FATAL_FAILURE(startTimerTaskWithStub(stubs, kOwner));
    }
    void TearDown() override {
        osDone();
        EXPECT_TRUE(cap.contains("osMemoryDone(), exit 0 bytes memory allocated (count 0)"));
    }

    void send(uint16_t command, uint8_t id, uint32_t ticks, uint8_t channel = 0, uint8_t type = 0, uint32_t owner = kOwner) {
        uint16_t queue = 0;
        ASSERT_EQ(osGetTimerQueueID(&queue), OS_OK);
        sendAndRun(queue, command, owner, HwTimerFields{id, channel, type, 0, ticks});
    }
    void start(uint8_t id, uint32_t ticks, uint8_t channel = 0) { send(HW_TIMER_START, id, ticks, channel); }

    void advance(uint32_t ms) {
        clock.advance(ms);
        osRunUntilIdle();
    }

    // Expiries that reached the owner since the last call.
    std::vector<Expiry> expiries() {
        std::vector<Expiry> result;
        const auto messages = stubs[kOwner].received();
        for (size_t i = seen; i < messages.size(); ++i) {
            EXPECT_EQ(messages[i].command, HW_TIMER_EXPIRED);
            EXPECT_EQ(messages[i].source, HW_TIMER_QUEUE_NAME);
            const auto f = osMsgFields<HwTimerFields>(messages[i]);
            result.emplace_back(f.timerId, static_cast<int>(f.ticks));
        }
        seen = messages.size();
        return result;
    }

    ManualClock clock;
    TraceCapture cap;
    StubModules stubs;
    size_t seen = 0;
};

struct Step {
    uint32_t advanceMs;
    std::vector<Expiry> expected;
};

struct DeltaCase {
    const char* name;
    std::vector<std::pair<uint8_t, uint32_t>> starts;    // timer ID, ticks
    std::vector<Step> steps;
};

void PrintTo(const DeltaCase& c, std::ostream* os) { *os << c.name; }

class HwTimerDeltaList : public HwTimerTest, public ::testing::WithParamInterface<DeltaCase> {};

TEST_P(HwTimerDeltaList, ExpiresInOrderWithTheDeltasItKept) {
    for (const auto& [id, ticks] : GetParam().starts) start(id, ticks);
    for (const Step& step : GetParam().steps) {
        advance(step.advanceMs);
        EXPECT_EQ(expiries(), step.expected) << "after " << clock.value() << " ms";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HwTimerDeltaList,
    ::testing::Values(
        DeltaCase{"LaterTimersQueueBehind", {{1, 3}, {2, 5}, {3, 5}}, {{30, {{1, 3}}}, {20, {{2, 2}, {3, 0}}}}},
        DeltaCase{"NewTimerGoesAheadOfAnEqualFirst", {{1, 5}, {2, 5}}, {{50, {{2, 5}, {1, 0}}}}},
        DeltaCase{"OnlyTheFirstConsumesTicks", {{1, 2}, {2, 3}}, {{50, {{1, 2}}}, {10, {{2, 1}}}}},
        DeltaCase{"PartTicksAreKept", {{1, 1}}, {{6, {}}, {4, {{1, 1}}}}}),
    [](const ::testing::TestParamInfo<DeltaCase>& info) { return std::string(info.param.name); });

TEST_F(HwTimerTest, ZeroTicksExpireAtOnceAndAnEleventhTimerFindsNoSlot) {
    for (uint8_t id = 1; id <= HW_TIMER_ENTRIES; ++id) start(id, 100);
    start(11, 0);
    EXPECT_EQ(expiries(), (std::vector<Expiry>{{11, 0}}));

    start(12, 5);
    EXPECT_TRUE(cap.contains("hwSetTimer, no free timer slot !"));
    advance(50);
    EXPECT_TRUE(expiries().empty());
}

TEST_F(HwTimerTest, StopsMatchOwnerTimerAndChannel) {
    start(1, 5, 1);
    start(2, 5, 1);
    send(HW_TIMER_STOP, 2, 0, 2);      // another channel: an expiry already on its way
    send(HW_TIMER_STOP, 1, 0, 1);
    advance(50);
    EXPECT_EQ(expiries(), (std::vector<Expiry>{{2, 5}}));

    start(3, 10);
    send(HW_TIMER_RESTART, 3, 3);
    advance(30);
    EXPECT_EQ(expiries(), (std::vector<Expiry>{{3, 3}}));
    advance(100);
    EXPECT_TRUE(expiries().empty());
}

TEST_F(HwTimerTest, ATimerWithoutItsOwnersQueueGivesItsEntryBack) {
    const uint32_t breaks = debugBreakCount();
    send(HW_TIMER_START, 1, 5, 0, 0, 0x77);
    EXPECT_EQ(debugBreakCount(), breaks + 1);
    for (uint8_t id = 1; id <= HW_TIMER_ENTRIES; ++id) start(id, 5);
    EXPECT_FALSE(cap.contains("no free timer slot"));
}

TEST_F(HwTimerTest, AnUnknownTypeStartsNothing) {
    send(HW_TIMER_START, 1, 0, 0, 1);
    send(HW_TIMER_START, 2, 1, 0, 1);
    advance(100);
    EXPECT_TRUE(cap.contains("! unknown timer type"));
    EXPECT_TRUE(expiries().empty());
}

// Long timers, so that the real base timer never fires while the test runs.
TEST_F(HwTimerTest, BaseTimerIsArmedAgainOnlyForAnEarlierDeadlineAndExpiriesKeepTheirTimes) {
    const uint32_t t0 = clock.value();
    uint32_t at = 0;
    start(1, 3000);
    ASSERT_TRUE(hwTimerArmedAt(&at));
    EXPECT_EQ(at, t0 + 30000);
    start(2, 1000);                      // earlier: armed anew
    ASSERT_TRUE(hwTimerArmedAt(&at));
    EXPECT_EQ(at, t0 + 10000);
    send(HW_TIMER_STOP, 2, 0);           // the first deadline moves later: left as armed
    start(3, 2000);
    ASSERT_TRUE(hwTimerArmedAt(&at));
    EXPECT_EQ(at, t0 + 10000);

    advance(10000);                      // what the armed base timer would find: nothing due
    EXPECT_TRUE(expiries().empty());
    advance(9990);
    EXPECT_TRUE(expiries().empty());
    advance(10);
    EXPECT_EQ(expiries(), (std::vector<Expiry>{{3, 1}}));
    advance(9990);
    EXPECT_TRUE(expiries().empty());
    advance(10);
    EXPECT_EQ(expiries(), (std::vector<Expiry>{{1, 1}}));
}

// The base timer in real time: waits are bounded and reached only on failure.
struct Shot {
    PlatSemaphore fired;
    std::atomic<int> count{0};
    std::function<void(Shot&)> action;

    Shot() { fired.create(0, 100); }
    static void callback(void* self) {
        auto* shot = static_cast<Shot*>(self);
        ++shot->count;
        if (shot->action) shot->action(*shot);
        shot->fired.release();
    }
};

TEST(OsBaseTimer, FiresOnceAndAStoppedTimerNever) {
    Shot once, stopped, barrier;
    OsBaseTimer* a = osBaseTimerCreate(&Shot::callback, &once);
    OsBaseTimer* b = osBaseTimerCreate(&Shot::callback, &stopped);
    OsBaseTimer* c = osBaseTimerCreate(&Shot::callback, &barrier);
    ASSERT_EQ(osBaseTimerStart(a, 10), 1);
    ASSERT_EQ(osBaseTimerStart(b, 20), 1);
    EXPECT_EQ(osBaseTimerStop(b), 1);
    ASSERT_EQ(osBaseTimerStart(c, 60), 1);
    // One timer thread fires in deadline order: once the barrier fired, the others are decided.
    ASSERT_EQ(barrier.fired.wait(kBounded), PlatWait::Signaled);
    EXPECT_EQ(once.count, 1);
    EXPECT_EQ(stopped.count, 0);
    for (OsBaseTimer* t : {a, b, c}) osBaseTimerDelete(t);
}

TEST(OsBaseTimer, ACallbackStartsItsTimerAgain) {
    Shot shot;
    OsBaseTimer* t = osBaseTimerCreate(&Shot::callback, &shot);
    shot.action = [t](Shot& s) {
        if (s.count == 1) {
            osBaseTimerStop(t);
            osBaseTimerStart(t, 1);
        }
    };
    ASSERT_EQ(osBaseTimerStart(t, 1), 1);
    ASSERT_EQ(shot.fired.wait(kBounded), PlatWait::Signaled);
    ASSERT_EQ(shot.fired.wait(kBounded), PlatWait::Signaled);
    EXPECT_EQ(shot.count, 2);
    osBaseTimerDelete(t);
}

TEST(OsBaseTimer, DeleteWaitsForARunningCallback) {
    PlatSemaphore entered, go;
    entered.create(0, 1);
    go.create(0, 1);
    Shot shot;
    std::atomic<bool> finished{false};
    shot.action = [&](Shot&) {
        entered.release();
        go.wait(kBounded);
        finished = true;
    };
    OsBaseTimer* t = osBaseTimerCreate(&Shot::callback, &shot);
    ASSERT_EQ(osBaseTimerStart(t, 1), 1);
    ASSERT_EQ(entered.wait(kBounded), PlatWait::Signaled);
    bool finishedWhenDeleted = false;
    std::thread deleter([&] {
        osBaseTimerDelete(t);
        finishedWhenDeleted = finished;
    });
    go.release();
    deleter.join();
    EXPECT_TRUE(finishedWhenDeleted);
}

TEST(OsBaseTimer, ATenthRunningTimerFindsNoSlot) {
    TraceCapture cap;
    Shot shot;
    std::vector<OsBaseTimer*> timers;
    for (uint32_t i = 0; i <= OS_BASE_TIMER_SLOTS; ++i) timers.push_back(osBaseTimerCreate(&Shot::callback, &shot));
    for (uint32_t i = 0; i < OS_BASE_TIMER_SLOTS; ++i) ASSERT_EQ(osBaseTimerStart(timers[i], 60000), 1);
    EXPECT_EQ(osBaseTimerStart(timers.back(), 60000), 0);
    EXPECT_TRUE(cap.contains("osBaseTimerStart: no free Timer found!"));
    for (OsBaseTimer* t : timers) osBaseTimerDelete(t);
    EXPECT_EQ(shot.count, 0);
}

} // namespace
