// The PN544 variant inside the real layer 1 against the simulated PN544, packet by packet: its
// I/O-control table on the device manager, the secure requests that switch the SmartMX through
// the wired interface, and the pipe notification the UICC host sends.
#include <algorithm>
#include <memory>

#include "ehci_fixture.h"
#include "hci/hci_pn544.h"
#include "tags/t1t_tag.h"

namespace {

using hcisim::Bytes;
using hcisim::Message;
using hcisim::Type;

constexpr uint16_t kPn544 = 0x205;

// Address (32 bits) and count (16 bits) as the EEPROM codes take them, then the bytes.
Bytes transfer(uint32_t address, uint16_t count, const Bytes& bytes = {}) {
    Bytes b(6 + bytes.size());
    std::memcpy(b.data(), &address, 4);
    std::memcpy(b.data() + 4, &count, 2);
    std::copy(bytes.begin(), bytes.end(), b.begin() + 6);
    return b;
}

class Pn544Driver : public EhciDriver {
protected:
    Pn544Driver() : Pn544Driver(std::make_shared<hcisim::Pn544Chip>()) {}
    explicit Pn544Driver(std::shared_ptr<hcisim::Pn544Chip> chip)
        : EhciDriver(kPn544, hcisim::pn544Personality(chip)), chip_(std::move(chip)) {}

    TNfcllIoControlConf lastIo() {
        const auto confs = h.upward(NFCLL_IOCONTROL_CONF);
        return confs.empty() ? TNfcllIoControlConf{0xFFFF, 0, nullptr} : nfcllMsgGet<NFCLL_IOCONTROL_CONF>(confs.back());
    }
    uint16_t secure(uint32_t code, const TNfcInfoSE& se) {
        const size_t before = h.upward(NFCLL_IOCONTROL_CONF).size();
        h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
            DriverHarness::kManager,
            {reinterpret_cast<void*>(static_cast<uintptr_t>(se.handle)), nullptr, nullptr, code, 0, 0, 0}));
        return h.upward(NFCLL_IOCONTROL_CONF).size() > before ? lastIo().cause : 0xFFFF;
    }
    std::vector<uint32_t> seKinds() {
        std::vector<uint32_t> kinds;
        for (const OsMessage& m : h.upward(NFC_SE_IND)) kinds.push_back(nfcllMsgGet<NFC_SE_IND>(m).kind);
        return kinds;
    }
    const TNfcInfoSE& smartMx() const { return e()->seRecords[1]; }
    void secureIo(uint32_t code, const TNfcInfoSE& se, const Bytes& input, uint16_t room) {
        in_ = input;
        output.assign(room, 0);
        h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
            DriverHarness::kManager, {reinterpret_cast<void*>(static_cast<uintptr_t>(se.handle)), in_.data(),
                                      output.data(), code, 0, static_cast<uint16_t>(in_.size()), room}));
    }
    Bytes in_;

    std::shared_ptr<hcisim::Pn544Chip> chip_;
};

TEST_F(Pn544Driver, StartsWithTwoSecureElementsAndNoIp1WithoutItsGates) {
    ASSERT_TRUE(started());
    const TNfcCapabilityBlock& caps = *e()->capabilities;
    ASSERT_EQ(+caps.secureElementCount, 2);
    EXPECT_EQ(+caps.secureElements[0]->capabilities, 0xA001);
    EXPECT_EQ(+caps.secureElements[0]->id, 1);
    EXPECT_EQ(+caps.secureElements[1]->capabilities, 0x4003);
    EXPECT_EQ(+caps.secureElements[1]->id, 2);
    EXPECT_EQ(+caps.flags, 33u);
    EXPECT_EQ(e()->stripLastByteMask, 0x83u);
    EXPECT_EQ(e()->supportedMask & 0x4B000u, 0u);
    EXPECT_EQ(e()->supportedMask & 0xF20707u, 0xF20707u);
}

