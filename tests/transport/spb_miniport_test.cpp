// The SPB miniport through the chip transport, over the fake bus proxy library: the controller
// puts bytes on the bus and raises an interrupt per frame. For the NCI chips the simulator's
// NDLC endpoint plays the controller's end of the link.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "com_events.h"
#include "ndlc/ndlc_endpoint.h"
#include "spbproxy_fake.h"
#include "trace_capture.h"
#include "transport/chiptransport.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kNdlc[] = "READERTYPE=NCI_ST21 IOTYPE=SPB";
constexpr char kPn544[] = "READERTYPE=PN544 IOTYPE=SPB";
constexpr char kHci[] = "READERTYPE=ST21NFCA IOTYPE=SPB";
const Bytes kReset = {0x20, 0x00, 0x01, 0x01};
const Bytes kResetAnswer = {0x40, 0x00, 0x03, 0x00, 0x10, 0x00};

void toHost(const Bytes& frame) { spFakeSend(frame.data(), frame.size()); }

// The controller's end: answers every packet of the host with the next scripted one.
struct Controller {
    explicit Controller(std::vector<Bytes> answers) : answers(std::move(answers)) {
        spFakeSetWriteHook(&onWrite, this);
    }
    ~Controller() { spFakeSetWriteHook(nullptr, nullptr); }
    static void onWrite(void* context, const uint8_t* data, uint32_t length) {
        static_cast<Controller*>(context)->link.feed(data, length);
    }
    std::vector<Bytes> answers;
    size_t next = 0;
    ndlcsim::NdlcEndpoint link{&toHost, [this](const Bytes&) {
                                   if (next < answers.size()) link.send(answers[next++]);
                               }};
};

struct SpbMiniport : ::testing::Test {
    ComEvents events;
    TComHandle handle = nullptr;

    void SetUp() override {
        spFakeReset();
        chipSetMiniportSetups(nullptr);
    }
    void TearDown() override {
        if (handle) {
            EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
        }
        spFakeReset();
        debugSetL1Flags(0);
    }
    DWORD open(const char* parameters) {
        DWORD status = chipTransportOpen("", parameters, &ComEvents::callBack, &events, &handle);
        if (status == COM_PENDING) {
            EXPECT_TRUE(events.waitFor(comeOpenCompleted));
        }
        return status;
    }
    DWORD write(Bytes packet) { return chipTransportWrite(handle, packet.data(), static_cast<DWORD>(packet.size())); }
    void close() {
        EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
        handle = nullptr;
    }
};

TEST_F(SpbMiniport, NciPacketsTravelInNdlcFramesThroughTheWorkersQueue) {
    Controller controller({kResetAnswer});
    ASSERT_EQ(open(kNdlc), COM_PENDING);
    EXPECT_EQ(spFakeCallCount("spbOpen 0"), 0u);   // the proxy's SPB link, not the proximity bus
    ASSERT_EQ(write(kReset), COM_SUCCESS);
    ASSERT_TRUE(events.waitReceived(kResetAnswer.size()));
    EXPECT_EQ(events.packets()[0], kResetAnswer);
    Bytes first(16);
    first.resize(spFakeWrite(0, first.data(), first.size()));
    EXPECT_EQ(first, ndlcsim::dataFrame(kReset));
    close();
    EXPECT_EQ(spFakeCloseCount(), 1u);
}

TEST_F(SpbMiniport, ALongestPacketGoesOutWholeALongerOneIsRefusedNotCut) {
    Controller controller({});
    ASSERT_EQ(open(kNdlc), COM_PENDING);
    const Bytes longest(260, 0x5A);   // what the link takes: never cut to a payload of 255
    ASSERT_EQ(write(longest), COM_SUCCESS);
    ASSERT_TRUE(eventually([&] { return controller.link.packetsFromHost() == 1; }));
    Bytes frame(300);
    frame.resize(spFakeWrite(0, frame.data(), frame.size()));
    EXPECT_EQ(frame, ndlcsim::dataFrame(longest));
    ASSERT_EQ(write(Bytes(261, 0x5A)), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, 2));
    EXPECT_EQ(events.of(comeTransmitCompleted)[1].status, CHIP_ERR_TX);
    EXPECT_EQ(controller.link.packetsFromHost(), 1u);
}

struct Pn544Case {
    const char* name;
    Bytes bus;
    bool frameUp;
    size_t unread;
};
std::ostream& operator<<(std::ostream& os, const Pn544Case& c) { return os << c.name; }
class SpbPn544 : public SpbMiniport, public ::testing::WithParamInterface<Pn544Case> {};

Bytes junkThen(size_t junk, Bytes frame) {
    Bytes b(junk, 33);
    b.insert(b.end(), frame.begin(), frame.end());
    return b;
}
const Bytes kPn544Frame = {0x04, 0x80, 0xF9, 0x12, 0x34};

TEST_P(SpbPn544, JunkLengthBytesAreSkippedUntilARunOfThemGivesUp) {
    TraceCapture trace;
    ASSERT_EQ(open(kPn544), COM_PENDING);
    spFakeQueueRead(GetParam().bus.data(), GetParam().bus.size());
    spFakeInterrupt();
    if (GetParam().frameUp) {
        ASSERT_TRUE(events.waitReceived(kPn544Frame.size()));
        EXPECT_EQ(events.packets()[0], kPn544Frame);
    } else {
        ASSERT_TRUE(eventually([&] { return trace.contains("chip: ! got 10 junk bytes in a row. giving up."); }));
        EXPECT_EQ(events.count(comeDataReceived), 0u);
    }
    EXPECT_EQ(spFakeUnread(), GetParam().unread);
}
INSTANTIATE_TEST_SUITE_P(Cases, SpbPn544,
                         ::testing::Values(Pn544Case{"TwoAndThirtyThreeSkipped", Bytes{2, 33, 0x04, 0x80, 0xF9, 0x12, 0x34}, true, 0},
                                           Pn544Case{"TenJunkBytesSkipped", junkThen(10, kPn544Frame), true, 0},
                                           Pn544Case{"ElevenJunkBytesGiveUp", junkThen(11, kPn544Frame), false, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpbMiniport, HciChunksFollowTheSizesAndAnIdleByteStartsTheNextFrame) {
    ASSERT_EQ(open(kHci), COM_PENDING);
    Bytes bus(15 + 24 + 11, 0x11);
    bus.push_back(0x7E);   // the 12-byte chunk ends the frame
    spFakeQueueRead(bus.data(), bus.size());
    for (int i = 0; i < 4; ++i) spFakeInterrupt();
    ASSERT_TRUE(events.waitFor(comeDataReceived, 4));
    std::vector<size_t> sizes;
    for (const Bytes& chunk : events.packets()) sizes.push_back(chunk.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{15, 24, 12, 15}));
    EXPECT_EQ(events.packets()[2].back(), 0x7E);
}

struct ReadFailureCase {
    const char* name;
    int32_t failures;
    bool frameUp;
};
std::ostream& operator<<(std::ostream& os, const ReadFailureCase& c) { return os << c.name; }
class SpbReadFailures : public SpbMiniport, public ::testing::WithParamInterface<ReadFailureCase> {};

TEST_P(SpbReadFailures, AReadIsTriedThreeTimesMoreAndAFailedOneIsNeverData) {
    TraceCapture trace;
    ASSERT_EQ(open(kPn544), COM_PENDING);
    spFakeFailReads(GetParam().failures);
    spFakeSend(kPn544Frame.data(), kPn544Frame.size());
    if (GetParam().frameUp) {
        ASSERT_TRUE(events.waitReceived(kPn544Frame.size()));
        EXPECT_EQ(events.packets()[0], kPn544Frame);
    } else {
        ASSERT_TRUE(eventually([&] { return spFakeCallCount("read 1") == 4; }));
        ASSERT_TRUE(eventually([&] { return trace.contains("## mSpbRead (1) retry 3/3 in 5 milliseconds."); }));
        EXPECT_EQ(events.count(comeDataReceived), 0u);
        EXPECT_EQ(spFakeUnread(), kPn544Frame.size());
    }
    EXPECT_TRUE(trace.contains("! read failed"));
}
INSTANTIATE_TEST_SUITE_P(Cases, SpbReadFailures,
                         ::testing::Values(ReadFailureCase{"ThirdRetryReads", 3, true}, ReadFailureCase{"FourFailuresGiveNothing", 4, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpbMiniport, PollingWakesTheWorkerEveryFiveMillisecondsUntilTheFirstInterrupt) {
    debugSetL1Flags(0x40000000u);
    TraceCapture trace;
    ASSERT_EQ(open("READERTYPE=NCI_ST21 IOTYPE=SPB POLLBUS"), COM_PENDING);
    const size_t before = trace.count("## SPB thread poll");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return trace.count("## SPB thread poll") >= before + 10; }));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, 9 * 5 - 5);   // never faster than every 5 ms
    spFakeInterrupt();
    ASSERT_TRUE(eventually([&] { return trace.contains("# stop polling mode #"); }));
    const size_t polls = trace.count("## SPB thread poll");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));   // six polls' time: none comes
    EXPECT_LE(trace.count("## SPB thread poll"), polls + 1);
}

TEST_F(SpbMiniport, WithoutPollingTheWorkerOnlyWakesForWork) {
    debugSetL1Flags(0x40000000u);
    TraceCapture trace;
    ASSERT_EQ(open(kNdlc), COM_PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(trace.count("## SPB thread poll"), 0u);
}

struct ResetCase {
    const char* name;
    const char* parameters;
    const char* powerOff;
    const char* powerOn;
};
std::ostream& operator<<(std::ostream& os, const ResetCase& c) { return os << c.name; }
class SpbReset : public SpbMiniport, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(SpbReset, TheFirstResetRepowersTheChipALaterOneClosesTheBusAndSaysSo) {
    ASSERT_EQ(open(GetParam().parameters), COM_PENDING);
    EXPECT_EQ(chipTransportReset(handle), COM_SUCCESS);
    EXPECT_EQ(spFakeCallCount(GetParam().powerOff), 1u);
    EXPECT_EQ(spFakeCallCount(GetParam().powerOn), 1u);
    EXPECT_EQ(spFakeCloseCount(), 0u);
    EXPECT_NE(chipTransportReset(handle), COM_SUCCESS);
    EXPECT_EQ(spFakeCloseCount(), 1u);
    close();
    EXPECT_EQ(spFakeCloseCount(), 1u);   // closed once
}
INSTANTIATE_TEST_SUITE_P(Cases, SpbReset,
                         ::testing::Values(ResetCase{"ProxyLine", kNdlc, "line 0", "line 1"},
                                           ResetCase{"ProximityPower", "READERTYPE=NCI_ST21 IOTYPE=PROXIMITY", "power 0", "power 1"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpbMiniport, TheResetClearsTheHciQueueUntilTheIdleByteButNotForPn544) {
    for (const char* parameters : {kHci, kPn544}) {
        spFakeReset();
        TraceCapture trace;
        ASSERT_EQ(open(parameters), COM_PENDING);
        const Bytes garbage(12, 0x33);
        spFakeQueueRead(garbage.data(), garbage.size());
        EXPECT_EQ(chipTransportReset(handle), COM_SUCCESS);
        const bool hci = parameters == kHci;
        EXPECT_EQ(spFakeCallCount("read 9"), hci ? 2u : 0u) << parameters;
        EXPECT_EQ(trace.contains("chip: initial clearing got 18 bytes of garbage data, gpio state 0x0"), hci) << parameters;
        close();
    }
}

TEST_F(SpbMiniport, TheProximityBusOpensOnANonZeroAnswer) {
    TraceCapture trace;
    ASSERT_EQ(open("READERTYPE=PN544 IOTYPE=PROXIMITY"), COM_PENDING);
    EXPECT_EQ(spFakeCallCount("spbOpen 0"), 1u);
    spFakeSend(kPn544Frame.data(), kPn544Frame.size());
    ASSERT_TRUE(events.waitReceived(kPn544Frame.size()));
    Bytes answer = {0x03, 0x81, 0x00, 0x00};
    ASSERT_EQ(write(answer), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted));
    EXPECT_EQ(events.of(comeTransmitCompleted)[0].status, COM_SUCCESS);
    EXPECT_EQ(spFakeWriteCount(), 1u);
    close();
    EXPECT_EQ(spFakeCloseCount(), 1u);
}

TEST_F(SpbMiniport, AFailedLinkFailsTheOpen) {
    for (const char* parameters : {kNdlc, "READERTYPE=PN544 IOTYPE=PROXIMITY"}) {
        TraceCapture trace;
        spFakeFailLink(1);
        EXPECT_EQ(open(parameters), COM_ERR_OPEN) << parameters;
        EXPECT_EQ(handle, nullptr);
        EXPECT_TRUE(trace.contains("nfcLinkL1Consumer failed!"));
        EXPECT_EQ(spFakeCloseCount(), 0u);
    }
}

}  // namespace
