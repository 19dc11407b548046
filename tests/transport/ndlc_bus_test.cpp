// NDLC over both buses that carry it, the I2C adapter and the SPB bus, through the chip
// transport and the fake bus libraries: the chip worker that hands NDLC its packets is the one
// that reads the controller's acknowledgements from the bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "aardvark_fake.h"
#include "com_events.h"
#include "ndlc/ndlc_endpoint.h"
#include "spbproxy_fake.h"
#include "transport/chiptransport.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Controller;

struct BusCase {
    const char* name;
    const char* parameters;
    void (*reset)();
    void (*toHost)(const Bytes& frame);      // a frame of the controller for the host to read
    void (*hook)(Controller* controller);    // the bus hands the host's writes to it (or nobody)
};
std::ostream& operator<<(std::ostream& os, const BusCase& c) { return os << c.name; }

// The controller's end of the link on the bus, for as long as it lives.
struct Controller {
    explicit Controller(const BusCase& bus) : bus(bus), link(bus.toHost, [](const Bytes&) {}) { bus.hook(this); }
    ~Controller() { bus.hook(nullptr); }
    template <typename Length>
    static void onWrite(void* context, const uint8_t* data, Length length) {
        static_cast<Controller*>(context)->link.feed(data, length);
    }
    const BusCase& bus;
    ndlcsim::NdlcEndpoint link;
};

class NdlcBus : public ::testing::TestWithParam<BusCase> {
protected:
    void SetUp() override {
        GetParam().reset();
        chipSetMiniportSetups(nullptr);
    }
    void TearDown() override {
        if (handle) {
            EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
        }
        GetParam().reset();
    }
    ComEvents events;
    TComHandle handle = nullptr;
};

TEST_P(NdlcBus, PacketsWrittenWhileTheControllerIsBusyWaitAboveTheLinkAndAllArrive) {
    constexpr uint8_t kPackets = 14;   // more than the link has buffers for
    Controller controller(GetParam());
    controller.link.waitOnNext(1);     // our first frame waits for its T1 to be sent again
    ASSERT_EQ(chipTransportOpen("", GetParam().parameters, &ComEvents::callBack, &events, &handle), COM_PENDING);
    ASSERT_TRUE(events.waitFor(comeOpenCompleted));
    std::vector<Bytes> packets;
    for (uint8_t k = 0; k < kPackets; ++k) {
        packets.push_back({0x20, 0x00, 0x01, k});
        ASSERT_EQ(chipTransportWrite(handle, packets.back().data(), 4), COM_SUCCESS);
    }
    ASSERT_TRUE(eventually([&] { return controller.link.packetsFromHost() == kPackets; })) << controller.link.packetsFromHost();
    EXPECT_EQ(controller.link.packets(), packets);
    ASSERT_TRUE(events.waitFor(comeTransmitCompleted, kPackets));
    for (const ComEvent& done : events.of(comeTransmitCompleted)) EXPECT_EQ(done.status, COM_SUCCESS);
    EXPECT_EQ(events.count(comeAdapterPlugout), 0u);   // the link was never lost
    EXPECT_EQ(chipTransportClose(handle), COM_SUCCESS);
    handle = nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    Buses, NdlcBus,
    ::testing::Values(BusCase{"I2c", "READERTYPE=NCI_ST21 IOTYPE=I2C", &aaFakeReset,
                              [](const Bytes& f) { aaFakeQueueRead(f.data(), f.size()); },
                              [](Controller* c) { aaFakeSetWriteHook(c ? &Controller::onWrite<uint16_t> : nullptr, c); }},
                      BusCase{"Spb", "READERTYPE=NCI_ST21 IOTYPE=SPB", &spFakeReset,
                              [](const Bytes& f) { spFakeSend(f.data(), f.size()); },
                              [](Controller* c) { spFakeSetWriteHook(c ? &Controller::onWrite<uint32_t> : nullptr, c); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
