// A PN532 or PN533 on a pseudo-terminal, started through the public API only: the controller gets
// the bring-up commands in order and the capability block reports the chip's family and firmware.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "corvane.h"
#include "pn53x/pn532_pty.h"

namespace {

DWORD ignoreEvent(void*, DWORD, void*, void*) { return 0; }

struct Chip {
    const char* readerType;
    DWORD listenMask;
    friend void PrintTo(const Chip& chip, std::ostream* os) { *os << chip.readerType; }
};
constexpr DWORD kManagerBits = 0xD1000000u;   // the technologies the NFC manager always adds

class Pn53xStartup : public ::testing::TestWithParam<Chip> {
protected:
    ~Pn53xStartup() override {
        if (handle_) nfcDestroy(handle_);
        if (initialised_) nfcDone();
    }
    NfcApiStatus start() {
        const std::string configuration =
            std::string("READERTYPE=") + GetParam().readerType + " IOTYPE=SERIAL PORT=" + sim_.portPath();
        if (NfcApiStatus status = nfcInitialize(configuration.c_str())) return status;
        initialised_ = true;
        return nfcCreate(this, &ignoreEvent, &handle_);
    }

    pn53xsim::Pn532PtySim sim_;
    NfcHandle handle_ = nullptr;
    bool initialised_ = false;
};

TEST_P(Pn53xStartup, BringsTheControllerUpAndReportsItsCapabilities) {
    ASSERT_TRUE(sim_.ok());
    sim_.sim().setFirmware(0x32, 0x01, 0x06, 0x07);
    ASSERT_EQ(start(), nfcStatusOk);

    TNfcCapabilities caps{};
    ASSERT_EQ(nfcGetCapabilities(handle_, &caps, NFC_CAPABILITIES_SIZE(1)), nfcStatusOk);
    const WORD controllers = caps.controllerCount;
    ASSERT_EQ(controllers, 1);
    const TNfcCapabilityBlock& block = *caps.controller;   // packed: read through copies
    const DWORD mask = block.supportedMask, flags = block.flags;
    EXPECT_EQ(mask, GetParam().listenMask | kManagerBits);
    EXPECT_EQ(std::vector<uint8_t>(block.softwareVersion, block.softwareVersion + 4),
              (std::vector<uint8_t>{0x32, 0x01, 0x06, 0x07}));
    EXPECT_STREQ(block.vendorName, "NXP");
    EXPECT_EQ(flags, 32u);

    // SAMConfiguration normal mode, RF retries and timings, then the firmware version.
    const std::vector<pn53xsim::Command> commands = sim_.sim().commands();
    ASSERT_GE(commands.size(), 4u);
    std::vector<uint8_t> codes;
    for (size_t i = 0; i < 4; ++i) codes.push_back(commands[i].code);
    EXPECT_EQ(codes, (std::vector<uint8_t>{0x14, 0x32, 0x32, 0x02}));
    EXPECT_EQ(commands[1].data.at(0), 0x02) << "the timings item first";
    EXPECT_EQ(commands[2].data.at(0), 0x05) << "then the retries item";
}

// A refused or unanswered bring-up command leaves the step pending; layer 1 starts it again once.
TEST_P(Pn53xStartup, ARefusedCommandIsSentAgainOnce) {
    ASSERT_TRUE(sim_.ok());
    sim_.sim().inject(pn53xsim::Fault::Nack);
    ASSERT_EQ(start(), nfcStatusOk);
    const std::vector<pn53xsim::Command> commands = sim_.sim().commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0].code, 0x14);
    EXPECT_EQ(commands[1].code, 0x14);
}

TEST_P(Pn53xStartup, AControllerSilentTwiceDoesNotStart) {
    ASSERT_TRUE(sim_.ok());
    sim_.sim().inject(pn53xsim::Fault::Silence);
    sim_.sim().inject(pn53xsim::Fault::Silence);
    EXPECT_NE(start(), nfcStatusOk);
    EXPECT_EQ(sim_.sim().commands().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Chips, Pn53xStartup,
                         ::testing::Values(Chip{"PN532", 0x503703}, Chip{"PN533", 0x503301}),
                         [](const ::testing::TestParamInfo<Chip>& info) { return std::string(info.param.readerType); });

}  // namespace
