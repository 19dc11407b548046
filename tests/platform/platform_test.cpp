#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform.h"

TEST(PlatSemaphore, ReleaseBeyondMaximumFailsAndChangesNothing) {
    PlatSemaphore s;
    ASSERT_TRUE(s.create(0, 2));
    EXPECT_TRUE(s.release(2));
    EXPECT_FALSE(s.release(1));
    EXPECT_EQ(s.count(), 2u);
    EXPECT_EQ(s.wait(0), PlatWait::Signaled);
    EXPECT_EQ(s.wait(0), PlatWait::Signaled);
    EXPECT_EQ(s.wait(10), PlatWait::Timeout);
}

TEST(PlatSemaphore, WaitOnInvalidOrDestroyedSemaphoreFailsAtOnce) {
    PlatSemaphore s;
    EXPECT_EQ(s.wait(PLAT_INFINITE), PlatWait::Failed);
    EXPECT_FALSE(s.release());
    ASSERT_TRUE(s.create(0, 1));

    PlatEvent started;
    started.create(true, false);
    struct Ctx { PlatSemaphore* s; PlatEvent* started; std::atomic<int> result{-1}; } ctx{&s, &started};
    PlatThread* t = platThreadStart("waiter", [](void* a) {
        auto* c = static_cast<Ctx*>(a);
        c->started->set();
        c->result = static_cast<int>(c->s->wait(PLAT_INFINITE));
    }, &ctx);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(started.wait(5000), PlatWait::Signaled);
    s.destroy();
    ASSERT_EQ(platThreadJoin(t, 5000), PlatWait::Signaled);
    // Either it was already waiting or it arrived after the destroy: both fail.
    EXPECT_EQ(ctx.result.load(), static_cast<int>(PlatWait::Failed));
}

TEST(PlatSemaphore, ReleasesOfSeveralCountsStopAtTheMaximumAndCreationKeepsItToAWindowsCount) {
    PlatSemaphore s;
    EXPECT_FALSE(s.create(0, 0x80000000u));
    EXPECT_FALSE(s.valid());
    ASSERT_TRUE(s.create(1, 3));
    EXPECT_FALSE(s.release(3));
    EXPECT_FALSE(s.release(0));
    EXPECT_EQ(s.count(), 1u);
    EXPECT_TRUE(s.release(2));
    EXPECT_EQ(s.count(), 3u);
    PlatSemaphore widest;
    ASSERT_TRUE(widest.create(0x7FFFFFFFu, 0x7FFFFFFFu));
    EXPECT_FALSE(widest.release());
    EXPECT_EQ(widest.wait(0), PlatWait::Signaled);
    EXPECT_EQ(widest.count(), 0x7FFFFFFEu);
}

// Many waiters, releases of several counts at a time: each count is taken exactly once and no
// waiter is left asleep while a count lies there (a lost wake-up shows as a time-out).
TEST(PlatSemaphore, ManyWaitersTakeEveryCountOnce) {
    constexpr int kWaiters = 8, kTakes = 200;
    PlatSemaphore s;
    ASSERT_TRUE(s.create(0, kWaiters * kTakes));
    std::atomic<int> taken{0}, timedOut{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w)
        waiters.emplace_back([&] {
            for (int k = 0; k < kTakes; ++k) {
                if (s.wait(5000) == PlatWait::Signaled) ++taken;
                else ++timedOut;
            }
        });
    for (int given = 0; given < kWaiters * kTakes;) {
        const uint32_t n = static_cast<uint32_t>(std::min(1 + given % 7, kWaiters * kTakes - given));
        ASSERT_TRUE(s.release(n));
        given += static_cast<int>(n);
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(taken.load(), kWaiters * kTakes);
    EXPECT_EQ(timedOut.load(), 0);
    EXPECT_EQ(s.count(), 0u);
}

// Waits that run out while counts arrive take a count or leave it: none is lost or taken twice.
TEST(PlatSemaphore, WaitsThatRunOutLoseNoCount) {
    constexpr int kWaiters = 6, kTries = 300, kGiven = 500;
    PlatSemaphore s;
    ASSERT_TRUE(s.create(0, kGiven));
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w)
        waiters.emplace_back([&, w] {
            for (int k = 0; k < kTries; ++k)
                if (s.wait(static_cast<uint32_t>((k + w) % 2)) == PlatWait::Signaled) ++taken;
        });
    for (int k = 0; k < kGiven; ++k) ASSERT_TRUE(s.release());
    for (auto& t : waiters) t.join();
    EXPECT_EQ(taken.load() + static_cast<int>(s.count()), kGiven);
}

// An auto-reset set wakes one waiter and is used up by it; a manual-reset set wakes every waiter.
TEST(PlatEvent, AnAutoResetSetWakesOneWaiterAndAManualResetSetWakesAll) {
    constexpr int kWaiters = 6;
    for (const bool manual : {false, true}) {
        PlatEvent e;
        ASSERT_TRUE(e.create(manual, false));
        PlatSemaphore waiting, woke;
        ASSERT_TRUE(waiting.create(0, kWaiters));
        ASSERT_TRUE(woke.create(0, kWaiters));
        std::atomic<int> signaled{0};
        std::vector<std::thread> waiters;
        for (int w = 0; w < kWaiters; ++w)
            waiters.emplace_back([&] {
                waiting.release();
                if (e.wait(5000) == PlatWait::Signaled) ++signaled;
                woke.release();
            });
        for (int w = 0; w < kWaiters; ++w) ASSERT_EQ(waiting.wait(5000), PlatWait::Signaled);
        if (manual) {
            e.set();
            for (int w = 0; w < kWaiters; ++w) ASSERT_EQ(woke.wait(5000), PlatWait::Signaled);
            EXPECT_EQ(e.wait(0), PlatWait::Signaled);
        } else {
            for (int w = 0; w < kWaiters; ++w) {
                e.set();
                ASSERT_EQ(woke.wait(5000), PlatWait::Signaled) << "set " << w;
            }
            EXPECT_EQ(e.wait(0), PlatWait::Timeout);
        }
        for (auto& t : waiters) t.join();
        EXPECT_EQ(signaled.load(), kWaiters) << (manual ? "manual" : "auto");
    }
}

TEST(PlatEvent, AutoResetWakesOnceManualStaysSet) {
    PlatEvent autoEv, manualEv;
    autoEv.create(false, true);
    manualEv.create(true, true);
    EXPECT_EQ(autoEv.wait(0), PlatWait::Signaled);
    EXPECT_EQ(autoEv.wait(0), PlatWait::Timeout);
    EXPECT_EQ(manualEv.wait(0), PlatWait::Signaled);
    EXPECT_EQ(manualEv.wait(0), PlatWait::Signaled);
    manualEv.reset();
    EXPECT_EQ(manualEv.wait(0), PlatWait::Timeout);
}

namespace {
long voluntarySwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}
} // namespace

// The worker and every exported call poll with a zero time-out on each request; a poll that went
// to sleep until an expired deadline would add the kernel's timer slack to every round trip.
TEST(PlatWaitZero, OnlyLooksAndNeverSleeps) {
    PlatSemaphore s;
    ASSERT_TRUE(s.create(0, 1));
    PlatEvent e;
    e.create(false, false);
    PlatEvent go;
    go.create(true, false);
    PlatThread* t = platThreadStart("held", [](void* a) { static_cast<PlatEvent*>(a)->wait(5000); }, &go);
    ASSERT_NE(t, nullptr);
    const long before = voluntarySwitches();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(s.wait(0), PlatWait::Timeout);
        ASSERT_EQ(e.wait(0), PlatWait::Timeout);
        ASSERT_EQ(platThreadJoin(t, 0), PlatWait::Timeout);
    }
    EXPECT_LT(voluntarySwitches() - before, 20);
    go.set();
    ASSERT_EQ(platThreadJoin(t, 5000), PlatWait::Signaled);
}

// A waiter frees the primitive as soon as its wait returns, while the waker may still be
// inside release or set: the sanitizers report any touch of the freed memory.
TEST(PlatWake, APrimitiveFreedRightAfterItsWaitReturnsIsSafe) {
    for (int round = 0; round < 200; ++round) {
        auto semaphore = std::make_unique<PlatSemaphore>();
        auto event = std::make_unique<PlatEvent>();
        ASSERT_TRUE(semaphore->create(0, 1));
        ASSERT_TRUE(event->create(round % 2 == 0, false));
        PlatSemaphore* s = semaphore.get();
        PlatEvent* e = event.get();
        std::thread waker([s, e] {
            s->release();
            e->set();
        });
        ASSERT_EQ(semaphore->wait(5000), PlatWait::Signaled);
        semaphore.reset();
        ASSERT_EQ(event->wait(5000), PlatWait::Signaled);
        event.reset();
        waker.join();
    }
}

TEST(PlatLock, IsReentrantAndInvalidLockIsHarmless) {
    PlatLock never;
    never.lock();     // not created: must neither block nor crash
    never.unlock();
    PlatLock l;
    l.create();
    l.lock();
    l.lock();
    l.unlock();
    l.unlock();
    l.destroy();
}

