// The serial-proxy miniport through the chip transport, over the fake bus proxy library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com_events.h"
#include "spbproxy_fake.h"
#include "transport/chiptransport.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kSerial[] = "READERTYPE=NCI IOTYPE=SERIALUMDF PORT=COM7";

struct SerialProxyMiniport : ::testing::Test {
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
    }
    DWORD open(const char* parameters) {
        DWORD status = chipTransportOpen("proxy", parameters, &ComEvents::callBack, &events, &handle);
        if (status == COM_PENDING) {
            EXPECT_TRUE(events.waitFor(comeOpenCompleted));
        }
        return status;
    }
    std::string port() {
        char buffer[64];
        spFakeLastPort(buffer, sizeof buffer);
        return buffer;
    }
};

TEST_F(SerialProxyMiniport, PacketsGoThroughTheProxyBothWays) {
    ASSERT_EQ(open(kSerial), COM_PENDING);
    EXPECT_EQ(port(), "COM7");
    Bytes packet{0x20, 0x00, 0x01, 0x01};
    ASSERT_EQ(chipTransportWrite(handle, packet.data(), static_cast<DWORD>(packet.size())), COM_SUCCESS);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted));
    ASSERT_EQ(spFakeWriteCount(), 1u);
    Bytes written(16);
    written.resize(spFakeWrite(0, written.data(), written.size()));
    EXPECT_EQ(written, packet);
    spFakeTxDone(written.data());   // the transport has completed the frame already: no second completion
    Bytes answer{0x40, 0x00, 0x03, 0x00, 0x10, 0x00};
    spFakeDeliver(answer.data(), static_cast<uint32_t>(answer.size()));
    ASSERT_TRUE(events.waitReceived(answer.size()));
    EXPECT_EQ(events.packets()[0], answer);
    EXPECT_EQ(events.count(comeTransmitCompleted), 1u);
    EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
    handle = nullptr;
    EXPECT_EQ(spFakeCloseCount(), 1u);
}

TEST_F(SerialProxyMiniport, ARemovedDeviceIsReportedRemovedWithTheFrameFailure) {
    ASSERT_EQ(open(kSerial), COM_PENDING);
    spFakeDeliver(nullptr, 1617);
    spFakeDeliver(nullptr, 5);   // nothing that means anything
    ASSERT_TRUE(events.waitFor(comeAdapterPlugout));
    EXPECT_EQ(events.of(comeAdapterPlugout)[0].status, CHIP_STATUS_REMOVED);
    EXPECT_EQ(events.count(comeDataReceived), 0u);
}

TEST_F(SerialProxyMiniport, AFailedRegistrationFailsTheOpen) {
    spFakeFailLink(1);
    EXPECT_NE(open(kSerial), COM_PENDING);
    EXPECT_EQ(handle, nullptr);
}

struct PortCase {
    const char* parameters;
    bool opens;
    const char* port;
};
class SerialProxyPort : public SerialProxyMiniport, public ::testing::WithParamInterface<PortCase> {};

TEST_P(SerialProxyPort, APortTheProxyCannotHoldIsRefusedNotCut) {
    EXPECT_EQ(open(GetParam().parameters) == COM_PENDING, GetParam().opens);
    EXPECT_EQ(port(), GetParam().port);
}
INSTANTIATE_TEST_SUITE_P(Cases, SerialProxyPort,
                         ::testing::Values(PortCase{"READERTYPE=NCI IOTYPE=SERIALUMDF PORT=ABCDEFGHIJKLMNOP", true, "ABCDEFGHIJKLMNOP"},
                                           PortCase{"READERTYPE=NCI IOTYPE=SERIALUMDF PORT=ABCDEFGHIJKLMNOPQ", false, ""},
                                           PortCase{"READERTYPE=NCI IOTYPE=SERIALUMDF", true, ""}));

}  // namespace
