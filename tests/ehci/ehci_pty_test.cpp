// A plain ETSI HCI controller on a pseudo-terminal behind SHDLC, started through the public API
// only: the administration and identity steps in order, the capabilities they give, a loopback
// round trip through I/O control, and a second start that finds its own session identity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvane.h"
#include "hci/hci_pty.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using hcisim::Bytes;
using hcisim::Type;

DWORD ignoreEvent(void*, DWORD, void*, void*) { return 0; }

constexpr DWORD kManagerBits = 0xD1000000u;   // the technologies the NFC manager always adds
constexpr DWORD kPlainMask = 0x1 | 0x2 | 0x100000 | 0x200000 | 0x400000 | 0x800000;

// A command as the controller logged it: the gate its pipe leads to, instruction, first byte.
struct Step {
    uint8_t gate;
    uint8_t instruction;
    int first;      // -1: no data
    bool operator==(const Step&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Step& s) {
    return os << "{gate 0x" << std::hex << int(s.gate) << ", ins 0x" << int(s.instruction) << ", " << std::dec << s.first
              << "}";
}

std::vector<Step> commands(const hcisim::HciController& c) {
    std::vector<Step> steps;
    for (const hcisim::Logged& l : c.log())
        if (l.message.type == Type::command)
            steps.push_back({l.gate, l.message.instruction, l.message.data.empty() ? -1 : l.message.data[0]});
    return steps;
}

class EtsiPty : public ::testing::Test {
protected:
    ~EtsiPty() override { stop(); }
    NfcApiStatus start(const std::string& readerType = "ETSI") {
        const std::string configuration = "READERTYPE=" + readerType + " IOTYPE=SERIAL PORT=" + sim_.portPath();
        if (NfcApiStatus status = nfcInitialize(configuration.c_str())) return status;
        initialised_ = true;
        return nfcCreate(this, &ignoreEvent, &handle_);
    }
    void stop() {
        if (handle_) nfcDestroy(handle_);
        if (initialised_) nfcDone();
        handle_ = nullptr;
        initialised_ = false;
    }
    TNfcCapabilityBlock capabilities() {
        TNfcCapabilities caps{};
        EXPECT_EQ(nfcGetCapabilities(handle_, &caps, NFC_CAPABILITIES_SIZE(1)), nfcStatusOk);
        const WORD controllers = caps.controllerCount;
        EXPECT_EQ(controllers, 1);
        return controllers ? *caps.controller : TNfcCapabilityBlock{};
    }

    hcisim::HciPtySim sim_;
    NfcHandle handle_ = nullptr;
    bool initialised_ = false;
};

TEST_F(EtsiPty, StartsThroughTheAdministrationAndIdentityGates) {
    ASSERT_TRUE(sim_.ok());
    ASSERT_EQ(start(), nfcStatusOk);
    const TNfcCapabilityBlock block = capabilities();   // packed: read through copies
    const DWORD mask = block.supportedMask, flags = block.flags;
    EXPECT_EQ(mask, kPlainMask | kManagerBits);
    EXPECT_EQ(std::vector<uint8_t>(block.softwareVersion, block.softwareVersion + 4), (Bytes{1, 2, 3, 0}));
    EXPECT_EQ(std::vector<uint8_t>(block.hardwareVersion, block.hardwareVersion + 4), (Bytes{4, 5, 6, 0}));
    EXPECT_STREQ(block.vendorName, "Simulated HCI");
    EXPECT_EQ(flags, 1u);

    constexpr uint8_t A = 0x00, ID = 0x05, LOOP = 0x04;
    const std::vector<Step> expected = {
        {A, 0x03, -1},   {A, 0x02, 0x01},   {A, 0x14, -1},   {A, 0x03, -1},   {A, 0x02, 0x04},  {A, 0x02, 0x03},
        {A, 0x10, ID},   {ID, 0x03, -1},    {ID, 0x02, 0x06}, {ID, 0x02, 0x01}, {ID, 0x02, 0x03}, {ID, 0x02, 0x04},
        {ID, 0x02, 0x05}, {A, 0x01, 0x03},  {A, 0x10, LOOP}, {A, 0x10, 0x11},  {A, 0x10, 0x13},  {A, 0x10, 0x24},
        {A, 0x01, 0x01}, {LOOP, 0x03, -1},
    };
    EXPECT_EQ(commands(sim_.controller()), expected);
    EXPECT_EQ(sim_.controller().whiteList(), (Bytes{0x02}));
    const Bytes identity = sim_.controller().sessionIdentity();
    ASSERT_EQ(identity.size(), 8u);
    EXPECT_EQ(identity[0], sim_.controller().pipeTo(ID).value_or(0));
    EXPECT_EQ(identity[2], sim_.controller().pipeTo(LOOP).value_or(0));
    EXPECT_EQ(std::string(identity.begin() + 4, identity.end()), "ELMI");
    EXPECT_TRUE(sim_.controller().isOpen(identity[2]));
}

TEST_F(EtsiPty, ALoopbackMessageComesBackWhole) {
    ASSERT_TRUE(sim_.ok());
    sim_.controller().setPacketSize(11);    // the answer arrives in several packets
    ASSERT_EQ(start(), nfcStatusOk);
    Bytes input(61);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 7 + 1);
    Bytes output(100);
    WORD length = static_cast<WORD>(output.size());
    ASSERT_EQ(nfcDeviceIoControl(handle_, 0x1004, input.data(), static_cast<WORD>(input.size()), output.data(), &length),
              nfcStatusOk);
    output.resize(length);
    EXPECT_EQ(output, input);
}

