// The ST21 secure-element activator inside the real layer 1 with the simulated ST21NFCA, on the
// manual clock: the chip switches its SEs when the device manager tells it to and holds the hot
// plug back until the test lets it go (or a test sends one of its own), and the packets the driver
// sends to the device manager are checked.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <vector>

#include "ehci_fixture.h"
#include "hci/hci_st21.h"

namespace {

using hcisim::Bytes;

constexpr uint8_t kDeviceManagerId = 0x02;

// Layer-1 ids of the activator's timers.
constexpr uint8_t kGuard = EHCI_TIMER_BASE + 3;
constexpr uint8_t kUiccPlug = EHCI_TIMER_BASE + 4;
constexpr uint8_t kEsePlug = EHCI_TIMER_BASE + 7;

// Device-manager events as they go out: [0x80 | pipe, 0x40 | event].
const Bytes kUiccOn = {0x82, 0x50};
const Bytes kEseOn = {0x82, 0x62};
const Bytes kEseOff = {0x82, 0x63};
const Bytes kEndOfApdu = {0x82, 0x61};
const Bytes kReadHostList = {0x81, 0x02, 0x04};

class St21Activator : public EhciDriver {
protected:
    St21Activator() : EhciDriver(0x204, personality()) { chip = built; }
    // The chip model is built before the members are: it is kept aside until then.
    static hcisim::Personality personality() {
        hcisim::St21Options o;
        o.uiccOn = false;
        o.eseOn = true;   // a fresh session creates the card pipe only to a powered eSE
        o.hotPlug = hcisim::St21Options::HotPlug::held;
        return hcisim::st21Personality(o, &built);
    }
    static inline std::shared_ptr<hcisim::St21Chip> built;
    void SetUp() override {
        EhciDriver::SetUp();
        ASSERT_TRUE(started());
        ASSERT_EQ(ll->capabilities.secureElementCount, 2);
        uicc = &e()->seRecords[0];
        ese = &e()->seRecords[1];
        ASSERT_EQ(e()->pipes.variant2->id, kDeviceManagerId);
        ASSERT_NE(e()->pipes.se->id, 0) << "the wired card pipe";
        cardOpen = Bytes{static_cast<uint8_t>(0x80 | e()->pipes.se->id), 0x03};
        h.clearSent();
    }
    const TSeActivatorOps& ops() const { return *e()->seOps; }
    void* context() const { return e()->seContext; }

    void secure(uint32_t code, const TNfcInfoSE* se) {
        const NfcSecureHandle handle = se->handle;
        h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
            DriverHarness::kManager,
            {reinterpret_cast<void*>(static_cast<uintptr_t>(handle)), nullptr, nullptr, code, 1000, 0, 0}));
    }
    // The hot plugs the controller held back since the SEs were switched.
    void plugged() {
        for (const hcisim::Message& m : chip->takeHotPlugs()) fromController(sim.send(m));
    }
    bool sentOnce(const Bytes& packet) const { return count(packet) == 1; }
    size_t count(const Bytes& packet) const {
        size_t n = 0;
        for (const Bytes& p : h.sent()) n += p == packet ? 1 : 0;
        return n;
    }
    std::vector<TNfcllSeInd> indications() {
        std::vector<TNfcllSeInd> result;
        for (const OsMessage& m : h.upward(NFC_SE_IND)) result.push_back(nfcllMsgGet<NFC_SE_IND>(m));
        return result;
    }
    bool running(uint8_t id) const { return ll->timers[id].running; }
    // The eSE on, with its card pipe: as after a first secure open.
    void eseOn() {
        secure(0x8002, ese);
        plugged();
        h.advance(1000);
        ASSERT_FALSE(ioCauses().empty());
        ASSERT_EQ(ioCauses().back(), 0);
        h.clearSent();
    }

    std::shared_ptr<hcisim::St21Chip> chip;
    TNfcInfoSE* uicc = nullptr;
    TNfcInfoSE* ese = nullptr;
    Bytes cardOpen;
};

TEST_F(St21Activator, TheChipSwitchGivesBothSt21ChipsTheActivator) {
    EXPECT_EQ(e()->seOps, &ehciSt21SeActivatorOps);
    EXPECT_TRUE(cap.contains("ehci: requested ST21NFC SecureActivation Interface"));
    EXPECT_TRUE(cap.contains("ehci: ST21NFC SE activator init"));
    EXPECT_EQ(ops().uiccStatus, nullptr);
}

TEST_F(EhciDriver, APlainChipHasNoActivator) {
    ASSERT_TRUE(started());
    EXPECT_EQ(e()->seOps, nullptr);
    EXPECT_FALSE(cap.contains("SecureActivation Interface"));
}

