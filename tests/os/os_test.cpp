#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/os.h"
#include "platform.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

// A task that takes its message and hands it to the test.
struct Probe {
    uint16_t queue = 0;
    char tag = '?';
    std::vector<std::string>* log = nullptr;
    std::function<void(const OsMessage&)> onMessage;

    static void procedure(void* instance) {
        auto* self = static_cast<Probe*>(instance);
        OsMessage message{};
        ASSERT_EQ(osMessageReceive(self->queue, &message), OS_OK);
        self->log->push_back(std::string(1, self->tag) + std::to_string(message.command));
        if (self->onMessage) self->onMessage(message);
    }
};

OsMessage command(uint16_t code, uint32_t source = 0) {
    OsMessage message{};
    message.command = code;
    message.source = source;
    return message;
}

struct OsTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        osInit();
        osSetSchedulerHook(&OsTest::countWake, &wakes);
    }
    void TearDown() override {
        osSetSchedulerHook(nullptr, nullptr);
        osDone();
    }
    Probe& task(char tag, uint32_t name) {
        probes.push_back(std::make_unique<Probe>());
        Probe& p = *probes.back();
        p.tag = tag;
        p.log = &log;
        EXPECT_EQ(osTaskCreate(&p, &Probe::procedure, name, &p.queue), OS_OK);
        return p;
    }
    static void countWake(void* counter) { ++*static_cast<std::atomic<int>*>(counter); }

    TraceCapture cap;
    std::atomic<int> wakes{0};
    std::vector<std::string> log;
    std::vector<std::unique_ptr<Probe>> probes;
};

struct TransferFields {
    uint32_t cause;
    void* buffer;
    uint16_t length;
    uint8_t sap;
};

} // namespace

TEST_F(OsTest, QueuesAreFoundByNameAndCarryTypedFields) {
    uint16_t plain = 0;
    ASSERT_EQ(osQueueAllocate(0, &plain), OS_OK);
    EXPECT_EQ(plain, 0x100);
    EXPECT_EQ(osQueueSetName(plain, 0x133), OS_OK);
    EXPECT_EQ(osQueueSetName(plain, 0x134), OS_BAD_ID);     // named already
    Probe& manager = task('M', 0xB2);
    EXPECT_EQ(manager.queue, 0x101);
    EXPECT_TRUE(cap.contains("osTaskCreate(), ID=0xB2, entry proc "));

    uint16_t found = 0;
    ASSERT_EQ(osQueueFindByName(0x133, &found), OS_OK);
    EXPECT_EQ(found, plain);

    int payload = 0;
    OsMessage message = command(0x8601, 0xB2);
    osMsgSetFields(message, TransferFields{0x405, &payload, 300, 0x21});
    OsMessage seen{};
    manager.onMessage = [&](const OsMessage& m) { seen = m; };
    ASSERT_EQ(osMessageSendByName(&message, 0x33), OS_OK);
    EXPECT_EQ(osRunUntilIdle(), 1u);
    EXPECT_EQ(seen.source, 0x33u);
    auto fields = osMsgFields<TransferFields>(seen);
    EXPECT_EQ(fields.cause, 0x405u);
    EXPECT_EQ(fields.buffer, &payload);
    EXPECT_EQ(fields.length, 300);
    EXPECT_EQ(fields.sap, 0x21);

    message.source = 0x99;
    EXPECT_EQ(osMessageSendByName(&message, 0x33), OS_BAD_ID);
    EXPECT_TRUE(cap.contains("! Queue name 0x99 identifier not found"));
}

TEST_F(OsTest, TasksRunInPostingOrderAndPostsDuringAPassJoinIt) {
    Probe& a = task('A', 0xB1);
    Probe& b = task('B', 0xB2);
    int innerRun = -1;
    a.onMessage = [&](const OsMessage& m) {
        if (m.command != 1) return;
        OsMessage late = command(2);
        EXPECT_EQ(osMessageSend(b.queue, &late), OS_OK);
        innerRun = static_cast<int>(osRunUntilIdle());    // a pass is under way: no second pass
    };
    for (auto [queue, code] : {std::pair{a.queue, 1}, {b.queue, 1}, {a.queue, 3}}) {
        OsMessage m = command(static_cast<uint16_t>(code));
        ASSERT_EQ(osMessageSend(queue, &m), OS_OK);
    }
    EXPECT_EQ(wakes.load(), 1);       // only the post that found the ready list empty
    EXPECT_EQ(osRunUntilIdle(), 4u);
    EXPECT_EQ(log, (std::vector<std::string>{"A1", "B1", "A3", "B2"}));
    EXPECT_EQ(innerRun, 0);
    EXPECT_EQ(wakes.load(), 1);       // the post made during the pass did not wake anyone
    EXPECT_EQ(osRunUntilIdle(), 0u);
}

TEST_F(OsTest, ExhaustedElementsAnswerSixUntilOneIsReceived) {
    uint16_t queue = 0;
    ASSERT_EQ(osQueueAllocate(0x133, &queue), OS_OK);
    for (int i = 0; i < OS_MESSAGE_ELEMENTS; ++i) {
        OsMessage m = command(static_cast<uint16_t>(i));
        ASSERT_EQ(osMessageSend(queue, &m), OS_OK);
    }
    OsMessage extra = command(0x26);
    EXPECT_EQ(osMessageSend(queue, &extra), OS_NO_ELEMENT);
    EXPECT_TRUE(cap.contains("! osMessageSend(), queueID 0x0, cmd 0x26 no free queue element, in use 0,37"));

    OsMessage out{};
    ASSERT_EQ(osMessageReceive(queue, &out), OS_OK);
    EXPECT_EQ(out.command, 0);
    EXPECT_EQ(osMessageSend(queue, &extra), OS_OK);
    std::vector<uint16_t> order;
    while (osMessageReceive(queue, &out) == OS_OK) order.push_back(out.command);
    ASSERT_EQ(order.size(), 37u);
    EXPECT_EQ(order.front(), 1);
    EXPECT_EQ(order.back(), 0x26);
}

