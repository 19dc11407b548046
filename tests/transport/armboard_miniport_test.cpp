// The ARM-board miniport through the chip transport, over the fake board library.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "armboard_fake.h"
#include "com_events.h"
#include "trace_capture.h"
#include "transport/chiptransport.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kI2c[] = "READERTYPE=PN547 IOTYPE=I2C";

struct ArmBoardMiniport : ::testing::Test {
    ComEvents events;
    TComHandle handle = nullptr;

    void SetUp() override {
        armFakeReset();
        chipSetMiniportSetups(nullptr);
    }
    void TearDown() override {
        if (handle) {
            EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
        }
        armFakeReset();
    }
    DWORD open(const char* parameters) {
        DWORD status = chipTransportOpen("arm", parameters, &ComEvents::callBack, &events, &handle);
        if (status == COM_PENDING) {
            EXPECT_TRUE(events.waitFor(comeOpenCompleted));
        }
        return status;
    }
    void queue(const Bytes& b) { armFakeQueuePacket(b.data(), b.size()); }
};

struct InterfaceCase {
    const char* parameters;
    const char* init;
    const char* busControl;
};
class ArmBoardInterface : public ArmBoardMiniport, public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(ArmBoardInterface, TheOpenSetsUpTheBusTheParametersName) {
    ASSERT_EQ(open(GetParam().parameters), COM_PENDING);
    EXPECT_EQ(armFakeCallCount(GetParam().init), 1u);
    EXPECT_EQ(armFakeCallCount(GetParam().busControl), 1u);
    EXPECT_EQ(armFakeCallCount("Line 4 0"), 2u);   // powered off and on before and after the set-up
    EXPECT_EQ(armFakeCallCount("Line 4 1"), 2u);
    EXPECT_EQ(armFakeCallCount("SetTimeout 20"), 1u);
}
INSTANTIATE_TEST_SUITE_P(Cases, ArmBoardInterface,
                         ::testing::Values(InterfaceCase{kI2c, "DutInit 1 40 400000", "IoCtl 50"},
                                           InterfaceCase{"READERTYPE=PN548 IOTYPE=SPI", "DutInit 2 0 6400000", "IoCtl 41"}));

TEST_F(ArmBoardMiniport, AFailedBoardOpenFailsTheTransportOpen) {
    armFakeFailOpen(1);
    EXPECT_NE(open(kI2c), COM_PENDING);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(ArmBoardMiniport, APacketOfThreeHundredBytesComesUpWholeAndALongerOneIsDropped) {
    ASSERT_EQ(open(kI2c), COM_PENDING);
    TraceCapture traces;
    Bytes longest(300);
    for (size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<uint8_t>(i);
    queue(longest);
    queue(Bytes(301, 0x11));
    queue({0x40, 0x00, 0x00});
    ASSERT_TRUE(events.waitReceived(303));
    ASSERT_EQ(events.packets().size(), 2u);
    EXPECT_EQ(events.packets()[0], longest);
    EXPECT_EQ(events.packets()[1], (Bytes{0x40, 0x00, 0x00}));
    EXPECT_TRUE(traces.contains("RPC Read of 301 bytes is longer than 300, dropped"));
}

TEST_F(ArmBoardMiniport, AWriteWakesTheWorkerAndGoesOutWhole) {
    ASSERT_EQ(open(kI2c), COM_PENDING);
    Bytes packet{0x20, 0x00, 0x01, 0x01};
    ASSERT_EQ(chipTransportWrite(handle, packet.data(), static_cast<DWORD>(packet.size())), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted));
    EXPECT_EQ(events.of(comeTransmitCompleted)[0].status, COM_SUCCESS);
    ASSERT_EQ(armFakeWriteCount(), 1u);
    Bytes written(16);
    written.resize(armFakeWrite(0, written.data(), written.size()));
    EXPECT_EQ(written, packet);
}

// The board keeps no cancel for a wait that has not begun: a write or a stop that comes while
// the worker is on its way into the interrupt wait still takes effect within the wait's bound.
struct LostCancelCase {
    const char* name;
    bool stop;   // else a write
};
std::ostream& operator<<(std::ostream& os, const LostCancelCase& c) { return os << c.name; }
class ArmBoardLostCancel : public ArmBoardMiniport, public ::testing::WithParamInterface<LostCancelCase> {};

TEST_P(ArmBoardLostCancel, ACancelBeforeTheWaitBeginsDelaysTheWorkerOnlyBriefly) {
    constexpr auto kBrief = std::chrono::seconds(1);   // the longest a loaded machine needs
    ASSERT_EQ(open(kI2c), COM_PENDING);
    armFakeHoldIrqWaits(1);
    ASSERT_TRUE(armFakeWaitHeld(5000));
    Bytes packet{0x20, 0x00, 0x01, 0x01};
    std::future<DWORD> closed;
    struct Release {
        ~Release() { armFakeHoldIrqWaits(0); }   // before a failed test waits for the close
    } release;
    if (GetParam().stop) {
        const size_t cancels = armFakeCallCount("CancelIo");
        closed = std::async(std::launch::async, [this] { return chipTransportClose(handle); });
        ASSERT_TRUE(eventually([&] { return armFakeCallCount("CancelIo") > cancels; }));
    } else {
        ASSERT_EQ(chipTransportWrite(handle, packet.data(), static_cast<DWORD>(packet.size())), COM_SUCCESS);
    }
    armFakeHoldIrqWaits(0);
    if (GetParam().stop) {
        ASSERT_EQ(closed.wait_for(kBrief), std::future_status::ready);
        EXPECT_EQ(closed.get(), COM_SUCCESS);
        handle = nullptr;
    } else {
        ASSERT_TRUE(events.waitFor(comeTransmitCompleted, 1, std::chrono::milliseconds(kBrief).count()));
        EXPECT_EQ(armFakeWriteCount(), 1u);
    }
}
INSTANTIATE_TEST_SUITE_P(Cases, ArmBoardLostCancel,
                         ::testing::Values(LostCancelCase{"Stop", true}, LostCancelCase{"Write", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The miniport's write on its own: the chip transport's retries would blur the count of tries.
struct WriteCase {
    Bytes statuses;
    int32_t result;
    size_t calls;
};
class ArmBoardWrite : public ArmBoardMiniport, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ArmBoardWrite, ABusyBoardIsTriedAtMostFiveTimes) {
    TChipTransport record;
    chipInitMiniport(&record, kI2c);
    ASSERT_NE(record.ops.write, nullptr);
    ASSERT_EQ(record.ops.open(&record, "arm", kI2c), 0u);
    armFakeWriteStatuses(GetParam().statuses.data(), GetParam().statuses.size());
    const BYTE packet[] = {0x20, 0x00, 0x01, 0x01};
    EXPECT_EQ(record.ops.write(&record, packet, sizeof packet), GetParam().result);
    EXPECT_EQ(armFakeWriteCalls(), GetParam().calls);
    record.ops.close(&record);
}
INSTANTIATE_TEST_SUITE_P(Cases, ArmBoardWrite,
                         ::testing::Values(WriteCase{{}, 4, 1}, WriteCase{{3, 3, 3, 3}, 4, 5},
                                           WriteCase{{3, 3, 3, 3, 3, 3}, -1, 5}, WriteCase{{5}, -1, 1},
                                           WriteCase{{3, 7}, -1, 2}));

}  // namespace
