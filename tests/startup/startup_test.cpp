#include <gtest/gtest.h>

#include <atomic>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "api/nfcapi_init.h"
#include "api/nfcapi_modules.h"
#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "os/os.h"
#include "stub_modules.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kManager = 0xB2;
constexpr uint8_t kCom = 0x33;
constexpr uint32_t kBounded = 2000;     // ms: only reached when something is broken
constexpr char kNoLeak[] = "osMemoryDone(), exit 0 bytes memory allocated (count 0)";
constexpr char kConfiguration[] = "READERTYPE=NCI";

int workerThreads() {
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        n += name == std::string("OS worker thread").substr(0, 15);
    }
    return n;
}

// Everything the fake modules and entry points report to.
struct World {
    StubModules stubs;
    std::vector<NfcapiRegistration> delivered;
    PlatSemaphore deliveredSignal;
    NfcapiState stateAtQueueing = NFCAPI_STATE_IDLE;
    NfcApiStatus initialiseWhileStarting = 0;
    int32_t comInitResult = 0;
    std::vector<void*> comShutdowns;
    std::vector<std::pair<uint32_t, TNfcDownloadRecord>> downloadEvents;
    int marker = 0;
};
World* g_world = nullptr;

OsResult registerTimer(uint16_t) { return hwTimerRegister(); }
OsResult registerCom(uint16_t) { return g_world->stubs.registerModule(kCom, 168, MM_TYPE_STACK_LAYER); }
OsResult registerManager(uint16_t) { return g_world->stubs.registerModule(kManager, 1588, MM_TYPE_TASK); }
OsResult registerSpare(uint16_t) { return g_world->stubs.registerModule(0x60, 0, MM_TYPE_TIMER); }

// A module whose start, on the caller's thread, registers an application as the API would,
// and then tries to initialise once more.
int32_t queueingStart(void*, uint32_t) {
    g_world->stateAtQueueing = nfcapiState();
    NfcApiStatus result = 0;
    {
        PlatLockGuard guard(nfcapiRegistrationLock());
        result = nfcapiQueueRegistration(NfcapiRegistration{&g_world->marker, nullptr, 7, 0});
    }
    g_world->initialiseWhileStarting = nfcapiInitialize(kConfiguration, nullptr, nullptr);
    return static_cast<int32_t>(result);
}
OsResult registerQueueing(uint16_t) { return osModuleRegister(0x70, 0, &queueingStart, nullptr, MM_TYPE_TIMER); }

NfcApiStatus deliver(const NfcapiRegistration& registration) {
    g_world->delivered.push_back(registration);
    g_world->deliveredSignal.release();
    return 0;
}

int32_t comInit(const char*, void*, uint32_t) { return g_world->comInitResult; }
void comShutdown(void* instance) { g_world->comShutdowns.push_back(instance); }
DWORD lowerOpen(const char*, const char*, TComCallback, void*, void**) { return 0; }
DWORD lowerResponse(void*, BYTE*) { return 0; }
const TComLowerInterface kLower = {&lowerOpen, nullptr, nullptr, &lowerResponse, nullptr, nullptr};
const TComLowerInterface* comLowerInterface(void*) { return &kLower; }
void onDownload(void*, uint32_t event, const TNfcDownloadRecord* record) { g_world->downloadEvents.emplace_back(event, *record); }

constexpr NfcapiModule kModules[] = {
    {"hardware timer", &registerTimer}, {"com layer", &registerCom}, {"NFC manager", &registerManager}};
constexpr NfcapiModule kQueueingModules[] = {
    {"hardware timer", &registerTimer}, {"application", &registerQueueing}, {"NFC manager", &registerManager}};
constexpr NfcapiModule kSevenModules[] = {{"hardware timer", &registerTimer}, {"com layer", &registerCom},
                                          {"NFC manager", &registerManager}, {"spare", &registerSpare},
                                          {"spare", &registerSpare}, {"spare", &registerSpare},
                                          {"spare", &registerSpare}};
