// The chip transport with an in-process miniport: open and close, the transmit queue with its
// retries, short writes, flush, reset, and the choice of the miniport.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "aardvark_fake.h"
#include "com_events.h"
#include "fake_miniport.h"
#include "trace_capture.h"
#include "transport/miniports.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kNdlcParameters[] = "READERTYPE=NCI_ST21 IOTYPE=I2C PORT=bus0";

Bytes frame(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(seed + k);
    return b;
}

struct ChipTransport : ::testing::Test {
    FakeMiniport fake;
    ComEvents events;
    TComHandle handle = nullptr;

    void TearDown() override {
        fake.openGate();
        if (handle) {
            EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
        }
    }
    DWORD open(const char* parameters = kNdlcParameters) {
        const DWORD status = chipTransportOpen("bus0", parameters, &ComEvents::callBack, &events, &handle);
        if (status == COM_PENDING) {
            EXPECT_TRUE(events.waitFor(comeOpenCompleted));
        }
        return status;
    }
    DWORD write(Bytes& b) { return chipTransportWrite(handle, b.data(), static_cast<DWORD>(b.size())); }
    void close() {
        EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
        handle = nullptr;
    }
};

TEST_F(ChipTransport, OpenCompletesFromTheWorkerAndCloseAtOnce) {
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(open(), COM_PENDING);
        EXPECT_NE(handle, nullptr);
        TComHandle closed = handle;
        close();
        EXPECT_EQ(events.count(comeCloseCompleted), static_cast<size_t>(round + 1));   // reported before close returned
        EXPECT_EQ(chipTransportClose(closed), COM_ERR_HANDLE);
        Bytes b = frame(4, 1);
        EXPECT_EQ(chipTransportWrite(closed, b.data(), 4), COM_ERR_HANDLE);
    }
    EXPECT_EQ(events.count(comeOpenCompleted), 20u);
    EXPECT_EQ(fake.stops(), 20);
    EXPECT_EQ(fake.closes(), 20);
}

TEST_F(ChipTransport, SecondOpenFindsTheLinkInUse) {
    TraceCapture trace;
    ASSERT_EQ(open(), COM_PENDING);
    TComHandle second = nullptr;
    EXPECT_EQ(chipTransportOpen("bus0", kNdlcParameters, &ComEvents::callBack, &events, &second), COM_ERR_NO_RESOURCES);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(trace.contains("! chipTrans no free link"));
}

TEST_F(ChipTransport, FailedMiniportOpenLeavesTheLinkFree) {
    fake.openStatus = 5;
    EXPECT_EQ(open(), COM_ERR_OPEN);
    EXPECT_EQ(handle, nullptr);
    fake.openStatus = 0;
    EXPECT_EQ(open(), COM_PENDING);
}

TEST_F(ChipTransport, FramesGoOutInOrderFromACopy) {
    ASSERT_EQ(open(), COM_PENDING);
    fake.closeGate();
    std::vector<Bytes> frames = {frame(3, 10), frame(40, 20), frame(CHIP_FRAME_MAX, 30)};
    const std::vector<Bytes> sent = frames;
    for (Bytes& f : frames) ASSERT_EQ(write(f), COM_SUCCESS);
    ASSERT_TRUE(fake.waitWriter());
    for (Bytes& f : frames) std::fill(f.begin(), f.end(), 0xEE);   // the writer's buffers are free again
    fake.openGate();
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, 3));
    EXPECT_EQ(fake.writes(), sent);
    auto done = events.of(comeTransmitCompleted);
    for (size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(done[k].status, COM_SUCCESS);
        EXPECT_EQ(done[k].buffer, frames[k].data());
        EXPECT_EQ(done[k].length, frames[k].size());
    }
}