struct DeviceCase {
    const char* name;
    uint32_t code;
    Bytes input;
    uint16_t outputSize;
    uint16_t cause;
    Bytes answer;
};
class Pn544DeviceIo : public Pn544Driver, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(Pn544DeviceIo, AnswersByTheTable) {
    chip_->setEeprom(0xF82A, 0x08);
    chip_->setEeprom(0x1234, 0xA1);
    chip_->setEeprom(0x1235, 0xA2);
    ASSERT_TRUE(started());
    const DeviceCase& c = GetParam();
    ioControl(c.code, c.input, c.outputSize);
    const TNfcllIoControlConf conf = lastIo();
    EXPECT_EQ(conf.cause, c.cause);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + conf.length), c.answer);
    EXPECT_FALSE(e()->flags & EHCI_F_IO_PENDING);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Pn544DeviceIo,
    ::testing::Values(DeviceCase{"GpioThreeReadsOne", 0x1009, {3}, 4, 0, {1}},
                      DeviceCase{"GpioTwoReadsZero", 0x1009, {2}, 4, 0, {0}},
                      DeviceCase{"GpioAboveSeven", 0x1009, {8}, 4, 7, {}},
                      DeviceCase{"GpioWriteAboveSeven", 0x100A, {8, 1}, 0, 7, {}},
                      DeviceCase{"GpioWriteValueTwo", 0x100A, {1, 2}, 0, 7, {}},
                      DeviceCase{"AntennaNeedsFourBytes", 0x1200, {1, 2, 3}, 8, 7, {}},
                      DeviceCase{"AntennaAnswers", 0x1200, {1, 2, 3, 4}, 8, 0, {0x00, 0x5A}},
                      DeviceCase{"PatternNeedsTwoBytes", 0x1201, {1}, 8, 7, {}},
                      DeviceCase{"SwpNeedsTwoBytesOut", 0x1202, {}, 1, 7, {}},
                      DeviceCase{"SwpAnswers", 0x1202, {}, 2, 0, {0x00, 0x01}},
                      DeviceCase{"EepromRead", 0x0001, transfer(0x1234, 2), 4, 0, {0xA1, 0xA2}},
                      DeviceCase{"EepromReadBeyondOutput", 0x0001, transfer(0x1234, 5), 4, 2, {}},
                      DeviceCase{"EepromReadShortInput", 0x0001, {0x34, 0x12, 0, 0}, 4, 2, {}},
                      DeviceCase{"EepromWriteBeyondInput", 0x0002, transfer(0x2000, 3, {1, 2}), 0, 2, {}},
                      DeviceCase{"TakenWithoutAction", 0x1003, {}, 0, 0, {}},
                      DeviceCase{"Unknown", 0x1300, {}, 0, 7, {}}),
    [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

TEST_F(Pn544Driver, EepromWritesLandInOrderAndTheGpioWriteClearsThePinAsBuilt) {
    chip_->setEeprom(0xF82B, 0xFF);
    ASSERT_TRUE(started());
    ioControl(0x0002, transfer(0x2000, 3, {7, 8, 9}));
    EXPECT_EQ(lastIo().cause, 0);
    EXPECT_EQ(chip_->eeprom(0x2000), 7);
    EXPECT_EQ(chip_->eeprom(0x2002), 9);
    ioControl(0x100A, {3, 1});
    EXPECT_EQ(lastIo().cause, 0);
    EXPECT_EQ(chip_->eeprom(0xF82B), 0xF7);
    ioControl(0x100A, {3, 0});
    EXPECT_EQ(lastIo().cause, 0);
    EXPECT_EQ(chip_->eeprom(0xF82B), 0xF7);
}

// The SmartMX's modes through the wired interface: each request answers with its status, sends
// the WI mode event, and signals the record.
TEST_F(Pn544Driver, TheSmartMxSwitchesBetweenItsModes) {
    ASSERT_TRUE(started());
    EXPECT_EQ(secure(0x8008, smartMx()), 0);   // 0 -> 1
    EXPECT_EQ(+smartMx().mode, 1);
    EXPECT_EQ(chip_->lastWiMode(), 2);
    EXPECT_EQ(secure(0x8008, smartMx()), 10);  // 1 -> 1 is no change the chip knows
    EXPECT_EQ(secure(0x8002, smartMx()), 0);   // 1 -> 2
    EXPECT_EQ(+smartMx().mode, 2);
    EXPECT_EQ(chip_->lastWiMode(), 0);
    EXPECT_EQ(secure(0x8008, smartMx()), 7);   // enabling a wired SmartMX
    EXPECT_EQ(secure(0x8004, smartMx()), 0);   // 2 -> 0 with transaction events on: back to virtual
    EXPECT_EQ(+smartMx().mode, 1);
    EXPECT_EQ(secure(0x800A, smartMx()), 0);   // 1 -> 0
    EXPECT_EQ(+smartMx().mode, 0);
    EXPECT_EQ(chip_->lastWiMode(), 1);
    EXPECT_EQ(secure(0x8002, smartMx()), 0);   // 0 -> 2
    EXPECT_EQ(+smartMx().mode, 2);
    EXPECT_EQ(secure(0x8004, smartMx()), 0);   // 2 -> 0 without them: off
    EXPECT_EQ(+smartMx().mode, 0);
    EXPECT_EQ(seKinds(), (std::vector<uint32_t>{NFCLL_SE_ACTIVATED, NFCLL_SE_DEACTIVATED, NFCLL_SE_ACTIVATED,
                                                NFCLL_SE_DEACTIVATED, NFCLL_SE_DEACTIVATED, NFCLL_SE_DEACTIVATED}));
    EXPECT_EQ(nfcllMsgGet<NFC_SE_IND>(h.upward(NFC_SE_IND).front()).hSecure, +smartMx().handle);
}

// A PH reset keeps the records' modes, and the completion brings the SmartMX back to its mode
// through the wired interface before the reset is reported; no I/O control is answered for it.
TEST_F(Pn544Driver, TheSecureElementsModesSurviveAReset) {
    ASSERT_TRUE(started());
    ASSERT_EQ(secure(0x8008, smartMx()), 0);
    ASSERT_EQ(+smartMx().mode, 1);
    const size_t answered = h.upward(NFCLL_IOCONTROL_CONF).size();
    sim.powerCycle();
    sim.clearLog();
    h.toLayer1(nfcllMsgMake<PH_RESET_REQ>(DriverHarness::kManager));
    h.run();
    EXPECT_EQ(h.upward(PH_RESET_CONF).size(), 1u);
    EXPECT_EQ(+smartMx().mode, 1);
    EXPECT_EQ(+e()->capabilities->secureElementCount, 2);
    EXPECT_TRUE(cap.contains("ehci: Reinit SE #1"));
    size_t modeEvents = 0;
    for (const hcisim::Logged& l : sim.log())
        modeEvents += l.gate == hcisim::GATE_PN544_WI && l.message.type == Type::event &&
                      l.message.instruction == hcisim::PN544_WI_MODE;
    EXPECT_EQ(modeEvents, 1u);
    EXPECT_EQ(chip_->lastWiMode(), 2);
    EXPECT_EQ(h.upward(NFCLL_IOCONTROL_CONF).size(), answered);
    EXPECT_EQ(e()->state, 34u);
}

std::vector<TNfcTagInfo> detectedTags(DriverHarness& h) {
    std::vector<TNfcTagInfo> tags;
    for (const OsMessage& m : h.upward(NFCLL_DEVICE_IND)) tags.push_back(*nfcllMsgGet<NFCLL_DEVICE_IND>(m).device);
    return tags;
}

// A wired session opens once the SmartMX shows on reader A: its historical bytes answer the open,
// and its APDUs go through reader A. When it does not show, the secure watchdog closes the
// session after 150 ms and the open fails with 9.
TEST_F(Pn544Driver, AWiredSessionOpensWhenTheSmartMxShowsOnReaderA) {
    ASSERT_TRUE(started());
    secureIo(0x8002, smartMx(), {}, 16);
    ASSERT_EQ(ioCauses(), (std::vector<uint16_t>{0}));
    EXPECT_EQ(Bytes(lastIo().data, lastIo().data + lastIo().length), (Bytes{'S', 'M', 'X'}));
    EXPECT_TRUE(cap.contains("ehci: Open SmartMX access successfully"));
    EXPECT_TRUE(detectedTags(h).empty()) << "the SmartMX is no tag of the application's";
    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    secureIo(0x8003, smartMx(), select, 16);
    ASSERT_EQ(ioCauses().size(), 2u);
    EXPECT_EQ(ioCauses()[1], 0);
    EXPECT_EQ(Bytes(lastIo().data, lastIo().data + lastIo().length), (Bytes{0x90, 0x00}));
}

TEST_F(Pn544Driver, AWiredSessionWhoseSmartMxNeverShowsIsClosedByTheSecureWatchdog) {
    ASSERT_TRUE(started());
    chip_->smartMx().removeAfter(0);
    secureIo(0x8002, smartMx(), {}, 16);
    EXPECT_TRUE(ioCauses().empty());
    h.advance(151);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{9}));
    EXPECT_EQ(+smartMx().mode, 0);
}