const NfcapiComLayer kComLayer = {168, &comInit, &comShutdown, &comLowerInterface};
const NfcapiServices kServices = {kModules, std::size(kModules), kComLayer, &deliver};
const NfcapiServices kQueueingServices = {kQueueingModules, std::size(kQueueingModules), kComLayer, &deliver};
const NfcapiServices kSevenModuleServices = {kSevenModules, std::size(kSevenModules), kComLayer, &deliver};

struct StartupTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        world.deliveredSignal.create(0, 10);
        world.stubs.add(kManager);
        world.stubs.add(kCom);
        world.stubs.add(0x60);
        g_world = &world;
        nfcapiSetServices(&kServices);
    }
    void TearDown() override {
        EXPECT_EQ(nfcapiDone(), 0u);
        nfcapiSetServices(nullptr);
        g_world = nullptr;
    }

    // A stack that starts and stops cleanly, and the memory of every earlier start back.
    void expectCleanCycle() {
        nfcapiSetServices(&kServices);
        ASSERT_EQ(nfcapiInitialize(kConfiguration, nullptr, nullptr), 0u);
        const size_t before = cap.count(kNoLeak);
        EXPECT_EQ(nfcapiDone(), 0u);
        EXPECT_EQ(cap.count(kNoLeak), before + 1);
    }

    World world;
    TraceCapture cap;
};

TEST_F(StartupTest, InitialiseAndDoneThreeTimesLeaveNoMemoryAndNoThread) {
    for (size_t cycle = 1; cycle <= 3; ++cycle) {
        ASSERT_EQ(nfcapiInitialize(kConfiguration, nullptr, nullptr), 0u);
        EXPECT_NE(nfcapiState(), NFCAPI_STATE_IDLE);
        EXPECT_STREQ(nfcapiConfiguration(), "READERTYPE=NCI IOTYPE=SERIAL BAUDRATE=115200 HANDSHAKE=2");
        EXPECT_EQ(workerThreads(), 1);
        EXPECT_EQ(nfcapiInitialize(kConfiguration, nullptr, nullptr), 12u);
        EXPECT_TRUE(cap.contains("! system already initialized or initialize pending"));

        EXPECT_EQ(nfcapiDone(), 0u);
        EXPECT_EQ(nfcapiState(), NFCAPI_STATE_IDLE);
        EXPECT_STREQ(nfcapiConfiguration(), "");
        EXPECT_EQ(workerThreads(), 0);
        EXPECT_EQ(cap.count(kNoLeak), cycle);
        EXPECT_EQ(world.stubs.startOrder().size(), cycle);     // the manager, once per start
    }
    EXPECT_EQ(world.stubs.exitSegments().size(), 6u);         // com and the manager, each stop
}

TEST_F(StartupTest, ARegistrationQueuedWhileStartingReachesTheManagerOnceTheWorkerRuns) {
    nfcapiSetServices(&kQueueingServices);
    ASSERT_EQ(nfcapiInitialize(kConfiguration, nullptr, nullptr), 0u);
    ASSERT_EQ(world.deliveredSignal.wait(kBounded), PlatWait::Signaled);

    EXPECT_EQ(world.stateAtQueueing, NFCAPI_STATE_STARTING);
    EXPECT_EQ(world.initialiseWhileStarting, 12u);     // and the queued registration survived it
    ASSERT_EQ(world.delivered.size(), 1u);
    EXPECT_EQ(world.delivered[0].instance, &world.marker);
    EXPECT_EQ(world.delivered[0].value, 7);
    EXPECT_EQ(nfcapiState(), NFCAPI_STATE_RUNNING);
    EXPECT_TRUE(cap.contains("### brisgardOSRunNotification enter, queued registerApp messages 1"));
}

