#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "os/os.h"
#include "os/os_mem.h"
#include "os_send.h"
#include "stub_modules.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kCom = 0x33;
constexpr uint8_t kEtsi = 0xB5;
constexpr uint8_t kManager = 0xB2;
constexpr char kNoLeak[] = "osMemoryDone(), exit 0 bytes memory allocated (count 0)";

template <typename T>
T fieldsOf(const StubModule& module, uint16_t command, size_t nth = 0) {
    for (const OsMessage& message : module.received())
        if (message.command == command && nth-- == 0) return osMsgFields<T>(message);
    ADD_FAILURE() << "no message 0x" << std::hex << command;
    return T{};
}

uint16_t queueOf(uint32_t name) {
    uint16_t id = 0;
    EXPECT_EQ(osQueueFindByName(name, &id), OS_OK);
    return id;
}

struct MmTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        osInit();
        ASSERT_EQ(osPoolCreate(0xF1, 128, 2, &globalPool), OS_OK);
        mmInit();
    }
    void TearDown() override {
        osDone();
        EXPECT_TRUE(cap.contains(kNoLeak));
    }

    void registerStub(uint8_t name, uint16_t segment, uint16_t type) {
        if (!stubs.has(name)) stubs.add(name);
        ASSERT_EQ(stubs.registerModule(name, segment, type), OS_OK);
    }

    // The timer module announces the layer-1 entries; com and the ETSI task wait for a build;
    // the NFC manager starts at once.
    void registerEtsiStack(int32_t middleResult = 0, bool middleTask = true, bool withMiddle = true) {
        ASSERT_EQ(hwTimerRegister(), OS_OK);
        registerStub(kCom, 168, MM_TYPE_STACK_LAYER);
        if (withMiddle) {
            stubs.add(kEtsi).startResult = middleResult;
            stubs[kEtsi].createsTask = middleTask;
            registerStub(kEtsi, 844, MM_TYPE_STACK_LAYER);
        }
        registerStub(kManager, 1588, MM_TYPE_TASK);
        osRunUntilIdle();
    }

    // The build request as the NFC manager sends it, byte for byte.
    void* requestBuild(uint16_t flags = 0) {
        uint8_t bytes[34] = {0x01, 0x00, 0x02, 0x00, 0x00, 0x00, kEtsi, 0x00, 0x00, 0x00, 0, 0, 0x00, 0x00,
                             0x0A, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x08};
        const uint16_t requester = queueOf(kManager);
        std::memcpy(bytes + 10, &requester, 2);
        void* buffer = nullptr;
        EXPECT_EQ(osBufferGet(globalPool, sizeof bytes, &buffer, nullptr, nullptr), OS_OK);
        std::memcpy(buffer, bytes, sizeof bytes);
        sendToManager(MM_BUILD_REQ, MmBuildFields{kEtsi, flags, static_cast<MmStackDescriptor*>(buffer)});
        return buffer;
    }

    template <typename T>
    void sendToManager(uint16_t command, const T& fields) {
        sendAndRun(queueOf(MM_QUEUE_NAME), command, kManager, fields);
    }

    TraceCapture cap;
    StubModules stubs;
    uint16_t globalPool = 0;
};

TEST_F(MmTest, OrdinaryModulesStartWhenTheyRegisterStackModulesWait) {
    registerStub(kManager, 1588, MM_TYPE_TASK);
    registerStub(kCom, 168, MM_TYPE_STACK_LAYER);
    registerStub(0x50, 0, MM_TYPE_TIMER);
    osRunUntilIdle();

    EXPECT_EQ(stubs.startOrder(), (std::vector<std::string>{"B2", "50"}));
    EXPECT_TRUE(stubs[kCom].startWords.empty());
    ASSERT_NE(stubs[kManager].segments[0], nullptr);
    const auto* segment = static_cast<const uint8_t*>(stubs[kManager].segments[0]);
    EXPECT_EQ(std::vector<uint8_t>(segment, segment + 1588), std::vector<uint8_t>(1588, 0));
    EXPECT_TRUE(cap.contains("(len 1588)"));
    EXPECT_EQ(stubs[0x50].segments[0], nullptr);
    EXPECT_EQ(mmFailedRegistrations(), 0u);
}