// Enabled together with no errors on either, the eSE is switched on first and the UICC only after
// the eSE's host list and the guard time.
TEST_F(St21Activator, BothEnabledAtOnceTheEseGoesFirstAndTheUiccAfterTheHostList) {
    ops().reset(context());
    secure(0x8008, uicc);
    secure(0x8008, ese);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{0, 0}));
    EXPECT_EQ(+uicc->mode, 1);
    EXPECT_EQ(+ese->mode, 1);
    h.advance(1000);
    EXPECT_TRUE(sentOnce(kEseOn));
    EXPECT_EQ(count(kUiccOn), 0u);
    EXPECT_TRUE(running(kEsePlug));
    EXPECT_TRUE(cap.contains("ehci: start ESE activation"));

    const size_t before = indications().size();
    plugged();
    EXPECT_FALSE(running(kEsePlug));
    EXPECT_TRUE(sentOnce(kReadHostList));
    const auto after = indications();
    ASSERT_EQ(after.size(), before + 1);
    EXPECT_EQ(after.back().kind, NFCLL_SE_ACTIVATED);
    EXPECT_EQ(after.back().hSecure, +ese->handle);
    EXPECT_EQ(after.back().flags, 0x2u) << "the wired pipe, no connectivity pipe, no error";
    EXPECT_TRUE(cap.contains("ehci: ESE changed state from OFF to ON, flags = 2"));
    EXPECT_EQ(count(kUiccOn), 0u) << "not before the guard time";

    h.advance(1000);
    EXPECT_TRUE(sentOnce(kUiccOn));
    EXPECT_TRUE(running(kUiccPlug));
    plugged();
    const auto last = indications();
    EXPECT_EQ(last.back().hSecure, +uicc->handle);
    EXPECT_EQ(last.back().kind, NFCLL_SE_ACTIVATED);
    h.advance(1000);
    EXPECT_TRUE(cap.contains("ehci: UICC/ESE state is up to date"));
}

// The SE is bit 0 of the hot plug's byte, its state above 63: the matching hot-plug timer stops,
// the guard starts and the host list is read.
struct HotPlugCase {
    uint8_t first;
    const char* trace;
    bool ese;
    friend void PrintTo(const HotPlugCase& c, std::ostream* os) { *os << std::hex << int(c.first); }
};
class HotPlugByte : public St21Activator, public ::testing::WithParamInterface<HotPlugCase> {};

TEST_P(HotPlugByte, NamesItsSeAndStateAndStopsItsTimer) {
    secure(0x8008, ese);
    ASSERT_TRUE(running(kEsePlug));
    fromController(sim.event(hcisim::PIPE_ADMIN, hcisim::EVT_HOT_PLUG, {GetParam().first}));
    EXPECT_TRUE(cap.contains(GetParam().trace));
    EXPECT_EQ(running(kEsePlug), !GetParam().ese);
    EXPECT_TRUE(running(kGuard));
    EXPECT_TRUE(sentOnce(kReadHostList));
}

INSTANTIATE_TEST_SUITE_P(Bytes, HotPlugByte,
                         ::testing::Values(HotPlugCase{0x00, "ehci: Event HOT PLUG (UICC) ON", false},
                                           HotPlugCase{0x40, "ehci: Event HOT PLUG (UICC) OFF", false},
                                           HotPlugCase{0x01, "ehci: Event HOT PLUG (ESE) ON", true},
                                           HotPlugCase{0x41, "ehci: Event HOT PLUG (ESE) OFF", true}));

TEST_F(St21Activator, ASecureOpenSwitchesTheEseOnThenOpensTheCardPipe) {
    secure(0x8002, ese);
    EXPECT_TRUE(sentOnce(kEseOn));
    EXPECT_TRUE(ioCauses().empty()) << "waits for the eSE";
    plugged();
    EXPECT_TRUE(ioCauses().empty()) << "and for the guard time";
    h.advance(1000);
    EXPECT_TRUE(cap.contains("ehci: start defered secure open"));
    EXPECT_TRUE(cap.contains("ehci: Secure soft reset"));
    EXPECT_TRUE(sentOnce(cardOpen)) << "the card pipe is opened";
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{0}));
}

TEST_F(St21Activator, ASecureOpenWithoutTheWiredPipeFails) {
    e()->pipes.se->id = 0;
    secure(0x8002, ese);
    plugged();
    h.advance(1000);
    EXPECT_TRUE(cap.contains("ehci: secure element not active."));
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{3}));
    EXPECT_EQ(count(cardOpen), 0u);
}

// An eSE that never answers is tried three times; then it is left alone, its error reaches the
// application and the waiting open is answered.
TEST_F(St21Activator, AnEseThatNeverAnswersFailsTheOpenAfterThreeTries) {
    secure(0x8002, ese);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(count(kEseOn), static_cast<size_t>(attempt));
        EXPECT_TRUE(ioCauses().empty());
        sim.setRegistry(hcisim::GATE_ADMIN, 0x04, {0x00, 0x01});   // it did not come up
        h.advance(300);
        h.advance(1000);
    }
    EXPECT_TRUE(cap.contains("ehci: ESE error count = 3"));
    EXPECT_TRUE(cap.contains("!ehci: ESE exceeded max. activation errors. Ignored"));
    EXPECT_EQ(count(kEseOn), 3u);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{3}));
    ASSERT_FALSE(indications().empty());
    EXPECT_EQ(indications().back().kind, NFCLL_SE_DEACTIVATED);
    EXPECT_EQ(indications().back().flags & 0x4u, 0x4u);
}