TEST_F(OsTest, BadQueueIdsAnswerTwoAsInternalFailures) {
    struct Case {
        uint16_t id;
        const char* trace;    // empty: only the internal-failure line
    };
    const Case cases[] = {{0x00FF, "!osCheckQueueID(),ID 0xFF is wrong"},
                          {0x010E, "!osCheckQueueID(),ID 0x10E is wrong"},
                          {0x0105, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        for (bool sending : {true, false}) {
            cap.clear();
            const uint32_t breaks = debugBreakCount();
            OsMessage m = command(1);
            EXPECT_EQ(sending ? osMessageSend(c.id, &m) : osMessageReceive(c.id, &m), OS_BAD_ID);
            EXPECT_EQ(debugBreakCount(), breaks + 1);
            EXPECT_TRUE(cap.contains("! DebuggerBreak ..\\..\\src\\nfc\\os\\os , line "));
            if (*c.trace) EXPECT_TRUE(cap.contains(c.trace));
            else EXPECT_FALSE(cap.contains("osCheckQueueID"));
        }
    }
}

TEST_F(OsTest, UnknownNameIsTracedUnlessItIsTheModuleManagers) {
    uint16_t id = 0;
    EXPECT_EQ(osQueueFindByName(0x1240, &id), OS_BAD_ID);
    EXPECT_FALSE(cap.contains("identifier not found"));
    EXPECT_EQ(osQueueFindByName(0x1241, &id), OS_BAD_ID);
    EXPECT_TRUE(cap.contains("! Queue name 0x1241 identifier not found"));
}

TEST_F(OsTest, BroadcastWithoutTargetsDoesNothing) {
    task('A', 0xB1);
    OsMessage m = command(7);
    EXPECT_EQ(osMessageSend(OS_QUEUE_BROADCAST, &m), OS_OK);
    EXPECT_EQ(wakes.load(), 0);
    EXPECT_EQ(osRunUntilIdle(), 0u);
    EXPECT_TRUE(log.empty());
}

TEST_F(OsTest, QueueTableHoldsFourteenQueues) {
    uint16_t id = 0;
    for (int i = 0; i < OS_QUEUE_COUNT; ++i) {
        ASSERT_EQ(osQueueAllocate(0x300u + i, &id), OS_OK);
        EXPECT_EQ(id, 0x100 + i);
    }
    EXPECT_EQ(osQueueAllocate(0x400, &id), OS_NO_SLOT);
    EXPECT_TRUE(cap.contains("! queue name table full"));
}

TEST_F(OsTest, TaskWithoutProcedureIsNeverCalledAndDoesNotHoardElements) {
    const uint32_t breaks = debugBreakCount();
    uint16_t id = 0;
    ASSERT_EQ(osTaskCreate(nullptr, nullptr, 0xB7, &id), OS_OK);
    EXPECT_EQ(debugBreakCount(), breaks + 1);
    for (int i = 0; i < OS_MESSAGE_ELEMENTS + 3; ++i) {
        OsMessage m = command(1);
        ASSERT_EQ(osMessageSend(id, &m), OS_OK);
        EXPECT_EQ(osRunUntilIdle(), 0u);
    }
    EXPECT_EQ(debugBreakCount(), breaks + 1 + OS_MESSAGE_ELEMENTS + 3);
    OsMessage out{};
    EXPECT_EQ(osMessageReceive(id, &out), OS_NO_ELEMENT);
}

TEST_F(OsTest, RandomSequenceFromItsSeed) {
    const uint16_t expected[] = {300, 1200, 4801, 19206};
    for (uint16_t value : expected) EXPECT_EQ(osRandom(), value);
}

// Posters on other threads against a dispatcher woken only by the scheduler hook: every
// message is handled and no wake-up is lost (a lost one shows as a time-out).
TEST_F(OsTest, PostsFromOtherThreadsAlwaysWakeTheDispatcher) {
    debugSetFlags(TRC_ERROR);
    PlatSemaphore wake;
    ASSERT_TRUE(wake.create(0, 0x7FFFFFFF));
    osSetSchedulerHook([](void* s) { static_cast<PlatSemaphore*>(s)->release(); }, &wake);
    Probe& sink = task('S', 0xB2);
    constexpr int kThreads = 4, kPosts = 300;
    struct Poster {
        uint16_t queue;
        static void run(void* arg) {
            auto* self = static_cast<Poster*>(arg);
            for (int i = 0; i < kPosts; ++i) {
                OsMessage m = command(static_cast<uint16_t>(i));
                while (osMessageSend(self->queue, &m) == OS_NO_ELEMENT) platYield();
            }
        }
    } poster{sink.queue};
    std::vector<PlatThread*> threads;
    for (int t = 0; t < kThreads; ++t) threads.push_back(platThreadStart("poster", &Poster::run, &poster));
    bool lostWake = false;
    while (log.size() < size_t{kThreads} * kPosts) {
        if (!lostWake && wake.wait(5000) != PlatWait::Signaled) lostWake = true;
        if (osRunUntilIdle() == 0 && lostWake) platYield();    // drain, so that the posters finish
    }
    EXPECT_FALSE(lostWake) << log.size() << " messages handled before the dispatcher missed a wake-up";
    for (PlatThread* t : threads) EXPECT_EQ(platThreadJoin(t, 5000), PlatWait::Signaled);
    EXPECT_EQ(osRunUntilIdle(), 0u);
}
