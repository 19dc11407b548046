// The stack started through the public API on the buses other than the serial port: the fake
// bus libraries carry the packets to the simulated controller (through the simulator's NDLC
// endpoint where the bus runs NDLC), a tag is detected and read raw.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "aardvark_fake.h"
#include "api_stack.h"
#include "armboard_fake.h"
#include "ndlc/ndlc_endpoint.h"
#include "sim_port_bridge.h"
#include "spbproxy_fake.h"
#include "tags/t2t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kRfDiscover = 0x2103;

// What joins one fake bus to the simulator's port; it lives as long as the stack runs.
struct Plumbing {
    virtual ~Plumbing() = default;
};

// The proxy's serial link moves whole packets both ways.
struct SerialProxyPlumbing : Plumbing {
    explicit SerialProxyPlumbing(const std::string& port)
        : bridge(port, [](const Bytes& p) { spFakeDeliver(p.data(), static_cast<uint32_t>(p.size())); }) {
        spFakeSetWriteHook(&onWrite, this);
    }
    ~SerialProxyPlumbing() override { spFakeSetWriteHook(nullptr, nullptr); }
    static void onWrite(void* self, const uint8_t* data, uint32_t n) { static_cast<SerialProxyPlumbing*>(self)->bridge.write(data, n); }
    SimPortBridge bridge;
};

// The ARM board's library moves whole packets; the controller's raise the interrupt until read.
struct ArmBoardPlumbing : Plumbing {
    explicit ArmBoardPlumbing(const std::string& port)
        : bridge(port, [](const Bytes& p) { armFakeQueuePacket(p.data(), p.size()); }) {
        armFakeSetWriteHook(&onWrite, this);
    }
    ~ArmBoardPlumbing() override { armFakeSetWriteHook(nullptr, nullptr); }
    static void onWrite(void* self, const uint8_t* data, uint16_t n) { static_cast<ArmBoardPlumbing*>(self)->bridge.write(data, n); }
    SimPortBridge bridge;
};

// NDLC frames on the bus; the endpoint unwraps the host's packets and wraps the controller's.
struct NdlcPlumbing : Plumbing {
    NdlcPlumbing(const std::string& port, ndlcsim::NdlcEndpoint::Sink toHost)
        : link(std::move(toHost), [this](const Bytes& p) { bridge.write(p.data(), p.size()); }),
          bridge(port, [this](const Bytes& p) { link.send(p); }) {}
    ndlcsim::NdlcEndpoint link;
    SimPortBridge bridge;
};

struct SpbPlumbing : NdlcPlumbing {
    explicit SpbPlumbing(const std::string& port)
        : NdlcPlumbing(port, [](const Bytes& f) { spFakeSend(f.data(), f.size()); }) {
        spFakeSetWriteHook(&onWrite, this);
    }
    ~SpbPlumbing() override { spFakeSetWriteHook(nullptr, nullptr); }
    static void onWrite(void* self, const uint8_t* data, uint32_t n) { static_cast<SpbPlumbing*>(self)->link.feed(data, n); }
};

struct I2cPlumbing : NdlcPlumbing {
    explicit I2cPlumbing(const std::string& port)
        : NdlcPlumbing(port, [](const Bytes& f) { aaFakeQueueRead(f.data(), f.size()); }) {
        aaFakeSetWriteHook(&onWrite, this);
    }
    ~I2cPlumbing() override { aaFakeSetWriteHook(nullptr, nullptr); }
    static void onWrite(void* self, const uint8_t* data, uint16_t n) { static_cast<I2cPlumbing*>(self)->link.feed(data, n); }
};

struct BusCase {
    const char* name;
    const char* configuration;
    std::function<std::unique_ptr<Plumbing>(const std::string& port)> join;
};
std::ostream& operator<<(std::ostream& os, const BusCase& c) { return os << c.name; }

template <typename T>
std::unique_ptr<Plumbing> joined(const std::string& port) {
    return std::make_unique<T>(port);
}

class BusStart : public ::testing::TestWithParam<BusCase> {
protected:
    void SetUp() override {
        spFakeReset();
        aaFakeReset();
        armFakeReset();
    }
    void TearDown() override {
        spFakeReset();
        aaFakeReset();
        armFakeReset();
    }
};

TEST_P(BusStart, TheStackStartsOverTheBusAndATagIsDetectedAndReadRaw) {
    // The plumbing outlives the stack: its shutdown still reaches the controller.
    std::unique_ptr<Plumbing> plumbing;
    ApiStack stack;
    plumbing = GetParam().join(stack.sim().portPath());
    ASSERT_EQ(stack.startWith(GetParam().configuration), nfcStatusOk) << stack.sim().describe();
    NfcListenerHandle listener = stack.listen(TAG_ISO14443A);
    ASSERT_NE(listener, nullptr);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1)) << stack.sim().describe();
    auto tag = std::make_shared<simtags::T2tTag>();
    stack.sim().rf().enter(tag);
    const auto detected = stack.waitFor(nfcEventTagDetected);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(Bytes(detected->tag.uid, detected->tag.uid + detected->tag.uidLength),
              (Bytes{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    ASSERT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);
    const Bytes read{0x30, 0x00};   // pages 0 to 3: the UID's first bytes open page 0
    Bytes answer(64);
    WORD length = static_cast<WORD>(answer.size());
    ASSERT_EQ(nfcExchangePdu(listener, read.data(), static_cast<WORD>(read.size()), answer.data(), &length), nfcStatusOk);
    ASSERT_EQ(length, 16);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 3), (Bytes{0x04, 0x11, 0x22}));
}

INSTANTIATE_TEST_SUITE_P(
    Buses, BusStart,
    ::testing::Values(BusCase{"SerialProxy", "READERTYPE=NCI IOTYPE=SERIALUMDF PORT=COM3", &joined<SerialProxyPlumbing>},
                      BusCase{"ArmBoard", "READERTYPE=PN547 IOTYPE=I2C", &joined<ArmBoardPlumbing>},
                      BusCase{"I2cNdlc", "READERTYPE=NCI_ST21 IOTYPE=I2C", &joined<I2cPlumbing>},
                      BusCase{"SpbNdlc", "READERTYPE=NCI_ST21 IOTYPE=SPB", &joined<SpbPlumbing>}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