// A destroy while a thread holds the lock would leave that thread's unlock with nothing to do,
// and the lock held for good: it is refused, whoever holds it, and every holder still lets go.
TEST(PlatLock, ADestroyOfAHeldLockIsRefusedAndTheHolderStillLetsGo) {
    auto l = std::make_shared<PlatLock>();
    l->create();
    l->lock();
    EXPECT_FALSE(l->destroy());
    l->unlock();

    PlatEvent held, letGo;
    held.create(true, false);
    letGo.create(true, false);
    std::thread holder([&] {
        l->lock();
        held.set();
        letGo.wait(5000);
        l->unlock();
    });
    ASSERT_EQ(held.wait(5000), PlatWait::Signaled);
    EXPECT_FALSE(l->destroy());
    EXPECT_TRUE(l->valid());
    letGo.set();
    holder.join();

    // The lock is free, also once it is made valid again as the next start does: the next thread
    // takes it at once.
    l->create();
    auto taken = std::make_shared<PlatEvent>();
    taken->create(true, false);
    std::thread([l, taken] {
        l->lock();
        l->unlock();
        taken->set();
    }).detach();
    EXPECT_EQ(taken->wait(5000), PlatWait::Signaled);
    EXPECT_TRUE(l->destroy());
}

TEST(PlatThread, JoinFromOwnThreadIsRefused) {
    struct Ctx { PlatThread* self = nullptr; PlatEvent go; std::atomic<int> r{-1}; } ctx;
    ctx.go.create(true, false);
    ctx.self = platThreadStart("selfjoin", [](void* a) {
        auto* c = static_cast<Ctx*>(a);
        c->go.wait(5000);
        c->r = static_cast<int>(platThreadJoin(c->self, 0));
    }, &ctx);
    ASSERT_NE(ctx.self, nullptr);
    ctx.go.set();
    ASSERT_EQ(platThreadJoin(ctx.self, 5000), PlatWait::Signaled);
    EXPECT_EQ(ctx.r.load(), static_cast<int>(PlatWait::Failed));
}

// The id is kept per thread after the first question: each thread still gets its own, and a
// forked child, whose one thread is new, gets the child's.
TEST(PlatThread, CurrentIdIsTheKernelsForEveryThreadAndAfterAFork) {
    const uint32_t mine = platCurrentThreadId();
    EXPECT_EQ(mine, static_cast<uint32_t>(gettid()));
    EXPECT_EQ(platCurrentThreadId(), mine);
    struct Ctx { std::atomic<uint32_t> seen{0}, kernel{0}; } ctx;
    PlatThread* t = platThreadStart("tid", [](void* a) {
        auto* c = static_cast<Ctx*>(a);
        c->seen = platCurrentThreadId();
        c->kernel = static_cast<uint32_t>(gettid());
    }, &ctx);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(platThreadJoin(t, 5000), PlatWait::Signaled);
    EXPECT_EQ(ctx.seen.load(), ctx.kernel.load());
    EXPECT_NE(ctx.seen.load(), mine);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(platCurrentThreadId() == static_cast<uint32_t>(gettid()) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(PlatTimer, FiresOnceAndCancelStopsIt) {
    PlatEvent fired;
    fired.create(false, false);
    uint32_t id = platTimerStart(1, [](void* a) { static_cast<PlatEvent*>(a)->set(); }, &fired);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(fired.wait(5000), PlatWait::Signaled);
    EXPECT_FALSE(platTimerCancel(id));

    std::atomic<int> calls{0};
    uint32_t late = platTimerStart(60000, [](void* a) { ++*static_cast<std::atomic<int>*>(a); }, &calls);
    EXPECT_TRUE(platTimerCancel(late));
    EXPECT_EQ(calls.load(), 0);
}

TEST(PlatTimer, CancellingTheTimerTheThreadWaitsForKeepsItsDeadlineSound) {
    // When the timer thread waits for the 60 s deadline, the cancel frees that entry and the next
    // start wakes the thread, which must not read the freed deadline (AddressSanitizer shows it).
    // Whether the thread waits already is up to the scheduler, so the pattern repeats.
    std::atomic<int> calls{0};
    PlatEvent fired;
    fired.create(false, false);
    for (int i = 0; i < 2000; ++i) {
        uint32_t waitedFor = platTimerStart(60000, [](void* a) { ++*static_cast<std::atomic<int>*>(a); }, &calls);
        EXPECT_TRUE(platTimerCancel(waitedFor));
        ASSERT_NE(platTimerStart(0, [](void* a) { static_cast<PlatEvent*>(a)->set(); }, &fired), 0u);
        ASSERT_EQ(fired.wait(5000), PlatWait::Signaled);
    }
    EXPECT_EQ(calls.load(), 0);
}

TEST(PlatTime, TickSourceSeamAndMonotonicRestore) {
    static uint32_t fake = 42;
    PlatTickSource prev = platSetTickSource([] { return fake; });
    EXPECT_EQ(platTickMs(), 42u);
    platSetTickSource(prev);
    uint32_t a = platTickMs();
    EXPECT_NE(a, 42u);
    EXPECT_GE(platHighResCounter(), 1u);
}

TEST(PlatLoader, MissingLibraryReportsErrorAndFoldersEndWithSlash) {
    std::string error;
    EXPECT_EQ(platLibraryOpen("/nonexistent/libnothing.so", &error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(platExecutableFolder().back(), '/');
    EXPECT_EQ(platLibraryFolder().back(), '/');
    EXPECT_FALSE(platErrorText(2).empty());
}