TEST_F(Pn544Driver, AWiredSessionClosedByItsWatchdogAnswersNineAndNoRequestAnswersOne) {
    ASSERT_TRUE(started());
    ASSERT_EQ(secure(0x8002, smartMx()), 0);
    etsiHciTimerExpired(EHCI_TIMER_SECURE, e());
    h.run();
    EXPECT_EQ(lastIo().cause, 9);
    EXPECT_FALSE(e()->flags & EHCI_F_SE_CLOSED);
    e()->currentSe = nullptr;
    etsiHciTimerExpired(EHCI_TIMER_SECURE, e());
    h.run();
    EXPECT_EQ(lastIo().cause, 1);
}

TEST_F(Pn544Driver, ThePipeTheUiccCreatesBecomesTheConnectivityPipeAndAShortNoticeIsIgnored) {
    ASSERT_TRUE(started());
    const uint8_t before = e()->pipes.connectivity->id;
    fromController(sim.send(Message{hcisim::PIPE_ADMIN, Type::command, hcisim::ADM_NOTIFY_PIPE_CREATED, {0x02, 0x21, 0x01}}));
    EXPECT_EQ(e()->pipes.connectivity->id, before);
    fromController(sim.notifyPipeCreated(hcisim::HOST_UICC, 0x21, 0x41));
    const uint8_t id = e()->pipes.connectivity->id;
    EXPECT_NE(id, 0);
    EXPECT_STREQ(e()->pipes.connectivity->name, "Connectivity pipe");
}

