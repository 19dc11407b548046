#include <gtest/gtest.h>

#include "os/os_thread.h"
#include "platform.h"

TEST(OsSemaphore, CreationChecksItsCounts) {
    struct Case {
        uint32_t initial, maximum;
        bool created;
    };
    const Case cases[] = {{0, 1, true},           {2, 2, true},          {3, 2, false},
                          {0, 0, false},          {0, 0x7FFFFFFF, true}, {0, 0x80000000u, false}};
    for (const Case& c : cases) {
        OsSemaphore* box = osSemaphoreCreate(c.initial, c.maximum);
        EXPECT_EQ(box != nullptr, c.created) << c.initial << "/" << c.maximum;
        EXPECT_EQ(osSemaphoreDelete(box), c.created ? 1 : 0);
    }
}

TEST(OsSemaphore, ReleaseStopsAtTheMaximumAndWaitsTimeOut) {
    OsSemaphore* box = osSemaphoreCreate(0, 2);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->semaphore.release());
    EXPECT_TRUE(box->semaphore.release());
    EXPECT_FALSE(box->semaphore.release());
    EXPECT_EQ(box->semaphore.wait(0), PlatWait::Signaled);
    EXPECT_EQ(box->semaphore.wait(0), PlatWait::Signaled);
    EXPECT_EQ(box->semaphore.wait(20), PlatWait::Timeout);
    EXPECT_EQ(osSemaphoreDelete(box), 1);
}

TEST(OsThread, RunsItsProcedureUnderItsName) {
    EXPECT_EQ(osThreadCreate(nullptr, nullptr, "none"), nullptr);
    OsSemaphore* done = osSemaphoreCreate(0, 1);
    ASSERT_NE(done, nullptr);
    OsThread* thread = osThreadCreate([](void* box) { static_cast<OsSemaphore*>(box)->semaphore.release(); }, done, "os test");
    ASSERT_NE(thread, nullptr);
    EXPECT_STREQ(thread->name, "os test");
    EXPECT_EQ(thread->id, platThreadId(thread->handle));
    EXPECT_EQ(done->semaphore.wait(5000), PlatWait::Signaled);
    EXPECT_EQ(platThreadJoin(thread->handle, 5000), PlatWait::Signaled);
    delete thread;
    osSemaphoreDelete(done);
}

TEST(OsStopwatch, CountsFromItsStartAndIgnoresUnknownSlots) {
    EXPECT_EQ(osStopwatchElapsed(0), 0u);      // no frequency read yet
    osStopwatchInit();
    osStopwatchStart(OS_STOPWATCH_SLOTS - 1);
    const uint32_t first = osStopwatchElapsed(OS_STOPWATCH_SLOTS - 1);
    EXPECT_LT(first, 1000u);
    EXPECT_GE(osStopwatchElapsed(OS_STOPWATCH_SLOTS - 1), first);
    osStopwatchStart(OS_STOPWATCH_SLOTS);
    EXPECT_EQ(osStopwatchElapsed(OS_STOPWATCH_SLOTS), 0u);
}