TEST_F(MmTest, AFailedStartGivesItsRecordBack) {
    stubs.add(0x60).startResult = -1;
    registerStub(0x60, 64, MM_TYPE_TASK);
    for (uint8_t name = 0x61; name <= 0x66; ++name) registerStub(name, 0, MM_TYPE_TIMER);
    osRunUntilIdle();

    EXPECT_TRUE(cap.contains("! Start module failed"));
    EXPECT_EQ(mmFailedRegistrations(), 1u);
    EXPECT_EQ(stubs.startOrder(), (std::vector<std::string>{"60", "61", "62", "63", "64", "65", "66"}));
}

TEST_F(MmTest, ASeventhModuleFindsNoRecordAndIsDropped) {
    for (uint8_t name = 0x61; name <= 0x67; ++name) registerStub(name, 0, MM_TYPE_TIMER);
    const uint32_t breaks = debugBreakCount();
    osRunUntilIdle();

    EXPECT_EQ(stubs.startOrder().size(), 6u);
    EXPECT_TRUE(stubs[0x67].startWords.empty());
    EXPECT_EQ(debugBreakCount(), breaks + 1);
    EXPECT_EQ(mmFailedRegistrations(), 1u);
}

TEST_F(MmTest, DoneCallsEveryExitFunctionWithItsSegment) {
    registerStub(kCom, 168, MM_TYPE_STACK_LAYER);
    registerStub(kManager, 1588, MM_TYPE_TASK);
    osRunUntilIdle();
    void* managerSegment = stubs[kManager].segments.at(0);
    osDone();
    EXPECT_EQ(stubs.exitSegments(), (std::vector<void*>{nullptr, managerSegment}));
    osInit();     // for TearDown
}

TEST_F(MmTest, EtsiBuildStartsComAndTheEtsiTaskAndLinksThem) {
    registerEtsiStack();
    void* descriptor = requestBuild();

    EXPECT_EQ(stubs.startOrder(), (std::vector<std::string>{"B2", "33", "B5"}));
    EXPECT_EQ(stubs[kCom].startWords, std::vector<uint32_t>{0x20033});
    EXPECT_EQ(stubs[kEtsi].startWords, std::vector<uint32_t>{0x200B5});

    uint16_t pool1 = 0, pool2 = 0;
    ASSERT_EQ(osPoolFindByName(0x201F7, &pool1), OS_OK);
    ASSERT_EQ(osPoolFindByName(0x202F7, &pool2), OS_OK);
    const auto etsiLink = fieldsOf<MmLinkProtocolFields>(stubs[kEtsi], MM_LINK_PROTOCOL);
    EXPECT_EQ(etsiLink.above, queueOf(kManager));
    EXPECT_EQ(etsiLink.below, queueOf(0x20033));
    EXPECT_EQ(etsiLink.pool1, pool1);
    EXPECT_EQ(etsiLink.pool2, pool2);
    EXPECT_EQ(etsiLink.pool0, 0);
    EXPECT_EQ(etsiLink.protocol, 2);
    const auto comLink = fieldsOf<MmLinkProtocolFields>(stubs[kCom], MM_LINK_PROTOCOL);
    EXPECT_EQ(comLink.above, queueOf(0x200B5));
    EXPECT_EQ(comLink.below, 0);
    EXPECT_EQ(stubs[kManager].count(MM_LINK_PROTOCOL), 0u);

    const auto answer = fieldsOf<MmBuildAnswerFields>(stubs[kManager], MM_BUILD_ANSWER);
    EXPECT_EQ(answer.result, MM_BUILD_OK);
    EXPECT_EQ(static_cast<void*>(answer.descriptor), descriptor);
    MmBuildResult words;
    std::memcpy(&words, descriptor, sizeof words);
    EXPECT_NE(words.stack, nullptr);
    EXPECT_EQ(words.top, 0u);
    EXPECT_EQ(words.middle, 0x200B5u);
    EXPECT_EQ(words.bottom, 0x20033u);

    // Each pool: 10 buffers of 262 bytes and 8 of 2051.
    for (uint16_t pool : {pool1, pool2}) {
        std::vector<void*> large(8);
        for (void*& buffer : large) ASSERT_EQ(osBufferGet(pool, 263, &buffer, nullptr, nullptr), OS_OK);
        void* none = nullptr;
        EXPECT_NE(osBufferGet(pool, 263, &none, nullptr, nullptr), OS_OK);
        EXPECT_EQ(osPoolFree(pool), 10);
        for (void* buffer : large) osBufferRelease(buffer);
    }
    osBufferRelease(descriptor);
}