TEST_F(ChipTransport, RefusesAFrameTooLongAndAFullQueue) {
    ASSERT_EQ(open(), COM_PENDING);
    Bytes tooLong = frame(CHIP_FRAME_MAX + 1, 0);
    EXPECT_EQ(write(tooLong), COM_ERR_TOO_LONG);
    fake.closeGate();
    Bytes f = frame(8, 1);
    for (uint32_t k = 0; k < CHIP_TX_NODES; ++k) ASSERT_EQ(write(f), COM_SUCCESS) << k;
    EXPECT_EQ(write(f), CHIP_ERR_TX);
    fake.openGate();
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, CHIP_TX_NODES));
    EXPECT_EQ(write(f), COM_SUCCESS);   // nodes come back
}

struct RetryCase {
    int failures;
    DWORD status;
};

TEST_F(ChipTransport, RetriesFailedWritesFiveTimes) {
    ASSERT_EQ(open(), COM_PENDING);
    const RetryCase cases[] = {{5, COM_SUCCESS}, {6, CHIP_ERR_TX}};
    size_t calls = 0;
    for (const RetryCase& c : cases) {
        fake.scriptWrites(std::vector<int32_t>(static_cast<size_t>(c.failures), -1));
        Bytes f = frame(12, static_cast<uint8_t>(c.failures));
        const size_t before = events.count(comeTransmitCompleted);
        ASSERT_EQ(write(f), COM_SUCCESS);
        ASSERT_TRUE(events.waitFor(comeTransmitCompleted, before + 1));
        calls += CHIP_TX_TRIES;
        EXPECT_EQ(fake.writes().size(), calls) << c.failures;
        const ComEvent done = events.of(comeTransmitCompleted).back();
        EXPECT_EQ(done.status, c.status) << c.failures;
        EXPECT_EQ(done.buffer, f.data()) << c.failures;   // even a frame given up names its buffer
        EXPECT_EQ(done.length, f.size()) << c.failures;
    }
}

TEST_F(ChipTransport, FramesQueuedBehindARetriedOneAllGoOut) {
    ASSERT_EQ(open(), COM_PENDING);
    fake.scriptWrites({-1, -1});
    std::vector<Bytes> frames = {frame(6, 1), frame(6, 2), frame(6, 3)};
    for (Bytes& f : frames) ASSERT_EQ(write(f), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, frames.size()));
    for (const ComEvent& done : events.of(comeTransmitCompleted)) EXPECT_EQ(done.status, COM_SUCCESS);
    const std::vector<Bytes> writes = fake.writes();
    EXPECT_EQ(std::vector<Bytes>(writes.end() - 3, writes.end()), frames);
}

struct ShortCase {
    bool stream;
    std::vector<size_t> calls;   // bytes given to each write call
};

TEST(ChipTransportShortWrite, FrameBusRetriesTheFrameStreamSendsTheRest) {
    const ShortCase cases[] = {{false, {10, 10}}, {true, {10, 7}}};
    for (const ShortCase& c : cases) {
        FakeMiniport fakeOfCase;
        fakeOfCase.stream = c.stream;
        ComEvents ev;
        TComHandle h = nullptr;
        ASSERT_EQ(chipTransportOpen("bus0", kNdlcParameters, &ComEvents::callBack, &ev, &h), COM_PENDING);
        fakeOfCase.scriptWrites({3});
        Bytes f = frame(10, 1);
        ASSERT_EQ(chipTransportWrite(h, f.data(), 10), COM_SUCCESS);
        ASSERT_TRUE(ev.waitFor(comeTransmitCompleted));
        std::vector<size_t> calls;
        for (const Bytes& w : fakeOfCase.writes()) calls.push_back(w.size());
        EXPECT_EQ(calls, c.calls) << c.stream;
        EXPECT_EQ(fakeOfCase.writes().back(), Bytes(f.end() - static_cast<long>(c.calls.back()), f.end()));
        EXPECT_EQ(ev.of(comeTransmitCompleted)[0].status, COM_SUCCESS);
        EXPECT_EQ(ev.of(comeTransmitCompleted)[0].length, 10u);
        EXPECT_EQ(chipTransportClose(h), COM_SUCCESS);
    }
}

