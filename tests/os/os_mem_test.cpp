#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/os.h"
#include "os/os_mem.h"
#include "platform.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

constexpr char kNoLeak[] = "osMemoryDone(), exit 0 bytes memory allocated (count 0)";

std::string withPointer(const char* format, const void* p) {
    char text[128];
    std::snprintf(text, sizeof text, format, p);
    return text;
}

struct OsMemTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        osInit();
    }
    // Every test ends with all OS memory given back.
    void TearDown() override {
        debugSetFlags(0xFFFFFFFFu);
        cap.clear();
        osDone();
        EXPECT_TRUE(cap.contains(kNoLeak));
    }
    uint16_t pool(uint32_t name, uint16_t length, uint16_t count) {
        uint16_t id = 0;
        EXPECT_EQ(osPoolCreate(name, length, count, &id), OS_OK);
        return id;
    }
    TraceCapture cap;
};

// Counts its runs; may take a buffer again from inside the callback.
struct ReleaseProbe {
    int runs = 0;
    std::function<void()> action;
    static void callback(void* self) {
        auto* p = static_cast<ReleaseProbe*>(self);
        ++p->runs;
        if (p->action) p->action();
    }
};

} // namespace

TEST_F(OsMemTest, SameNameAddsAPartitionAndRequestsTakeTheSmallestFit) {
    const uint16_t big = pool(0x133, 2051, 8);      // the larger partition first: the list sorts them
    const uint16_t small = pool(0x133, 262, 10);
    EXPECT_EQ(big, 0x100);
    EXPECT_EQ(small, big);
    EXPECT_EQ(osPoolFree(big), 18);
    uint16_t found = 0;
    EXPECT_EQ(osPoolFindByName(0x133, &found), OS_OK);
    EXPECT_EQ(found, big);
    EXPECT_EQ(osPoolFindByName(0x134, &found), OS_NOT_FOUND);

    struct Take {
        uint16_t size, count, fill;
    };
    std::vector<void*> taken;
    for (const Take& t : {Take{100, 10, 262}, Take{300, 8, 2051}}) {
        for (int i = 0; i < t.count; ++i) {
            void* p = nullptr;
            ASSERT_EQ(osBufferGet(big, t.size, &p, nullptr, nullptr), OS_OK) << t.size << " #" << i;
            ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
            std::memset(p, 0xA5, t.fill);      // the whole buffer is the caller's
            taken.push_back(p);
        }
    }
    for (uint16_t size : {300, 1}) {
        void* p = &found;
        EXPECT_EQ(osBufferGet(big, size, &p, nullptr, nullptr), OS_FAILED);
        EXPECT_EQ(p, nullptr);
    }
    EXPECT_TRUE(cap.contains("osBufferGet() "));
    for (void* p : taken) EXPECT_EQ(osBufferRelease(p), OS_OK);
    EXPECT_EQ(osPoolFree(big), 18);
}

TEST_F(OsMemTest, PartitionsBeyondTheBlockLimitAreRefused) {
    struct Case {
        uint16_t length, count;
        OsResult result;
    };
    const Case cases[] = {{6540, 10, OS_FAILED}, {262, 0, OS_FAILED}, {6540, 9, OS_OK}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        uint16_t id = 0;
        EXPECT_EQ(osPoolCreate(0x200u + c.count, c.length, c.count, &id), c.result);
        EXPECT_EQ(osPoolFindByName(0x200u + c.count, &id), c.result == OS_OK ? OS_OK : OS_NOT_FOUND);
    }
}

TEST_F(OsMemTest, ReleaseRefusesWhatIsNotATakenBuffer) {
    const uint16_t id = pool(0x133, 64, 2);
    void* twice = nullptr;
    void* inner = nullptr;
    ASSERT_EQ(osBufferGet(id, 64, &twice, nullptr, nullptr), OS_OK);
    ASSERT_EQ(osBufferRelease(twice), OS_OK);
    ASSERT_EQ(osBufferGet(id, 64, &inner, nullptr, nullptr), OS_OK);
    alignas(8) uint8_t foreign[64] = {};

    struct Case {
        void* pointer;
        const char* text;
    };
    const Case cases[] = {
        {twice, "! osBufferRelease() %p failed (already free, hPool 0x100)"},
        {foreign + 32, "! osBufferRelease() %p failed (bad pointer)"},
        {static_cast<uint8_t*>(inner) + 8, "! osBufferRelease() %p failed (bad pointer)"},
    };
    for (const Case& c : cases) {
        cap.clear();
        EXPECT_EQ(osBufferRelease(c.pointer), OS_FAILED);
        EXPECT_TRUE(cap.contains(withPointer(c.text, c.pointer))) << withPointer(c.text, c.pointer);
    }
    const uint32_t breaks = debugBreakCount();
    EXPECT_EQ(osBufferRelease(nullptr), OS_FAILED);
    EXPECT_EQ(debugBreakCount(), breaks + 1);
    EXPECT_EQ(osPoolFree(id), 1);     // the refusals changed nothing
    EXPECT_EQ(osBufferRelease(inner), OS_OK);
}