TEST_F(StartupTest, TimersRunOnTheWorkerThread) {
    ASSERT_EQ(nfcapiInitialize(kConfiguration, nullptr, nullptr), 0u);
    OsMessage start{};
    start.command = HW_TIMER_START;
    start.source = kManager;
    osMsgSetFields(start, HwTimerFields{9, 0, 0, 0, 2});
    uint16_t queue = 0;
    ASSERT_EQ(osGetTimerQueueID(&queue), OS_OK);
    ASSERT_EQ(osMessageSend(queue, &start), OS_OK);

    ASSERT_TRUE(world.stubs[kManager].waitFor(1, kBounded));
    const OsMessage expiry = world.stubs[kManager].received().at(0);
    EXPECT_EQ(expiry.command, HW_TIMER_EXPIRED);
    EXPECT_EQ(osMsgFields<HwTimerFields>(expiry).timerId, 9);
}

TEST_F(StartupTest, DoneOnTheWorkerThreadAnswers11) {
    ASSERT_EQ(nfcapiInitialize(kConfiguration, nullptr, nullptr), 0u);
    std::atomic<NfcApiStatus> fromWorker{0};
    PlatSemaphore answered;
    ASSERT_TRUE(answered.create(0, 1));
    world.stubs[kManager].onMessage = [&](const OsMessage&) {
        fromWorker = nfcapiDone();
        answered.release();
    };
    OsMessage poke{};
    poke.command = 0x7777;
    uint16_t manager = 0;
    ASSERT_EQ(osQueueFindByName(kManager, &manager), OS_OK);
    ASSERT_EQ(osMessageSend(manager, &poke), OS_OK);

    // The stub counts a message before its handler runs: the handler's own signal is waited for.
    ASSERT_EQ(answered.wait(kBounded), PlatWait::Signaled);
    ASSERT_TRUE(world.stubs[kManager].waitFor(1, kBounded));
    world.stubs[kManager].onMessage = nullptr;
    EXPECT_EQ(fromWorker.load(), 11u);
    EXPECT_EQ(nfcapiState(), NFCAPI_STATE_RUNNING);
}

TEST_F(StartupTest, DoneWithoutAStartTouchesNothing) {
    const uint32_t breaks = debugBreakCount();
    EXPECT_EQ(nfcapiDone(), 0u);
    EXPECT_EQ(nfcapiDone(), 0u);
    EXPECT_EQ(debugBreakCount(), breaks);
    EXPECT_FALSE(cap.contains("osMemoryDone"));
    expectCleanCycle();
}

TEST_F(StartupTest, TheConfigurationSetsTheTraceWordBeforeAnything) {
    ASSERT_EQ(nfcapiInitialize("TRACES.NFC=4 READERTYPE=NCI", nullptr, nullptr), 0u);
    EXPECT_EQ(debugGetFlags(), 4u);
    EXPECT_FALSE(cap.contains("nfcapiInitialize"));
    debugSetFlags(0xFFFFFFFFu);
    EXPECT_EQ(nfcapiDone(), 0u);
}

TEST_F(StartupTest, TheBannerNamesTheBuildAndTheSupportedChips) {
    ASSERT_EQ(nfcapiInitialize(kConfiguration, nullptr, nullptr), 0u);
    EXPECT_TRUE(cap.contains("# nfcapiInitialize() <READERTYPE=NCI> enter"));
    EXPECT_TRUE(cap.contains("1.0.153.0 (16.1.153.0)"));
    EXPECT_TRUE(cap.contains("Linux"));
    EXPECT_TRUE(cap.contains("supported chips:"));
    EXPECT_TRUE(cap.contains(" AMS NCI-AS3911"));
    EXPECT_TRUE(cap.contains("# nfcapiInitialize() exit 0x0"));
}

TEST_F(StartupTest, DownloadModeHandsOverTheComRecordAndDoneShutsItDown) {
    int context = 0;
    ASSERT_EQ(nfcapiInitialize("READERTYPE=PN544 IOTYPE=I2C FWDOWNLOAD=1", &onDownload, &context), 0u);
    EXPECT_TRUE(cap.contains("Download mode detected"));
    ASSERT_EQ(world.downloadEvents.size(), 1u);
    EXPECT_EQ(world.downloadEvents[0].first, NFCAPI_DOWNLOAD_READY);
    const TNfcDownloadRecord& record = world.downloadEvents[0].second;
    EXPECT_EQ(record.size, sizeof(TNfcDownloadRecord));
    EXPECT_EQ(record.transport.open, &lowerOpen);
    EXPECT_EQ(record.transport.response, nullptr);
    EXPECT_EQ(workerThreads(), 0);
    EXPECT_EQ(nfcapiInitialize(kConfiguration, nullptr, nullptr), 12u);

    EXPECT_EQ(nfcapiDone(), 0u);
    EXPECT_EQ(world.comShutdowns.size(), 1u);
    expectCleanCycle();
}

