// The PN544 secure-element activator inside the real driver and layer 1 against the simulated
// PN544, on the manual clock: mode requests come through I/O control and the chip's polling
// loop, the controller's hot plug and the layer-1 timers reach it through the core, and the
// UICC gate answers its SWP status from a script.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <vector>

#include "ehci_fixture.h"
#include "hci/hci_pn544.h"

namespace {

using hcisim::Bytes;

constexpr uint8_t kUiccGate = hcisim::GATE_PN544_UICC;
constexpr uint8_t kPollingGate = hcisim::GATE_POLLING_LOOP;

class Pn544SeActivator : public EhciDriver {
protected:
    Pn544SeActivator() : Pn544SeActivator(std::make_shared<hcisim::Pn544Chip>()) {}
    explicit Pn544SeActivator(std::shared_ptr<hcisim::Pn544Chip> c)
        : EhciDriver(0x205, hcisim::pn544Personality(c)), chip(std::move(c)) {}
    void SetUp() override {
        EhciDriver::SetUp();
        ASSERT_TRUE(started());
        uicc = &e()->seRecords[0];
        smartMx = &e()->seRecords[1];
        ASSERT_TRUE(uicc->capabilities & 0x2000);
        setStatus(0x00);
        indications();
        sim.clearLog();
    }
    void setStatus(uint8_t status) { chip->setSwpStatuses({status}); }
    // The UICC creates its connectivity pipe and opens it.
    void connectivityCreated() {
        fromController(sim.notifyPipeCreated(hcisim::HOST_UICC, 0x21, 0x41));
        const uint8_t id = e()->pipes.connectivity->id;
        fromController(sim.send(hcisim::Message{id, hcisim::Type::command, hcisim::ANY_OPEN_PIPE, {}}));
    }
    // Without the UICC in the host list the loop's phases carry the no-card bit.
    void listenForReaderA() {
        e()->flags &= ~(EHCI_F_UICC_HOST | EHCI_F_SE_HOST);
        e()->listenMask = 0x1;
    }
    TEhci544SeActivator& se() const { return *static_cast<TEhci544SeActivator*>(e()->seContext); }
    // The application's mode request, as I/O control hands it to the chip's secure handler.
    void request(const TNfcInfoSE* record, bool on) {
        h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
            DriverHarness::kManager, {reinterpret_cast<void*>(static_cast<uintptr_t>(NfcSecureHandle{record->handle})),
                                      nullptr, nullptr, on ? 0x8008u : 0x800Au, 0, 0, 0}));
        h.run();
    }
    void hotPlug() { fromController(sim.hotPlug()); }
    // The commands that reached a gate, as (instruction, data).
    std::vector<Bytes> commandsTo(uint8_t gate) const {
        std::vector<Bytes> out;
        for (const hcisim::Logged& l : sim.log())
            if (l.gate == gate && l.message.type == hcisim::Type::command) {
                Bytes b{l.message.instruction};
                b.insert(b.end(), l.message.data.begin(), l.message.data.end());
                out.push_back(b);
            }
        return out;
    }
    // The SE indications since the last look.
    std::vector<TNfcllSeInd> indications() {
        h.run();
        std::vector<TNfcllSeInd> out;
        const std::vector<OsMessage> all = h.upward(NFC_SE_IND);
        for (size_t i = seen_; i < all.size(); ++i) out.push_back(nfcllMsgGet<NFC_SE_IND>(all[i]));
        seen_ = all.size();
        return out;
    }

    std::shared_ptr<hcisim::Pn544Chip> chip;
    TNfcInfoSE* uicc = nullptr;
    TNfcInfoSE* smartMx = nullptr;

private:
    size_t seen_ = 0;
};

const Bytes kModeOn{hcisim::ANY_SET_PARAMETER, 0x01, 0x01};
const Bytes kModeOff{hcisim::ANY_SET_PARAMETER, 0x01, 0x00};
const Bytes kStatusRead{hcisim::ANY_GET_PARAMETER, 0x02};