TEST_F(OsMemTest, AnAddressInsideABuffersDataLeadsBackToTheBuffer) {
    const uint16_t id = pool(0x134, 64, 2);
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(osBufferGet(id, 64, &first, nullptr, nullptr), OS_OK);
    ASSERT_EQ(osBufferGet(id, 64, &second, nullptr, nullptr), OS_OK);
    auto* bytes = static_cast<uint8_t*>(second);
    EXPECT_EQ(osBufferStartOf(second), second);
    EXPECT_EQ(osBufferStartOf(bytes + 1), second);
    EXPECT_EQ(osBufferStartOf(bytes + 63), second);
    EXPECT_EQ(osBufferStartOf(static_cast<uint8_t*>(first) + 5), first);
    EXPECT_EQ(osBufferStartOf(bytes - 1), nullptr);   // the header in front of the data
    alignas(8) uint8_t foreign[16] = {};
    EXPECT_EQ(osBufferStartOf(foreign), nullptr);
    EXPECT_EQ(osBufferRelease(osBufferStartOf(bytes + 7)), OS_OK);
    EXPECT_EQ(osBufferRelease(first), OS_OK);
    EXPECT_EQ(osPoolFree(id), 2);
}

TEST_F(OsMemTest, BadPoolHandlesAnswerThree) {
    const uint16_t id = pool(0x133, 64, 1);
    uint16_t unnamed = 0;
    ASSERT_EQ(osPoolCreate(0, 64, 1, &unnamed), OS_OK);
    void* p = nullptr;
    EXPECT_EQ(osBufferGet(0x50, 8, &p, nullptr, nullptr), OS_BAD_POOL);
    EXPECT_TRUE(cap.contains("! osBufferGet() bad pool handle 0xFF50"));
    EXPECT_EQ(osBufferGet(0x105, 8, &p, nullptr, nullptr), OS_BAD_POOL);
    EXPECT_TRUE(cap.contains("! osBufferGet() bad pool handle 0x5"));

    struct Case {
        const char* what;
        std::function<OsResult()> call;
        OsResult result;
        uint32_t breaks;
    };
    const Case cases[] = {
        {"free of a pool not in use", [] { return osPoolFree(0x107); }, OS_BAD_POOL, 1},
        {"name of a named pool", [&] { return osPoolSetName(id, 0x77); }, OS_BAD_POOL, 1},
        {"name of an out-of-range pool", [] { return osPoolSetName(0x108, 0x77); }, OS_BAD_POOL, 1},
        {"name of an unnamed pool", [&] { return osPoolSetName(unnamed, 0x77); }, OS_OK, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t before = debugBreakCount();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(debugBreakCount(), before + c.breaks);
    }
    uint16_t found = 0;
    EXPECT_EQ(osPoolFindByName(0x77, &found), OS_OK);
    EXPECT_EQ(found, unnamed);

    for (uint32_t name = 0x300; name < 0x306; ++name) pool(name, 8, 1);
    EXPECT_EQ(osPoolCreate(0x400, 8, 1, &found), OS_BAD_POOL);
}

TEST_F(OsMemTest, ReleaseCallbackRunsOnceAndMayTakeTheBufferAgain) {
    const uint16_t id = pool(0x133, 128, 1);
    void* first = nullptr;
    void* again = nullptr;
    ReleaseProbe probe;
    probe.action = [&] { EXPECT_EQ(osBufferGet(id, 16, &again, nullptr, nullptr), OS_OK); };
    ASSERT_EQ(osBufferGet(id, 128, &first, &ReleaseProbe::callback, &probe), OS_OK);
    EXPECT_TRUE(cap.contains(withPointer("osBufferGet() %p, size 0128, hPool=0x100  ,CB", first)));
    EXPECT_EQ(probe.runs, 0);
    ASSERT_EQ(osBufferRelease(first), OS_OK);
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(again, first);          // the buffer was free when its callback ran
    const std::string all = std::to_string(OS_BUFFER_CALLBACKS);
    EXPECT_TRUE(cap.contains("osExecuteBufferCallback, free cb elems " + all + ", free queues " + all));
    EXPECT_EQ(osBufferRelease(again), OS_OK);
    EXPECT_EQ(probe.runs, 1);
}

TEST_F(OsMemTest, CallbackElementsRunOutAfterTheLastAndComeBack) {
    const uint16_t id = pool(0x133, 16, OS_BUFFER_CALLBACKS + 1);
    ReleaseProbe probe;
    std::vector<void*> held(OS_BUFFER_CALLBACKS);
    for (void*& p : held) ASSERT_EQ(osBufferGet(id, 16, &p, &ReleaseProbe::callback, &probe), OS_OK);
    void* extra = nullptr;
    const uint32_t breaks = debugBreakCount();
    EXPECT_EQ(osBufferGet(id, 16, &extra, &ReleaseProbe::callback, &probe), OS_NO_CALLBACK);
    EXPECT_EQ(extra, nullptr);
    EXPECT_EQ(debugBreakCount(), breaks + 1);
    EXPECT_EQ(osPoolFree(id), 1);     // given back to the pool
    EXPECT_EQ(probe.runs, 0);
    for (void* p : held) EXPECT_EQ(osBufferRelease(p), OS_OK);
    EXPECT_EQ(probe.runs, OS_BUFFER_CALLBACKS);
    ASSERT_EQ(osBufferGet(id, 16, &extra, &ReleaseProbe::callback, &probe), OS_OK);
    EXPECT_EQ(osBufferRelease(extra), OS_OK);
}

// Threads take and release the same few buffers, each with its own callback: every callback
// runs once, for the buffer it was attached to, even when another thread takes it at once.
TEST_F(OsMemTest, CallbacksStayWithTheirBufferUnderConcurrentReuse) {
    debugSetFlags(TRC_ERROR);
    const uint16_t id = pool(0x133, 32, 2);
    constexpr int kThreads = 4, kRounds = 400;
    struct Worker {
        uint16_t pool;
        std::atomic<int> taken{0}, ran{0}, wrong{0};
        static void onRelease(void* self) {
            auto* w = static_cast<Worker*>(self);
            w->ran.fetch_add(1);
        }
        static void run(void* self) {
            auto* w = static_cast<Worker*>(self);
            for (int i = 0; i < kRounds; ++i) {
                void* p = nullptr;
                if (osBufferGet(w->pool, 32, &p, &Worker::onRelease, w) != OS_OK) {
                    platYield();
                    continue;
                }
                w->taken.fetch_add(1);
                if (osBufferRelease(p) != OS_OK) w->wrong.fetch_add(1);
            }
        }
    };
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<PlatThread*> threads;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::make_unique<Worker>());
        workers.back()->pool = id;
        threads.push_back(platThreadStart("buffers", &Worker::run, workers.back().get()));
    }
    for (PlatThread* t : threads) ASSERT_EQ(platThreadJoin(t, 10000), PlatWait::Signaled);
    for (const auto& w : workers) {
        EXPECT_GT(w->taken.load(), 0);
        EXPECT_EQ(w->ran.load(), w->taken.load());
        EXPECT_EQ(w->wrong.load(), 0);
    }
    EXPECT_EQ(osPoolFree(id), 2);
}

TEST_F(OsMemTest, AccountingReportsWhatIsStillAllocated) {
    void* memory = nullptr;
    ASSERT_EQ(osMemoryAllocate(100, &memory), OS_OK);
    EXPECT_TRUE(cap.contains(withPointer("osMemoryAllocate() %p , size 100 -> 100", memory)));
    const auto* bytes = static_cast<const uint8_t*>(memory);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0);
    const uint16_t id = pool(0x133, 262, 10);
    void* buffer = nullptr;
    ASSERT_EQ(osBufferGet(id, 20, &buffer, nullptr, nullptr), OS_OK);

    osDone();      // the pool goes with osDone; the loose allocation is a leak
    EXPECT_TRUE(cap.contains("osMemoryDone(), exit 100 bytes memory allocated (count 1)"));
    EXPECT_TRUE(cap.contains(" free partition "));
    osMemoryRelease(memory);
    EXPECT_TRUE(cap.contains(withPointer("osMemoryRelease() %p , size 100", memory)));
    osInit();
}