TEST_F(ChipTransport, FlushAndCloseReportEveryQueuedFrame) {
    ASSERT_EQ(open(), COM_PENDING);
    fake.closeGate();
    std::vector<Bytes> frames = {frame(5, 1), frame(5, 2), frame(5, 3), frame(5, 4), frame(5, 5)};
    for (size_t k = 0; k < 3; ++k) ASSERT_EQ(write(frames[k]), COM_SUCCESS);
    ASSERT_TRUE(fake.waitWriter());   // the first frame is in the write
    EXPECT_EQ(chipTransportSetProperty(handle, compFlushTx, nullptr, 0), COM_ERR_PROPERTY);
    auto flushed = events.of(comeTransmitCompleted);
    ASSERT_EQ(flushed.size(), 2u);
    EXPECT_EQ(flushed[0].buffer, frames[1].data());
    EXPECT_EQ(flushed[1].buffer, frames[2].data());
    for (size_t k = 3; k < 5; ++k) ASSERT_EQ(write(frames[k]), COM_SUCCESS);
    close();   // the bus goes away under the write at the gate
    auto all = events.of(comeTransmitCompleted);
    ASSERT_EQ(all.size(), 5u);
    for (size_t k = 2; k < 5; ++k) EXPECT_EQ(all[k].status, COM_ERR_STATE);
    EXPECT_EQ(events.all().back().event, comeCloseCompleted);
}

TEST_F(ChipTransport, ReceivedBytesGoUp) {
    ASSERT_EQ(open(), COM_PENDING);
    fake.receive({1, 2, 3});
    fake.receive({4});
    ASSERT_TRUE(events.waitReceived(4));
    EXPECT_EQ(events.received(), (Bytes{1, 2, 3, 4}));
}

TEST(ChipTransportReset, ControllerResetOnlyWithSpb) {
    struct Case {
        const char* parameters;
        TChipMiniport slot;
        DWORD property;
    } cases[] = {{"READERTYPE=NCI_ST21 IOTYPE=I2C", chipMpAardvarkNdlc, COM_ERR_PROPERTY},
                 {"READERTYPE=NCI_ST21 IOTYPE=SPB", chipMpSpb, 0x07}};
    for (const Case& c : cases) {
        FakeMiniport fake({c.slot});
        fake.resetStatus = 0x07;
        ComEvents events;
        TComHandle h = nullptr;
        ASSERT_EQ(chipTransportOpen("", c.parameters, &ComEvents::callBack, &events, &h), COM_PENDING);
        EXPECT_EQ(chipTransportReset(h), 0x07u) << c.parameters;
        EXPECT_EQ(chipTransportSetProperty(h, compResetController, nullptr, 0), c.property) << c.parameters;
        EXPECT_EQ(chipTransportSetProperty(h, compTraceFlags, nullptr, 0), COM_SUCCESS);
        EXPECT_EQ(chipTransportSetProperty(h, 0x77, nullptr, 0), COM_ERR_PROPERTY);
        DWORD value = 0xFFFFFFFF, length = sizeof value;
        EXPECT_EQ(chipTransportGetProperty(h, compTraceFlags, &value, &length), COM_ERR_PROPERTY);
        EXPECT_EQ(value, 0u);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(chipTransportClose(h), COM_SUCCESS);
    }
}

// ---- Choice of the miniport ------------------------------------------------------------------
struct Recorder {
    static std::vector<TChipMiniport>& tried() {
        static std::vector<TChipMiniport> list;
        return list;
    }
    static uint32_t& failing() {   // bit per candidate whose set-up fails
        static uint32_t mask = 0;
        return mask;
    }
    template <TChipMiniport Which>
    static DWORD setup(TChipTransport*, TMiniportOps*) {
        tried().push_back(Which);
        return failing() & (1u << Which) ? 1 : 0;
    }
};

struct ChoiceCase {
    std::string name;
    const char* parameters;
    uint32_t failing;
    std::vector<TChipMiniport> tried;   // the last one is chosen unless it failed
    uint32_t flags;
};

class ChipMiniportChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChipMiniportChoice, FollowsTheRulesInOrder) {
    const ChoiceCase& c = GetParam();
    const TChipMiniportSetups setups = {{&Recorder::setup<chipMpSpb>, &Recorder::setup<chipMpSerialProxy>,
                                         &Recorder::setup<chipMpAardvarkNdlc>, &Recorder::setup<chipMpArmBoard>,
                                         &Recorder::setup<chipMpAardvarkHci>}};
    chipSetMiniportSetups(&setups);
    Recorder::tried().clear();
    Recorder::failing() = c.failing;
    TChipTransport record;
    chipInitMiniport(&record, c.parameters);
    chipSetMiniportSetups(nullptr);
    EXPECT_EQ(Recorder::tried(), c.tried);
    EXPECT_EQ(record.flags, c.flags);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChipMiniportChoice,
    ::testing::Values(
        ChoiceCase{"SpbBeforeNdlc", "READERTYPE=NCI_ST21 IOTYPE=SPB", 0, {chipMpSpb}, CHIP_NCI_ST21 | CHIP_SPB},
        ChoiceCase{"FailedSpbFallsToNdlc", "READERTYPE=NCI_ST21 IOTYPE=SPB", 1u << chipMpSpb, {chipMpSpb, chipMpAardvarkNdlc}, CHIP_NCI_ST21},
        ChoiceCase{"ProximityBusIsSpb", "READERTYPE=PN544 IOTYPE=PROXIMITY", 0, {chipMpSpb}, CHIP_PN544 | CHIP_PROXIMITY | CHIP_SPB},
        ChoiceCase{"SerialProxy", "READERTYPE=PN544 IOTYPE=SERIALUMDF POLLBUS=1", 0, {chipMpSerialProxy}, CHIP_PN544},
        ChoiceCase{"NdlcOnI2c", "READERTYPE=NCI_ST21 IOTYPE=I2C", 0, {chipMpAardvarkNdlc}, CHIP_NCI_ST21},
        ChoiceCase{"ArmBoard", "READERTYPE=PN548 IOTYPE=I2C POLLBUS", 0, {chipMpArmBoard}, CHIP_POLLBUS},
        ChoiceCase{"HciChipA", "READERTYPE=ST21NFCA IOTYPE=I2C", 0, {chipMpAardvarkHci}, CHIP_ST21NFCA},
        ChoiceCase{"HciChipB", "READERTYPE=ST21NFCB IOTYPE=SPI", 0, {chipMpAardvarkHci}, CHIP_ST21NFCB},
        ChoiceCase{"NothingForGenericNci", "READERTYPE=NCI IOTYPE=I2C", 0, {}, 0}),
    [](const auto& info) { return info.param.name; });

TEST(ChipMiniportChoice, MiniportsNotBuiltOrWithoutAdapterFailTheOpenClearly) {
    aaFakeReset();
    aaFakeSetDevices(nullptr, 0);
    TraceCapture trace;
    ComEvents events;
    TComHandle h = nullptr;
    const TChipMiniportSetups withoutSpb = {{nullptr, nullptr, &chipInitMiniportAardvarkNdlc, nullptr, nullptr}};
    chipSetMiniportSetups(&withoutSpb);
    EXPECT_EQ(chipTransportOpen("", "READERTYPE=NCI_ST21 IOTYPE=SPB", &ComEvents::callBack, &events, &h), COM_ERR_NO_RESOURCES);
    chipSetMiniportSetups(nullptr);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(trace.contains("! chip: SPB miniport is not part of this build"));
    EXPECT_TRUE(trace.contains("! i2capi: no I2C device found"));
    EXPECT_TRUE(trace.contains("! chip: chipInitMiniport() failed, missing 'chipOpen' proc"));
    EXPECT_EQ(events.all().size(), 0u);
    aaFakeReset();
}

} // namespace