enum class Services { Fakes, FailingManager, SevenModules, Library, LibraryCom };

struct StartFailure {
    const char* name;
    const char* configuration;
    Services services;
    int32_t comInitResult;
    NfcApiStatus status;
    const char* trace;
};

void PrintTo(const StartFailure& c, std::ostream* os) { *os << c.name; }

class StartupFailure : public StartupTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartupFailure, AnswersAFailureAndLeavesNothingBehind) {
    const StartFailure& c = GetParam();
    static const NfcapiServices libraryCom = {kModules, std::size(kModules), NfcapiComLayer{}, &deliver};
    switch (c.services) {
    case Services::Fakes: break;
    case Services::FailingManager: world.stubs[kManager].startResult = -1; break;
    case Services::SevenModules: nfcapiSetServices(&kSevenModuleServices); break;
    case Services::Library: nfcapiSetServices(nullptr); break;
    case Services::LibraryCom: nfcapiSetServices(&libraryCom); break;
    }
    world.comInitResult = c.comInitResult;
    int context = 0;
    const uint32_t breaks = debugBreakCount();

    EXPECT_EQ(nfcapiInitialize(c.configuration, &onDownload, &context), c.status);
    EXPECT_TRUE(cap.contains(c.trace)) << c.trace;
    EXPECT_EQ(nfcapiState(), NFCAPI_STATE_IDLE);
    EXPECT_EQ(workerThreads(), 0);
    EXPECT_TRUE(world.downloadEvents.empty());
    EXPECT_EQ(nfcapiDone(), 0u);
    EXPECT_EQ(debugBreakCount(), breaks + (c.services == Services::SevenModules ? 1u : 0u));
    world.stubs[kManager].startResult = 0;
    expectCleanCycle();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupFailure,
    ::testing::Values(
        StartFailure{"KeywordWithoutValue", "READERTYPE PN544", Services::Fakes, 0, 5, "! init string has errors"},
        StartFailure{"ValuesAreCaseSensitive", "READERTYPE=nci", Services::Fakes, 0, 4, "! Reader type is 0, cannot start"},
        StartFailure{"NoBusType", "READERTYPE=PN544", Services::Fakes, 0, 4, "! transporttype is 0, cannot start"},
        StartFailure{"AModuleDoesNotStart", kConfiguration, Services::FailingManager, 0, 4, "! Start module failed"},
        StartFailure{"ASeventhModule", kConfiguration, Services::SevenModules, 0, 4, "! DebuggerBreak"},
        StartFailure{"DownloadWithoutComLayer", "READERTYPE=PN544 IOTYPE=I2C FWDOWNLOAD=1", Services::LibraryCom, 0, 4,
                     "! the com layer is not part of this build"},
        StartFailure{"DownloadComInitFails", "READERTYPE=PN544 IOTYPE=I2C FWDOWNLOAD=1", Services::Fakes, -1, 4,
                     "! comInit failed in download mode"}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

TEST(NfcapiTraceTag, NamesTheLibraryByItsFileName) {
    EXPECT_STREQ(nfcapiTraceTag("/usr/lib/libCorvane.so"), "corvaneIf");
    EXPECT_STREQ(nfcapiTraceTag("libCorvane.so"), "corvaneIf");
    EXPECT_STREQ(nfcapiTraceTag("/opt/Corvane/bin/test_startup"), "corvane2");
    EXPECT_STREQ(nfcapiTraceTag("/usr/lib/libcorvane.so"), "corvane2");
    EXPECT_STREQ(nfcapiTraceTag(""), "corvane2");
}

} // namespace