void listenFor(DriverHarness& h, uint32_t mask) {
    h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {mask, nullptr}));
}


TEST_F(Pn544Driver, AFelicaTagIsReadFromTheReaderRegistryWithAShortPmmAsFarAsItCame) {
    ASSERT_TRUE(started());
    const uint8_t pipe = sim.pipeTo(hcisim::GATE_PN544_FELICA).value_or(0);
    ASSERT_NE(pipe, 0);
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x01, {0x12, 0xFC});
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x04, {0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05});
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x05, {0x11, 0x22, 0x33});
    listenFor(h, 0x100);
    fromController(sim.event(pipe, hcisim::EVT_TARGET_DISCOVERED, {0x00}));
    const std::vector<TNfcTagInfo> tags = detectedTags(h);
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(tags[0].tagType, 0x100u);
    EXPECT_EQ(tags[0].felica.systemCode, 0x12FC);
    EXPECT_EQ(Bytes(tags[0].uid, tags[0].uid + tags[0].uidLength), (Bytes{0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}));
    EXPECT_EQ(Bytes(tags[0].felica.pmm, tags[0].felica.pmm + 8), (Bytes{0x11, 0x22, 0x33, 0, 0, 0, 0, 0}));
}

// The FeliCa exchange carries its time-out as the count of milliseconds split in two bytes.
TEST_F(Pn544Driver, AFelicaExchangeCarriesItsTimeOutSplitInTwoBytes) {
    ASSERT_TRUE(started());
    const uint8_t pipe = sim.pipeTo(hcisim::GATE_PN544_FELICA).value_or(0);
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x01, {0x12, 0xFC});
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x04, {0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05});
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x05, Bytes(8, 0x11));
    listenFor(h, 0x100);
    fromController(sim.event(pipe, hcisim::EVT_TARGET_DISCOVERED, {0x00}));
    ASSERT_EQ(detectedTags(h).size(), 1u);
    h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager, {}));
    const Bytes poll = {0x06, 0x00, 0x12, 0xFC, 0x00, 0x00};
    h.clearSent();
    h.toLayer1(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(DriverHarness::kManager, {poll.data(), 6, 0}));
    ASSERT_FALSE(h.sent().empty());
    const Bytes& packet = h.sent().front();
    ASSERT_GE(packet.size(), 4u);
    EXPECT_EQ(Bytes(packet.begin() + 1, packet.begin() + 4), (Bytes{0x20, 0x12, 0x11})) << "309 ms: 18 x 18";
}