TEST_F(EtsiPty, ARestartFindsItsOwnSessionIdentity) {
    ASSERT_TRUE(sim_.ok());
    ASSERT_EQ(start("POLARIC"), nfcStatusOk);
    const Bytes first = sim_.controller().sessionIdentity();
    stop();
    sim_.controller().powerCycle();
    sim_.controller().clearLog();
    TraceCapture trace;
    debugSetFlags(0xFFFFFFFFu);
    ASSERT_EQ(start("POLARIC"), nfcStatusOk);
    debugSetFlags(0);
    EXPECT_TRUE(trace.contains("ehci: Own session identity detected"));
    const Bytes second = sim_.controller().sessionIdentity();
    EXPECT_EQ(std::string(second.begin() + 4, second.end()), "ELMI");
    EXPECT_EQ(second.size(), first.size());
    Bytes output(8);
    WORD length = 8;
    const Bytes input = {0xCA, 0xFE};
    EXPECT_EQ(nfcDeviceIoControl(handle_, 0x1004, input.data(), 2, output.data(), &length), nfcStatusOk);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + length), input);
}

TEST_F(EtsiPty, AFailedAdministrationStepFailsTheStartOnce) {
    ASSERT_TRUE(sim_.ok());
    sim_.controller().inject({0x02, hcisim::GATE_ADMIN, 0x04, hcisim::ANY_E_NOK});
    EXPECT_NE(start(), nfcStatusOk);
    // Nothing follows the failed step.
    const std::vector<Step> steps = commands(sim_.controller());
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back(), (Step{hcisim::GATE_ADMIN, 0x02, 0x04}));
}

// A controller that takes every packet and answers none: the start ends with a status.
TEST_F(EtsiPty, ASilentControllerFailsTheStart) {
    ASSERT_TRUE(sim_.ok());
    sim_.controller().setMute(true);
    EXPECT_NE(start(), nfcStatusOk);
    EXPECT_EQ(sim_.controller().log().size(), 1u) << "the Admin pipe's open, then nothing";
}

}  // namespace

namespace {

// The chips whose variants come later start nothing, with a status instead of a hang.
class UnbuiltChip : public ::testing::TestWithParam<const char*> {};

TEST_P(UnbuiltChip, FailsToStart) {
    hcisim::HciPtySim sim;
    ASSERT_TRUE(sim.ok());
    const std::string configuration = std::string("READERTYPE=") + GetParam() + " IOTYPE=SERIAL PORT=" + sim.portPath();
    const NfcApiStatus status = nfcInitialize(configuration.c_str());
    if (status == nfcStatusOk) nfcDone();
    EXPECT_EQ(status, nfcStatusStartFailed);
    EXPECT_TRUE(sim.controller().log().empty());
}

INSTANTIATE_TEST_SUITE_P(Chips, UnbuiltChip, ::testing::Values("PN544"));

}  // namespace