// Closing the wired session ends the APDU transfer; the eSE goes off only when it is not enabled
// for card emulation, and then after the end of the transfer.
TEST_F(St21Activator, ASecureCloseKeepsAnEnabledEseOn) {
    eseOn();
    ese->mode = 1;
    secure(0x8004, ese);
    EXPECT_TRUE(cap.contains("ehci: start defered secure close"));
    EXPECT_TRUE(sentOnce(kEndOfApdu));
    EXPECT_EQ(count(kEseOff), 0u);
    EXPECT_EQ(ioCauses().back(), 0);
}

TEST_F(St21Activator, ASecureCloseSwitchesADisabledEseOffAfterTheTransfer) {
    eseOn();
    secure(0x8004, ese);
    ASSERT_EQ(h.sent().size(), 2u);
    EXPECT_EQ(h.sent()[0], kEndOfApdu);
    EXPECT_EQ(h.sent()[1], kEseOff);
    EXPECT_EQ(ioCauses().back(), 0);
    EXPECT_TRUE(running(kEsePlug));
}

// A reset answers the waiting open with 3, clears the error counts (with both requested the eSE
// is again first) and arms the guard.
TEST_F(St21Activator, AResetCancelsAPendingOpenAndClearsTheCounts) {
    ops().reset(context());
    secure(0x8008, uicc);
    secure(0x8008, ese);
    h.advance(1000);
    ASSERT_TRUE(sentOnce(kEseOn));
    h.advance(300);
    ASSERT_TRUE(cap.contains("ehci: ESE error count = 1"));
    secure(0x8002, ese);
    h.clearSent();
    ops().reset(context());
    h.run();
    EXPECT_TRUE(cap.contains("ehci: cancel pending secure open/close call"));
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{0, 0, 3}));
    EXPECT_TRUE(running(kGuard));
    EXPECT_FALSE(running(kEsePlug));
    h.advance(1000);
    EXPECT_TRUE(sentOnce(kEseOn)) << "a tie again: the eSE first";
    EXPECT_EQ(count(kUiccOn), 0u);
    h.advance(300);
    h.advance(1000);
    EXPECT_EQ(ioCauses().size(), 3u) << "the cancelled open is not answered again";
}

TEST_F(St21Activator, ANewConnectivityPipeIsNotified) {
    fromController(sim.notifyPipeCreated(hcisim::HOST_ESE, hcisim::GATE_CONNECTIVITY, hcisim::GATE_CONNECTIVITY));
    ASSERT_NE(e()->pipes.variant->id, 0);
    h.run();
    EXPECT_TRUE(cap.contains("ehci: ESE changed flags from 0 to 3"));
    ASSERT_EQ(indications().size(), 1u);
    EXPECT_EQ(indications()[0].hSecure, +ese->handle);
    EXPECT_EQ(indications()[0].flags, 0x3u);
    ops().pipeNotification(context(), e()->pipes.variant);
    h.run();
    EXPECT_EQ(indications().size(), 1u) << "nothing changed";
}

// The activator takes its own three timers and leaves the others to the driver.
TEST_F(St21Activator, TakesTimersThreeFourAndSevenOnly) {
    for (uint32_t index = 0; index < 8; ++index)
        EXPECT_EQ(ops().timerExpired(context(), index) != 0, index == 3 || index == 4 || index == 7) << index;
    EXPECT_TRUE(cap.contains("ehci: unexpected UICC HOT PLUG timeout. Ignored"));
    EXPECT_TRUE(cap.contains("ehci: unexpected ESE HOT PLUG timeout. Ignored"));
}

// A secure PDU is watched from its last packet on, for 300 ms when the caller gave no time-out:
// an eSE that keeps silent fails the exchange instead of leaving it waiting.
TEST_F(St21Activator, ASilentEseFailsTheExchangeThreeHundredMillisecondsAfterTheLastPacket) {
    eseOn();
    const size_t before = ioCauses().size();
    sim.setMute(true);
    h.holdTx(true);
    const Bytes apdu(60, 0x5A);
    h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
        DriverHarness::kManager,
        {reinterpret_cast<void*>(static_cast<uintptr_t>(ese->handle)), apdu.data(), nullptr, 0x8003, 0,
         static_cast<uint16_t>(apdu.size()), 0}));
    ASSERT_GT(h.heldTx(), 1u) << "the PDU takes several packets";
    h.advance(400);
    EXPECT_EQ(ioCauses().size(), before) << "not before the packets are out";
    h.releaseTx();
    h.advance(299);
    EXPECT_EQ(ioCauses().size(), before);
    h.advance(2);
    ASSERT_EQ(ioCauses().size(), before + 1);
    EXPECT_EQ(ioCauses().back(), 9);
    h.holdTx(false);
}

}  // namespace