TEST_F(Pn544SeActivator, IsTheActivatorOfThePn544Chip) {
    EXPECT_EQ(e()->seOps, &ehci544SeActivatorOps);
    EXPECT_EQ(se().instance, e());
    EXPECT_TRUE(cap.contains("ehci: requested PN544 SecureActivation Interface"));
    EXPECT_TRUE(cap.contains("ehci: PN544 SE activator init"));
    EXPECT_EQ(ehci544SeActivatorOps.secureOpen, nullptr);
    EXPECT_EQ(ehci544SeActivatorOps.secureClose, nullptr);
}

TEST_F(Pn544SeActivator, EnableSwitchesTheUiccOnAndReportsItWithTheConnectivityBit) {
    connectivityCreated();
    h.advance(400);           // the guard that the pipe's notification started
    ASSERT_EQ(indications().size(), 1u);
    listenForReaderA();
    request(uicc, true);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{0}));
    EXPECT_EQ(WORD{uicc->mode}, 1u);
    EXPECT_EQ(commandsTo(kUiccGate), (std::vector<Bytes>{kModeOn}));
    EXPECT_TRUE(se().hotPlugArmed);
    EXPECT_EQ(se().activity, EHCI544_SE_ACTIVATING);

    setStatus(0x02);
    h.advance(150);
    hotPlug();
    // The loop keeps reader A and gives up the no-card phase while the UICC comes up.
    EXPECT_EQ(commandsTo(kPollingGate).back(), (Bytes{hcisim::ANY_SET_PARAMETER, 0x06, 0x01}));
    EXPECT_EQ(commandsTo(kUiccGate), (std::vector<Bytes>{kModeOn, kStatusRead}));
    EXPECT_FALSE(se().hotPlugArmed);
    EXPECT_TRUE(cap.contains("ehci: UICC SWP status 0x02 (connected)"));
    EXPECT_TRUE(cap.contains("ehci: UICC changed state from OFF to ON, flags = 1"));
    const std::vector<TNfcllSeInd> ind = indications();
    ASSERT_EQ(ind.size(), 1u);
    EXPECT_EQ(ind[0].kind, NFCLL_SE_ACTIVATED);
    EXPECT_EQ(ind[0].hSecure, NfcSecureHandle{uicc->handle});
    EXPECT_EQ(ind[0].flags, 1u);
    EXPECT_EQ(se().activity, EHCI544_SE_IDLE);
    EXPECT_EQ(se().errorCount, 0u);

    // The guard runs out with nothing to do; the hot-plug timer that was stopped never fires.
    h.advance(1000);
    EXPECT_TRUE(cap.contains("ehci: UICC/ESE state is up to date"));
    EXPECT_FALSE(cap.contains("ehci: UICC HOT PLUG timer expired"));
    EXPECT_FALSE(cap.contains("unexpected UICC HOT PLUG timeout"));
    EXPECT_EQ(commandsTo(kUiccGate).size(), 2u);
    EXPECT_TRUE(indications().empty());
}

TEST_F(Pn544SeActivator, ThreeHotPlugTimeOutsSetTheErrorBitAndStopTheAttemptsUntilTheNextEnable) {
    request(uicc, true);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        h.advance(200);      // no hot plug: the attempt fails and the status is read
        EXPECT_EQ(int{se().errorCount}, attempt);
        h.advance(400);      // the guard runs out and the next attempt starts
    }
    EXPECT_TRUE(cap.contains("ehci: UICC error count = 3"));
    EXPECT_TRUE(cap.contains("!ehci: UICC exceeded max. activation errors. Ignored"));
    EXPECT_EQ(commandsTo(kUiccGate),
              (std::vector<Bytes>{kModeOn, kStatusRead, kModeOn, kStatusRead, kModeOn, kStatusRead}));
    const std::vector<TNfcllSeInd> ind = indications();
    ASSERT_EQ(ind.size(), 2u);   // the error bit with the third failure, then the refusal
    EXPECT_EQ(ind[0].kind, NFCLL_SE_DEACTIVATED);
    EXPECT_EQ(ind[0].flags, 4u);
    EXPECT_EQ(ind[1].kind, NFCLL_SE_DEACTIVATED);
    EXPECT_EQ(ind[1].flags, 4u);

    sim.clearLog();
    h.advance(2000);
    EXPECT_TRUE(commandsTo(kUiccGate).empty());

    // A disable clears the count (nothing to switch off), and the enable after it tries again.
    request(uicc, false);
    EXPECT_EQ(se().errorCount, 0u);
    EXPECT_TRUE(commandsTo(kUiccGate).empty());
    request(uicc, true);
    EXPECT_EQ(commandsTo(kUiccGate), (std::vector<Bytes>{kModeOn}));
}

TEST_F(Pn544SeActivator, ConnectedWhileOffIsRequestedCountsAnErrorAndStaysReportedOn) {
    listenForReaderA();
    setStatus(0x02);
    request(uicc, true);
    hotPlug();
    h.advance(400);
    ASSERT_EQ(se().current, 1u);
    ASSERT_EQ(indications().size(), 1u);

    request(uicc, false);
    EXPECT_EQ(WORD{uicc->mode}, 0u);
    EXPECT_EQ(commandsTo(kUiccGate), (std::vector<Bytes>{kModeOn, kStatusRead, kModeOff}));
    EXPECT_EQ(se().activity, EHCI544_SE_DEACTIVATING);
    hotPlug();
    // Switching off keeps the phases the listen asks for.
    EXPECT_EQ(commandsTo(kPollingGate).back(), (Bytes{hcisim::ANY_SET_PARAMETER, 0x06, 0x81}));
    EXPECT_EQ(se().errorCount, 1u);
    EXPECT_EQ(se().current, 1u);
    EXPECT_TRUE(indications().empty());
}

TEST_F(Pn544SeActivator, GuardExpiryWhileTheStatusIsAwaitedArmsTheGuardAgain) {
    request(uicc, true);
    sim.setMute(true);
    hotPlug();
    ASSERT_TRUE(se().guardArmed);
    h.advance(400);
    EXPECT_TRUE(cap.contains("ehci: Secure SM still working, retrigger timer"));
    EXPECT_TRUE(se().guardArmed);
    EXPECT_EQ(se().activity, EHCI544_SE_ACTIVATING);
    h.advance(400);
    EXPECT_EQ(cap.count("ehci: Secure SM still working, retrigger timer"), 2u);
    EXPECT_EQ(commandsTo(kUiccGate), (std::vector<Bytes>{kModeOn}));
}

TEST_F(Pn544SeActivator, RequestsWaitForTheGuardAfterAStatus) {
    setStatus(0x02);
    request(uicc, true);
    hotPlug();
    request(uicc, false);     // inside the guard time: no command yet
    EXPECT_EQ(commandsTo(kUiccGate), (std::vector<Bytes>{kModeOn, kStatusRead}));
    h.advance(400);
    EXPECT_EQ(commandsTo(kUiccGate), (std::vector<Bytes>{kModeOn, kStatusRead, kModeOff}));
}

TEST_F(Pn544SeActivator, EachStatusHoldsOffUpdatesForTheWholeGuardTime) {
    request(uicc, true);
    sim.setMute(true);
    hotPlug();                // the guard starts here
    h.advance(300);
    e()->seOps->uiccStatus(e()->seContext, 0x02);   // the late answer starts it over
    h.advance(300);
    EXPECT_FALSE(cap.contains("ehci: SWP Guard Timer expired"));
    h.advance(150);
    EXPECT_TRUE(cap.contains("ehci: SWP Guard Timer expired"));
}

// The chip's secure handler switches the SmartMX itself; the activator only takes its mode.
TEST_F(Pn544SeActivator, EnableOnTheSmartMxOnlySetsItsMode) {
    e()->flags |= EHCI_F_IO_PENDING;
    e()->seOps->enableSe(e()->seContext, smartMx);
    h.run();
    EXPECT_EQ(WORD{smartMx->mode}, 1u);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{0}));
    EXPECT_EQ(se().requested, 0u);
    EXPECT_EQ(se().activity, EHCI544_SE_IDLE);
    EXPECT_TRUE(sim.log().empty());
    h.advance(1000);
    EXPECT_TRUE(sim.log().empty());
}

TEST_F(Pn544SeActivator, ConsumesOnlyItsOwnTimers) {
    for (uint32_t index : {0u, 1u, 2u, 5u, 6u}) EXPECT_EQ(e()->seOps->timerExpired(e()->seContext, index), 0) << index;
    EXPECT_EQ(e()->seOps->timerExpired(e()->seContext, EHCI_TIMER_SWP_GUARD), 1);
    EXPECT_EQ(e()->seOps->timerExpired(e()->seContext, EHCI_TIMER_HOT_PLUG), 1);
    EXPECT_TRUE(cap.contains("ehci: unexpected UICC HOT PLUG timeout. Ignored"));
    EXPECT_EQ(se().errorCount, 0u);
}

TEST_F(Pn544SeActivator, AHotPlugWhileIdleOrWithoutUiccPipeSendsNothing) {
    hotPlug();
    EXPECT_TRUE(cap.contains("ehci: external reader detected for CE in UICC"));
    e()->pipes.se->id = 0;
    request(uicc, true);
    hotPlug();
    EXPECT_TRUE(cap.contains("ehci: no 544 UICC-pipe yet? Ignore event"));
    EXPECT_TRUE(commandsTo(kUiccGate).empty());
    EXPECT_FALSE(se().hotPlugArmed);
}

TEST_F(Pn544SeActivator, ANewConnectivityPipeIsReported) {
    e()->seOps->pipeNotification(e()->seContext, e()->pipes.connectivity);
    EXPECT_TRUE(indications().empty());
    connectivityCreated();
    EXPECT_TRUE(cap.contains("ehci: got Open Event for pipe"));
    EXPECT_TRUE(cap.contains("ehci: UICC changed flags from 0 to 1"));
    const std::vector<TNfcllSeInd> ind = indications();
    ASSERT_EQ(ind.size(), 1u);
    EXPECT_EQ(ind[0].kind, NFCLL_SE_DEACTIVATED);
    EXPECT_EQ(ind[0].flags, 1u);
    EXPECT_TRUE(se().guardArmed);
}

struct SwpText {
    uint8_t status;
    const char* trace;
    friend void PrintTo(const SwpText& t, std::ostream* os) { *os << static_cast<int>(t.status); }
};
class Pn544SwpStatus : public Pn544SeActivator, public ::testing::WithParamInterface<SwpText> {};

TEST_P(Pn544SwpStatus, IsTracedWithItsText) {
    e()->seOps->uiccStatus(e()->seContext, GetParam().status);
    EXPECT_TRUE(cap.contains(GetParam().trace));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Pn544SwpStatus,
    ::testing::Values(SwpText{0x00, "ehci: UICC SWP status 0x00 (not connected)"},
                      SwpText{0x01, "ehci: UICC SWP status 0x01 (connection ongoing)"},
                      SwpText{0x02, "ehci: UICC SWP status 0x02 (connected)"},
                      SwpText{0x03, "ehci: UICC SWP status 0x03 (connection lost)"},
                      SwpText{0x04, "ehci: UICC SWP status 0x04 (disconnect ongoing)"},
                      SwpText{0x05, "ehci: UICC SWP status 0x05 (connection failed)"},
                      SwpText{0x06, "ehci: UICC SWP status 0x06 (connection inactive)"},
                      SwpText{0x07, "ehci: UICC SWP status 0x07 (Unknown status 0x07)"}));

}  // namespace
