// What the kernel is asked for by semaphores and events: nothing when a count or a set event is
// there, one futex wake by a releaser that finds a waiter asleep, one futex wait by that waiter,
// and one timed sleep for a wait that runs out. The system calls are counted per thread by the
// kernel's syscall tracepoint; where it refuses to count, or a sanitizer's runtime makes calls of
// its own beside ours, the tests skip.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel_counters.h"
#include "platform.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr uint32_t kBounded = 5000;   // ms: only reached when something is broken

// One primitive seen as something to give and to take.
struct Primitive {
    virtual ~Primitive() = default;
    virtual void give() = 0;
    virtual PlatWait take(uint32_t timeoutMs) = 0;
    virtual void rearm() {}   // what a taker does after its take, outside what is counted
};

struct Semaphore final : Primitive {
    PlatSemaphore s;
    Semaphore() { s.create(0, 1000); }
    void give() override { s.release(); }
    PlatWait take(uint32_t timeoutMs) override { return s.wait(timeoutMs); }
};

struct Event final : Primitive {
    PlatEvent e;
    bool manual;
    explicit Event(bool manualReset) : manual(manualReset) { e.create(manualReset, false); }
    void give() override { e.set(); }
    PlatWait take(uint32_t timeoutMs) override { return e.wait(timeoutMs); }
    void rearm() override {
        if (manual) e.reset();
    }
};

struct Kind {
    const char* name;
    std::function<std::unique_ptr<Primitive>()> make;
};

const Kind kKinds[] = {
    {"Semaphore", [] { return std::make_unique<Semaphore>(); }},
    {"AutoResetEvent", [] { return std::make_unique<Event>(false); }},
    {"ManualResetEvent", [] { return std::make_unique<Event>(true); }},
};

long voluntarySwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

class WaitCost : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (kSanitized) GTEST_SKIP() << "a sanitizer's runtime makes system calls of its own beside ours";
        if (!kcount::SyscallCounter().counted())
            GTEST_SKIP() << "this kernel does not count system calls for us (raw_syscalls tracepoint refused)";
        primitive = GetParam().make();
    }
    std::unique_ptr<Primitive> primitive;
};

} // namespace

TEST_P(WaitCost, AGiveAndATakeWithNobodyAsleepMakeNoSystemCall) {
    kcount::SyscallCounter mine;
    for (int k = 0; k < 1000; ++k) {
        primitive->give();
        ASSERT_EQ(primitive->take(PLAT_INFINITE), PlatWait::Signaled);
        primitive->rearm();
        ASSERT_EQ(primitive->take(0), PlatWait::Timeout);
    }
    EXPECT_EQ(mine.count(), 0u);
}

TEST_P(WaitCost, ATakeThatRunsOutSleepsOnceUntilItsDeadline) {
    kcount::SyscallCounter mine;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(primitive->take(30), PlatWait::Timeout);
    const uint64_t syscalls = mine.count();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(syscalls, 1u);
}

// Round after round a taker announces that it is about to take and takes; the giver gives once it
// has heard. Neither side ever makes more than one system call; whenever the taker did go to
// sleep, its take was one futex wait and the give one futex wake.
TEST_P(WaitCost, AHandOffToASleepingTakerIsOneWakeAndOneWait) {
    constexpr int kRounds = 50;
    struct Round {
        uint64_t giver = 0, taker = 0;
        bool slept = false;
        PlatWait taken = PlatWait::Failed;
    };
    std::vector<Round> rounds(kRounds);
    PlatSemaphore about, done;
    ASSERT_TRUE(about.create(0, 1));
    ASSERT_TRUE(done.create(0, 1));
    std::thread taker([&] {
        for (Round& r : rounds) {
            about.release();
            kcount::SyscallCounter mine;
            const long switches = voluntarySwitches();
            const uint64_t before = mine.count();
            r.taken = primitive->take(kBounded);
            r.taker = mine.count() - before;
            r.slept = voluntarySwitches() > switches;
            primitive->rearm();
            done.release();
        }
    });
    for (Round& r : rounds) {
        ASSERT_EQ(about.wait(kBounded), PlatWait::Signaled);
        kcount::SyscallCounter mine;
        primitive->give();
        r.giver = mine.count();
        ASSERT_EQ(done.wait(kBounded), PlatWait::Signaled);
    }
    taker.join();
    int slept = 0;
    for (size_t k = 0; k < rounds.size(); ++k) {
        const Round& r = rounds[k];
        EXPECT_EQ(r.taken, PlatWait::Signaled) << "round " << k;
        EXPECT_LE(r.taker, 1u) << "round " << k;
        EXPECT_LE(r.giver, 1u) << "round " << k;
        if (r.slept) {
            EXPECT_EQ(r.taker + r.giver, 2u) << "round " << k;
        }
        slept += r.slept;
    }
    EXPECT_GT(slept, 0) << "the taker never slept: the rounds proved nothing";
}

INSTANTIATE_TEST_SUITE_P(Primitives, WaitCost, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });
