// The I2C miniports through the chip transport, over the fake adapter library. For the NCI chips
// a test-side NDLC endpoint plays the controller: it acknowledges our frames and answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "aardvark_fake.h"
#include "com_events.h"
#include "ndlc/ndlc_endpoint.h"
#include "trace_capture.h"
#include "transport/chiptransport.h"

namespace {

using Bytes = std::vector<uint8_t>;

using ndlcsim::dataFrame;

// The controller's end of the link on the adapter's bus: answers every packet of ours with the
// next scripted one.
struct Controller {
    explicit Controller(std::vector<Bytes> answers) : answers(std::move(answers)) { aaFakeSetWriteHook(&onWrite, this); }
    ~Controller() { aaFakeSetWriteHook(nullptr, nullptr); }
    static void onWrite(void* context, const uint8_t* data, uint16_t length) {
        static_cast<Controller*>(context)->link.feed(data, length);
    }
    std::vector<Bytes> answers;
    size_t next = 0;
    ndlcsim::NdlcEndpoint link{[](const Bytes& f) { aaFakeQueueRead(f.data(), f.size()); },
                               [this](const Bytes&) {
                                   if (next < answers.size()) link.send(answers[next++]);
                               }};
};

Bytes writeAt(size_t index) {
    Bytes b(600);
    b.resize(aaFakeWrite(index, b.data(), b.size()));
    return b;
}

// The link writes on its own thread, after the transport has reported the packet taken.
bool waitWrites(size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (aaFakeWriteCount() < n && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return aaFakeWriteCount() >= n;
}

constexpr char kNdlc[] = "READERTYPE=NCI_ST21 IOTYPE=I2C";
constexpr char kHci[] = "READERTYPE=ST21NFCA IOTYPE=I2C";
const Bytes kReset = {0x20, 0x00, 0x01, 0x01};
const Bytes kResetAnswer = {0x40, 0x00, 0x03, 0x00, 0x10, 0x00};

struct AardvarkMiniport : ::testing::Test {
    ComEvents events;
    TComHandle handle = nullptr;

    void SetUp() override {
        aaFakeReset();
        chipSetMiniportSetups(nullptr);
    }
    void TearDown() override {
        if (handle) {
            EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
        }
        aaFakeReset();
    }
    DWORD open(const char* parameters) {
        DWORD status = chipTransportOpen("i2c", parameters, &ComEvents::callBack, &events, &handle);
        if (status == COM_PENDING) {
            EXPECT_TRUE(events.waitFor(comeOpenCompleted));
        }
        return status;
    }
    DWORD write(Bytes b) { return chipTransportWrite(handle, b.data(), static_cast<DWORD>(b.size())); }
};

TEST_F(AardvarkMiniport, AnNciExchangeRunsOverNdlcFrames) {
    Controller controller({kResetAnswer});
    ASSERT_EQ(open(kNdlc), COM_PENDING);
    EXPECT_EQ(aaFakeCallCount("c_aa_i2c_bitrate 400"), 1u);
    EXPECT_EQ(aaFakeCallCount("c_aa_i2c_bus_timeout 50"), 1u);
    EXPECT_EQ(aaFakeCallCount("c_aa_gpio_direction 16"), 1u);   // the NCI chips have their reset line wired
    write(kReset);
    ASSERT_TRUE(events.waitReceived(kResetAnswer.size()));
    EXPECT_EQ(events.packets()[0], kResetAnswer);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted));
    EXPECT_EQ(writeAt(0), dataFrame(kReset));
    EXPECT_EQ(writeAt(1), ndlcsim::supervisorFrame(0x20));                // our acknowledgement of the answer
}

TEST_F(AardvarkMiniport, TheLongestPacketGoesOutWholeAndAnOverlongFrameIsDroppedSafely) {
    Bytes longest(258, 0x5A);
    longest[0] = 0x20;
    longest[2] = 255;
    Controller controller({});
    ASSERT_EQ(open(kNdlc), COM_PENDING);
    TraceCapture traces;
    write(longest);
    ASSERT_TRUE(waitWrites(1));
    EXPECT_EQ(writeAt(0), dataFrame(longest));              // 263 bytes, nothing cut
    Bytes overlong(255 + 3, 0x11);                                // announces 255 bytes: 261 with the CRC
    overlong[2] = 255;
    Bytes frame = dataFrame(overlong);
    frame[3] = 255;
    aaFakeQueueRead(frame.data(), frame.size());
    Bytes fine = dataFrame(kResetAnswer);
    aaFakeQueueRead(fine.data(), fine.size());
    ASSERT_TRUE(events.waitReceived(kResetAnswer.size()));
    EXPECT_EQ(events.packets().size(), 1u);
    EXPECT_TRUE(traces.contains("NDLC refused a frame of 261 bytes"));
}

TEST_F(AardvarkMiniport, ALinkThatIsNeverAcknowledgedReportsTheControllerRemovedOnce) {
    ASSERT_EQ(open(kNdlc), COM_PENDING);
    write(kReset);
    ASSERT_TRUE(events.waitFor(comeAdapterPlugout));
    EXPECT_GE(aaFakeWriteCount(), 2u);                              // the frame was repeated before T2 ended it
    write(kReset);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, 2));
    EXPECT_EQ(events.count(comeAdapterPlugout), 1u);
}

struct SlaveCase {
    const char* parameters;
    uint16_t slave;
};
class AardvarkSlave : public AardvarkMiniport, public ::testing::WithParamInterface<SlaveCase> {};

TEST_P(AardvarkSlave, TheSlaveAddressComesFromTheParameters) {
    ASSERT_EQ(open(GetParam().parameters), COM_PENDING);   // the initial clearing reads with it
    EXPECT_EQ(aaFakeSlaveAddress(), GetParam().slave);
}
INSTANTIATE_TEST_SUITE_P(Cases, AardvarkSlave,
                         ::testing::Values(SlaveCase{"READERTYPE=ST21NFCA IOTYPE=I2C", 1},
                                           SlaveCase{"READERTYPE=ST21NFCA IOTYPE=I2C SLAVEADDRESS=0", 1},
                                           SlaveCase{"READERTYPE=ST21NFCA IOTYPE=I2C SLAVEADDRESS=-4", 1},
                                           SlaveCase{"READERTYPE=ST21NFCA IOTYPE=I2C SLAVEADDRESS=8", 8}));

struct PolarityCase {
    const char* parameters;
    bool controllerActiveHigh;
    int irq;
    DWORD status;
};
class AardvarkPolarity : public AardvarkMiniport, public ::testing::WithParamInterface<PolarityCase> {};

// An interrupt line that stays active after the clearing fails the open; which level is active
// depends on HIPOL.
TEST_P(AardvarkPolarity, TheInterruptLineIsReadWithTheConfiguredPolarity) {
    aaFakeSetActiveHigh(GetParam().controllerActiveHigh);
    aaFakeSetIrq(GetParam().irq);
    EXPECT_EQ(open(GetParam().parameters), GetParam().status);
    bool hipol = std::string(GetParam().parameters).find("HIPOL") != std::string::npos;
    EXPECT_EQ(aaFakeCallCount("c_aa_gpio_pullup 4"), hipol ? 0u : 1u);
}
INSTANTIATE_TEST_SUITE_P(Cases, AardvarkPolarity,
                         ::testing::Values(PolarityCase{kHci, false, 0, COM_PENDING},
                                           PolarityCase{kHci, false, 1, COM_ERR_OPEN},
                                           PolarityCase{kHci, true, 1, COM_PENDING},   // bit 0x04 high: idle when active low
                                           PolarityCase{"READERTYPE=ST21NFCA IOTYPE=I2C HIPOL", true, 1, COM_ERR_OPEN},
                                           PolarityCase{"READERTYPE=ST21NFCA IOTYPE=I2C HIPOL", true, 0, COM_PENDING},
                                           PolarityCase{"READERTYPE=NCI_ST21 IOTYPE=I2C", false, 1, COM_ERR_OPEN}));

class AardvarkVersion : public AardvarkMiniport, public ::testing::WithParamInterface<std::pair<uint32_t, DWORD>> {};

TEST_P(AardvarkVersion, OnlyAUsableLibraryVersionSetsTheMiniportUp) {
    aaFakeSetVersion(GetParam().first);
    EXPECT_EQ(open(kNdlc), GetParam().second);
}
INSTANTIATE_TEST_SUITE_P(Cases, AardvarkVersion,
                         ::testing::Values(std::make_pair(0x050004FFu, DWORD{COM_ERR_NO_RESOURCES}),
                                           std::make_pair(0x05010500u, DWORD{COM_ERR_NO_RESOURCES}),
                                           std::make_pair(0x05000500u, DWORD{COM_PENDING}),
                                           std::make_pair(0x0500FFFFu, DWORD{COM_PENDING})));

TEST_F(AardvarkMiniport, OnlyAFreeAdapterIsTaken) {
    const uint16_t busy[] = {0x8000, 0x0000};
    aaFakeSetDevices(busy, 2);
    ASSERT_EQ(open(kHci), COM_PENDING);
    EXPECT_EQ(aaFakeCallCount("c_aa_open 1"), 1u);
    chipTransportClose(handle);
    handle = nullptr;
    const uint16_t allBusy[] = {0x8000};
    aaFakeSetDevices(allBusy, 1);
    EXPECT_EQ(open(kHci), DWORD{COM_ERR_NO_RESOURCES});
}

TEST_F(AardvarkMiniport, SixFailedReadsInARowReportTheAdapterRemoved) {
    ASSERT_EQ(open(kHci), COM_PENDING);
    aaFakeFailReads(6 * 4);   // each read is tried four times
    aaFakeSetIrq(1);
    ASSERT_TRUE(events.waitFor(comeAdapterPlugout));
    EXPECT_EQ(events.count(comeAdapterPlugout), 1u);
    EXPECT_EQ(events.count(comeDataReceived), 0u);
}

TEST_F(AardvarkMiniport, TheHciStreamIsReadInChunksWhileTheInterruptIsActive) {
    ASSERT_EQ(open(kHci), COM_PENDING);
    Bytes stream(20, 0x33);
    stream.push_back(0x7E);
    aaFakeQueueRead(stream.data(), stream.size());
    ASSERT_TRUE(events.waitReceived(15 + 24));
    auto packets = events.packets();
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets[0].size(), 15u);
    EXPECT_EQ(packets[1].size(), 24u);   // the chunk did not end with the idle byte: the next size is read
}

}  // namespace
