// A plain ETSI HCI controller on a pseudo-terminal behind SHDLC, started through the public API
// only: the administration and identity steps in order, the capabilities they give, a loopback
// round trip through I/O control, and a second start that finds its own session identity.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "corvane.h"
#include "hci/hci_pn544.h"
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
    explicit EtsiPty(hcisim::Personality personality = hcisim::Personality::plain()) : sim_(std::move(personality)) {}
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
        {A, 0x10, ID},   {ID, 0x03, -1},    {ID, 0x02, 0x06}, {ID, 0x02, 0x01}, {ID, 0x02, 0x02}, {ID, 0x02, 0x03},
        {ID, 0x02, 0x04}, {ID, 0x02, 0x05}, {A, 0x01, 0x03},  {A, 0x10, LOOP}, {A, 0x10, 0x11},  {A, 0x10, 0x13},
        {A, 0x10, 0x24}, {A, 0x01, 0x01},  {LOOP, 0x03, -1},
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

using hcisim::Logged;

// A PN544 behind SHDLC framed by length, started as READERTYPE=PN544.
class Pn544Pty : public EtsiPty {
protected:
    Pn544Pty() : Pn544Pty(std::make_shared<hcisim::Pn544Chip>()) {}
    explicit Pn544Pty(std::shared_ptr<hcisim::Pn544Chip> chip) : EtsiPty(hcisim::pn544Personality(chip)), chip_(chip) {}
    NfcApiStatus startPn544() { return start("PN544"); }
    // The commands to the manager and polling gates and the pipe creations, in order.
    std::vector<hcisim::Message> startSteps() {
        std::vector<hcisim::Message> steps;
        for (const Logged& l : sim_.controller().log()) {
            const bool own = l.gate == hcisim::GATE_PN544_MANAGER || l.gate == hcisim::GATE_POLLING_LOOP;
            if (l.message.type == Type::command && (own || l.message.instruction == hcisim::ADM_CREATE_PIPE))
                steps.push_back(l.message);
        }
        return steps;
    }
    std::vector<Bytes> eepromWrites() {
        std::vector<Bytes> writes;
        for (const hcisim::Message& m : startSteps())
            if (m.instruction == hcisim::PN544_EEPROM_WRITE) writes.push_back(m.data);
        return writes;
    }

    std::shared_ptr<hcisim::Pn544Chip> chip_;
};

TEST_F(Pn544Pty, AColdStartWritesTheEepromThenReadsTheSeConfigurationAndCreatesTheReaders) {
    ASSERT_TRUE(sim_.ok());
    chip_->setEeprom(0x9800, 0x5C);
    TraceCapture trace;
    debugSetFlags(0xFFFFFFFFu);
    ASSERT_EQ(startPn544(), nfcStatusOk);
    debugSetFlags(0);
    EXPECT_TRUE(trace.contains("ehci: SE Configuration is 0x5C"));
    const std::vector<Bytes> writes = {{0x00, 0x9E, 0x71, 0x00}, {0x00, 0x98, 0x09, 0x00}, {0x00, 0x9E, 0xAA, 0x01},
                                       {0x00, 0x9E, 0xB4, 0x00}, {0x00, 0x9F, 0x9A, 0x00}, {0x00, 0x9C, 0x01, 0x08},
                                       {0x00, 0x9F, 0xF0, 0xFF}};
    EXPECT_EQ(eepromWrites(), writes);
    // After the writes: parameter 2, the SE configuration, the polling pipe and its reset, the readers.
    std::vector<hcisim::Message> steps = startSteps();
    auto at = std::find_if(steps.begin(), steps.end(), [](const hcisim::Message& m) { return m.instruction == 0x01; });
    ASSERT_NE(at, steps.end());
    EXPECT_EQ(at->data, (Bytes{0x02, 0x02}));
    ASSERT_GE(steps.end() - at, 5);
    EXPECT_EQ((at + 1)->instruction, hcisim::PN544_EEPROM_READ);
    EXPECT_EQ((at + 1)->data, (Bytes{0x00, 0x98, 0x00}));
    EXPECT_EQ((at + 2)->data, (Bytes{hcisim::GATE_POLLING_LOOP, 0x00, hcisim::GATE_POLLING_LOOP}));
    EXPECT_EQ((at + 4)->data, (Bytes{0x06, 0x80}));
    std::vector<uint8_t> created;
    for (auto it = at + 5; it != steps.end(); ++it)
        if (it->instruction == hcisim::ADM_CREATE_PIPE) created.push_back(it->data[2]);
    EXPECT_EQ(created, (std::vector<uint8_t>{0x11, 0x13, 0x14, 0x12, 0x23, 0x21, 0x24, 0x22, 0x15, 0xA0, 0xA1}));

    const TNfcCapabilityBlock block = capabilities();
    const DWORD flags = block.flags;
    EXPECT_EQ(flags, 33u);
    EXPECT_EQ(block.secureElementCount, 2);
}

TEST_F(Pn544Pty, AWarmStartWithItsOwnIdentityWritesNoEeprom) {
    ASSERT_TRUE(sim_.ok());
    ASSERT_EQ(startPn544(), nfcStatusOk);
    EXPECT_EQ(eepromWrites().size(), 7u);
    stop();
    sim_.controller().powerCycle();
    sim_.controller().clearLog();
    ASSERT_EQ(startPn544(), nfcStatusOk);
    EXPECT_TRUE(eepromWrites().empty());
    const std::vector<hcisim::Message> steps = startSteps();
    EXPECT_TRUE(std::any_of(steps.begin(), steps.end(), [](const hcisim::Message& m) {
        return m.instruction == hcisim::PN544_EEPROM_READ && m.data == Bytes{0x00, 0x98, 0x00};
    }));
}

}  // namespace