TEST_F(MmTest, ReleaseTellsTheBottomAndARebuildLinksTheSameModulesAgain) {
    registerEtsiStack();
    osBufferRelease(requestBuild());
    MmStackRecord* stack = nullptr;
    const auto first = fieldsOf<MmBuildAnswerFields>(stubs[kManager], MM_BUILD_ANSWER);
    ASSERT_EQ(first.result, MM_BUILD_OK);
    std::memcpy(&stack, first.descriptor, sizeof stack);

    sendToManager(MM_RELEASE_REQ, MmReleaseFields{stack});
    EXPECT_EQ(fieldsOf<MmInstanceReleaseFields>(stubs[kCom], MM_INSTANCE_RELEASE).instance, 0u);
    EXPECT_EQ(fieldsOf<MmReleaseAnswerFields>(stubs[kManager], MM_RELEASE_ANSWER).result, 0);

    void* descriptor = requestBuild();
    const auto again = fieldsOf<MmBuildAnswerFields>(stubs[kManager], MM_BUILD_ANSWER, 1);
    EXPECT_EQ(again.result, MM_BUILD_OK);
    MmBuildResult words;
    std::memcpy(&words, descriptor, sizeof words);
    EXPECT_EQ(words.stack, stack);
    EXPECT_EQ(stubs.startOrder().size(), 3u);     // nothing started twice
    EXPECT_EQ(stubs[kEtsi].count(MM_LINK_PROTOCOL), 2u);
    EXPECT_EQ(stubs[kCom].count(MM_LINK_PROTOCOL), 2u);
    osBufferRelease(descriptor);
}

struct BuildFailure {
    const char* name;
    bool withMiddle;
    int32_t middleResult;
    bool middleTask;
    uint16_t flags;
    int answer;           // the result answered, -1 none
    const char* trace;
};

void PrintTo(const BuildFailure& c, std::ostream* os) { *os << c.name; }

class MmBuildFailure : public MmTest, public ::testing::WithParamInterface<BuildFailure> {};

TEST_P(MmBuildFailure, IsAnsweredWithItsResultOrSilently) {
    const BuildFailure& c = GetParam();
    registerEtsiStack(c.middleResult, c.middleTask, c.withMiddle);
    void* descriptor = requestBuild(c.flags);

    EXPECT_TRUE(cap.contains(c.trace)) << c.trace;
    EXPECT_EQ(stubs[kCom].count(MM_LINK_PROTOCOL), 0u);
    if (c.answer < 0) {
        EXPECT_EQ(stubs[kManager].count(MM_BUILD_ANSWER), 0u);
        EXPECT_EQ(osPoolFree(globalPool), 2);     // the descriptor went back to its pool
        return;
    }
    EXPECT_EQ(fieldsOf<MmBuildAnswerFields>(stubs[kManager], MM_BUILD_ANSWER).result, c.answer);
    osBufferRelease(descriptor);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MmBuildFailure,
    ::testing::Values(BuildFailure{"MiddleMissing", false, 0, true, 0, MM_BUILD_MISSING_MODULE, "mmStartModule ! missing L2 module"},
                      BuildFailure{"MiddleMissingSilently", false, 0, true, MM_BUILD_SILENT_FAILURE, -1,
                                   "mmStartModule ! missing L2 module"},
                      BuildFailure{"MiddleDoesNotStart", true, -1, true, 0, MM_BUILD_FAILED, "! Start module failed"},
                      BuildFailure{"MiddleHasNoQueue", true, 0, false, 0, MM_BUILD_FAILED,
                                   "! Queue name 0x200B5 identifier not found"}),
    [](const ::testing::TestParamInfo<BuildFailure>& info) { return std::string(info.param.name); });

} // namespace