TEST_F(Pn544Driver, AnNfcDepTargetBehindTheFelicaReaderIsLetGo) {
    ASSERT_TRUE(started());
    const uint8_t pipe = sim.pipeTo(hcisim::GATE_PN544_FELICA).value_or(0);
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x01, {0x01, 0xFE});
    listenFor(h, 0x100);
    sim.clearLog();
    fromController(sim.event(pipe, hcisim::EVT_TARGET_DISCOVERED, {0x00}));
    EXPECT_TRUE(detectedTags(h).empty());
    const auto log = sim.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().message.type, Type::event);
    EXPECT_EQ(log.back().message.instruction, 0x35);   // header 0x75
}

TEST_F(Pn544Driver, AJewelTagIsIdentifiedByItsRid) {
    ASSERT_TRUE(started());
    const uint8_t pipe = sim.pipeTo(hcisim::GATE_PN544_JEWEL).value_or(0);
    ASSERT_NE(pipe, 0);
    auto tag = std::make_shared<simtags::T1tTag>();
    sim.enter(tag);
    listenFor(h, 0x400);
    sim.clearLog();
    fromController(sim.event(pipe, hcisim::EVT_TARGET_DISCOVERED, {0x00}));
    const std::vector<TNfcTagInfo> tags = detectedTags(h);
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(tags[0].tagType, 0x400u);
    EXPECT_EQ(Bytes(tags[0].uid, tags[0].uid + tags[0].uidLength), Bytes(tag->a.nfcid1.begin(), tag->a.nfcid1.begin() + 4));
    // The chip's firmware is older than the long form: RID goes out as its command byte alone.
    const auto log = sim.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().message.instruction, 0x20);
    EXPECT_EQ(log.front().message.data, (Bytes{0x78}));
}

// The long form of the Jewel RID goes with a PN65N or a firmware (the software version's first
// byte) of 0x62 and above; the hardware version says nothing of it.
struct FirmwareCase {
    Bytes software, hardware;
    uint8_t rid;
};

class Pn544Firmware : public EhciDriver, public ::testing::WithParamInterface<FirmwareCase> {
protected:
    Pn544Firmware() : EhciDriver(kPn544, personality()) {}
    static hcisim::Personality personality() {
        hcisim::Personality p = hcisim::pn544Personality(std::make_shared<hcisim::Pn544Chip>());
        p.softwareVersion = GetParam().software;
        p.hardwareVersion = GetParam().hardware;
        return p;
    }
};

TEST_P(Pn544Firmware, ChoosesTheJewelRidForm) {
    ASSERT_TRUE(started());
    const uint8_t pipe = sim.pipeTo(hcisim::GATE_PN544_JEWEL).value_or(0);
    sim.enter(std::make_shared<simtags::T1tTag>());
    listenFor(h, 0x400);
    sim.clearLog();
    fromController(sim.event(pipe, hcisim::EVT_TARGET_DISCOVERED, {0x00}));
    const auto log = sim.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().message.instruction, GetParam().rid);
}

INSTANTIATE_TEST_SUITE_P(Versions, Pn544Firmware,
                         ::testing::Values(FirmwareCase{{0x62, 0x00, 0x00}, {0x42, 0x01, 0x00}, 0x23},
                                           FirmwareCase{{0x10, 0x60, 0x00}, {0x62, 0x01, 0x00}, 0x20}));

}  // namespace
