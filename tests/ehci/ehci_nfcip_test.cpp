// NFC-DEP through the NFC-IP-1 engine inside the real layer 1: a chip whose pipes carry raw
// NFCIP-1 frames (reader type 0x204) reports an NFC-DEP peer on its current pipe, the engine takes
// the link over, and its frames travel in WR_XCHG_DATA to an ISO/IEC 18092 peer behind the
// simulated controller; layer 1's sends, deactivations and the engine's reports are checked.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "L1/common/ip1msg.h"
#include "ehci_fixture.h"
#include "hci/hci_dep_gate.h"
#include "hci/hci_st21.h"

namespace {

using hcisim::Bytes;

constexpr uint16_t kRawFrameChip = 0x204;
constexpr uint8_t kNfcid2[8] = {0x01, 0xFE, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const Bytes kPeerGeneralBytes = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x03, 0x02, 0x00, 0x13};

// The peer and the gate it sits behind, made before the controller that holds the gate.
struct DepPeerHolder {
    explicit DepPeerHolder(depsim::Role role)
        : peer(std::make_shared<depsim::DepPeer>(role, depsim::Config{0x32, 0x0E, kPeerGeneralBytes, std::nullopt})),
          chip(hcisim::st21Personality(hcisim::St21Options{}, nullptr)),
          gate(std::make_shared<hcisim::DepGate>(hcisim::GATE_READER_A, peer, chip.chip)) {}
    hcisim::Personality personality() const {
        hcisim::Personality p = chip;
        p.chip = gate;
        return p;
    }
    std::shared_ptr<depsim::DepPeer> peer;
    hcisim::Personality chip;   // the ST21NFCA, whose gates the DEP gate sits in front of
    std::shared_ptr<hcisim::DepGate> gate;
};

class EhciNfcip : protected DepPeerHolder, public EhciDriver {
protected:
    explicit EhciNfcip(depsim::Role peerRole = depsim::Role::Target)
        : DepPeerHolder(peerRole), EhciDriver(kRawFrameChip, personality()) {}
    void SetUp() override {
        EhciDriver::SetUp();
        nfcipResetForTest();
        ASSERT_TRUE(started());
    }
    // The chip reports an NFC-DEP peer of this tag type on the reader pipe.
    void detect(uint32_t type) {
        TEhciPipe* pipe = e()->pipes.readerA;
        e()->currentPipe = pipe;
        e()->tagRecord = TNfcTagInfo{};
        std::memcpy(e()->tagRecord.uid, kNfcid2, sizeof kNfcid2);
        e()->tagRecord.uidLength = sizeof kNfcid2;
        e()->listenParams = &params;
        ehciTargetReady(e(), pipe, type);
        h.run();
    }
    // The manager takes the device: what waited behind its indication goes up.
    void accept() {
        h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager));
        h.run();
    }
    void send(const Bytes& frame) {
        h.toLayer1(nfcllMsgMake<PH_DATA_REQ>(DriverHarness::kManager, {NFCLL_MSG_OWNS_BUFFER, 0,
                                                                      static_cast<uint16_t>(frame.size()), h.rxBuffer(frame)}));
        h.run();
    }
    void other(uint16_t command) {
        OsMessage m{};
        m.command = command;
        m.source = DriverHarness::kManager;
        h.toLayer1(m);
        h.run();
    }
    std::vector<uint16_t> transactionCauses() {
        std::vector<uint16_t> causes;
        for (const OsMessage& m : h.upward(NFCLL_TRANSACTION_IND))
            causes.push_back(nfcllMsgGet<NFCLL_TRANSACTION_IND>(m).result->cause);
        return causes;
    }
    std::vector<uint16_t> removals() {
        std::vector<uint16_t> causes;
        for (const OsMessage& m : h.upward(NFCLL_TECH_REMOVE_IND))
            causes.push_back(nfcllMsgGet<NFCLL_TECH_REMOVE_IND>(m).cause);
        return causes;
    }
    Bytes deviceGeneralBytes() const {
        const auto* record = reinterpret_cast<const uint8_t*>(&ll->device) + NFCLL_GENERAL_BYTES_OFFSET;
        return Bytes(record, record + ll->device.historicalBytesLength);
    }
    const std::vector<Bytes>& frames() const { return gate->frames; }

    TNfcListenParam params{};
};

TEST_F(EhciNfcip, ADetectedTargetIsActivatedThroughTheEngineBeforeItsDeviceIndication) {
    detect(0x1000);
    ASSERT_FALSE(frames().empty());
    const Bytes& atr = frames()[0];
    ASSERT_EQ(atr.size(), 37u);
    EXPECT_EQ(Bytes(atr.begin(), atr.begin() + 3), (Bytes{37, 0xD4, 0x00}));
    EXPECT_EQ(Bytes(atr.begin() + 3, atr.begin() + 11), Bytes(kNfcid2, kNfcid2 + 8)) << "NFCID3i";
    EXPECT_TRUE(peer->activated);
    EXPECT_EQ(ll->mode, 1u);
    EXPECT_TRUE(ll->flags & NFCLL_FLAG_PN53X_40) << "NFC-DEP mode";
    EXPECT_EQ(h.upward(NFCLL_DEVICE_IND).size(), 1u);
    EXPECT_EQ(deviceGeneralBytes(), kPeerGeneralBytes);
}

TEST_F(EhciNfcip, NoDeviceIndicationGoesUpWhileThePeerHasNotAnswered) {
    sim.setMute(true);
    detect(0x1000);
    EXPECT_TRUE(h.upward(NFCLL_DEVICE_IND).empty());
    EXPECT_EQ(nfcipDefault()->state, 6u) << "waiting for the ATR_RES";
    // A removal before any answer is no removal of a link.
    ehciUp(e(), EV_EHCI_TARGET_REMOVED);
    h.run();
    EXPECT_TRUE(removals().empty());
    EXPECT_TRUE(cap.contains("Ignore remove, no real IP-1 detection before"));
}

TEST_F(EhciNfcip, APayloadTravelsInPiecesToThePeerAndItsAnswerComesUpWhole) {
    detect(0x1000);
    accept();
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    send(payload);
    ASSERT_EQ(peer->messages.size(), 1u);
    EXPECT_EQ(peer->messages[0], payload);
    EXPECT_GT(frames().size(), 3u) << "MI pieces";
    EXPECT_EQ(received(), (std::vector<Bytes>{payload})) << "the peer echoes";
    EXPECT_FALSE(h.upward(NFCLL_LLCP_TRIGGER_IND).empty());
    EXPECT_TRUE(transactionCauses().empty());
    // Once the link runs, a removal is one.
    ehciUp(e(), EV_EHCI_TARGET_REMOVED);
    h.run();
    EXPECT_EQ(removals(), (std::vector<uint16_t>{29}));
}

TEST_F(EhciNfcip, ATimeOutInNfcDepModeGoesToTheEngineWhichSendsThePieceAgain) {
    detect(0x1000);
    accept();
    const Bytes payload(10, 0x5A);
    sim.setMute(true);
    send(payload);
    sim.setMute(false);
    const size_t before = frames().size();
    ehciUp(e(), EV_EHCI_TRANSACTION_TIMEOUT, nullptr, 9);
    h.run();
    ASSERT_EQ(frames().size(), before + 1);
    Bytes piece(4 + payload.size(), 0x5A);
    piece[0] = static_cast<uint8_t>(piece.size());
    piece[1] = 0xD4;
    piece[2] = 0x06;
    piece[3] = 0x00;
    EXPECT_EQ(frames().back(), piece);
    EXPECT_TRUE(transactionCauses().empty());
    EXPECT_FALSE(h.upward(NFCLL_LLCP_TRIGGER_IND).empty());
    EXPECT_EQ(received(), (std::vector<Bytes>{payload}));
}

TEST_F(EhciNfcip, DeactivationWithLocalRequestDeselectsAndReleasesThePeer) {
    detect(0x1000);
    other(DL_DEACT_REQ);
    EXPECT_TRUE(peer->deselected);
    EXPECT_TRUE(peer->released);
    EXPECT_EQ(h.upward(NFCLL_DEACT_IND).size(), 1u);
    EXPECT_EQ(nfcipDefault()->state, 5u);
}

TEST_F(EhciNfcip, DeactivationWithoutLocalRequestSendsNothingAndClearsTheRole) {
    detect(0x1000);
    const size_t before = frames().size();
    other(0x282);
    EXPECT_EQ(frames().size(), before);
    EXPECT_FALSE(peer->deselected);
    EXPECT_EQ(h.upward(NFCLL_DEACT_IND).size(), 1u);
    EXPECT_EQ(ll->mode, 0u);
}

TEST_F(EhciNfcip, AnEngineErrorRemovesTheTechnology) {
    detect(0x1000);
    const uint8_t unknown[4] = {0x04, 0x00, 0x00, 0x00};
    ehciUp(e(), EV_EHCI_READER_RESPONSE, const_cast<uint8_t*>(unknown), sizeof unknown);
    h.run();
    EXPECT_EQ(removals(), (std::vector<uint16_t>{EHCI_CAUSE_FAILED}));
    EXPECT_FALSE(ll->flags & NFCLL_FLAG_PN53X_40);
}

TEST_F(EhciNfcip, AFrameThatCannotLeaveEndsTheLinkInsteadOfWaitingForAnAnswer) {
    detect(0x1000);
    accept();
    e()->currentPipe->state = 11;   // the pipe takes no exchange
    send(Bytes(10, 0x5A));
    EXPECT_EQ(removals(), (std::vector<uint16_t>{EHCI_CAUSE_FAILED}));
    EXPECT_TRUE(cap.contains("! ehciNfcipTransmitFunc/etsiHciTransceive, failed state 0xB"));
}

TEST_F(EhciNfcip, LinkInformationBeyondTheRecordsFieldIsCut) {
    Bytes general(60);
    for (size_t i = 0; i < general.size(); ++i) general[i] = static_cast<uint8_t>(i);
    ehciNfcipEvtCbFunc(ll, NFCIP_EV_ACTIVATED, general.data(), static_cast<uint32_t>(general.size()));
    h.run();
    EXPECT_EQ(deviceGeneralBytes(), Bytes(general.begin(), general.begin() + NFCLL_GENERAL_BYTES_MAX));
    EXPECT_TRUE(cap.contains("!! ehciNfcipEvtCbFunc not enough room for Info NFCIP_R_UP_EVENT(60 bytes)"));
    EXPECT_EQ(h.upward(NFCLL_DEVICE_IND).size(), 1u);
}

TEST_F(EhciNfcip, ThePslEventsFirstByteGoesToTheVariantsHookOnlyWithData) {
    static std::vector<uint8_t> seen;
    seen.clear();
    e()->hooks.nfcipEvent = [](TEhciInstance*, uint8_t first) { seen.push_back(first); };
    const uint8_t two[2] = {0x02, 0x07};
    ehciNfcipEvtCbFunc(ll, NFCIP_EV_PSL, two, sizeof two);
    ehciNfcipEvtCbFunc(ll, NFCIP_EV_PSL, nullptr, 0);
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x02}));
    e()->hooks.nfcipEvent = nullptr;
    ehciNfcipEvtCbFunc(ll, NFCIP_EV_PSL, two, sizeof two);
    ehciNfcipEvtCbFunc(ll, 9, nullptr, 0);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_TRUE(cap.contains("!! ehciNfcipEvtCbFunc unknown event 0x9"));
}

// A request the engine refuses is answered as failed instead of being counted as sent.
struct Refusal {
    const char* name;
    bool activated;      // the peer answered the ATR_REQ
    bool busy;           // a message is already on its way
    uint32_t length;
};
class EhciNfcipRefusal : public EhciNfcip, public ::testing::WithParamInterface<Refusal> {};

TEST_P(EhciNfcipRefusal, IsAnsweredAsAFailedTransaction) {
    const Refusal c = GetParam();
    if (!c.activated) sim.setMute(true);
    detect(0x1000);
    if (c.activated) accept();
    if (c.busy) {
        sim.setMute(true);
        send(Bytes(10, 0x5A));
        EXPECT_TRUE(transactionCauses().empty()) << "the first is taken";
    }
    const Bytes data(c.length, 0xA5);
    ll->miniport.transactionRequest(ll, data.data(), static_cast<uint16_t>(data.size()), 0);
    h.run();
    EXPECT_EQ(transactionCauses(), (std::vector<uint16_t>{EHCI_CAUSE_FAILED}));
}

INSTANTIATE_TEST_SUITE_P(Results, EhciNfcipRefusal,
                         ::testing::Values(Refusal{"wrongState", false, false, 10},
                                           Refusal{"blocked", true, true, 10},
                                           Refusal{"tooLarge", true, false, NFCIP_MESSAGE_MAX + 1}),
                         [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(EhciNfcip, AnEmptyRequestSendsNothing) {
    detect(0x1000);
    const size_t before = frames().size();
    ll->miniport.transactionRequest(ll, nullptr, 0, 0);
    h.run();
    EXPECT_EQ(frames().size(), before);
    EXPECT_TRUE(transactionCauses().empty());
}

// ---- The engine as target ------------------------------------------------------------------------------
class EhciNfcipTarget : public EhciNfcip {
protected:
    EhciNfcipTarget() : EhciNfcip(depsim::Role::Initiator) {}
    // The initiator's ATR_REQ as the chip hands it up; the ATR_RES the engine sends back.
    Bytes atrRes() {
        const Bytes req = peer->atrReq();
        ehciUp(e(), EV_EHCI_READER_RESPONSE, const_cast<uint8_t*>(req.data()), static_cast<uint32_t>(req.size()));
        h.run();
        return frames().empty() ? Bytes{} : frames()[0];
    }
};

TEST_F(EhciNfcipTarget, ADetectedInitiatorWaitsForItsAtrReqBeforeTheDeviceIndication) {
    detect(0x2000);
    EXPECT_EQ(ll->mode, 2u);
    EXPECT_TRUE(frames().empty());
    EXPECT_TRUE(h.upward(NFCLL_DEVICE_IND).empty());
    const Bytes res = atrRes();
    ASSERT_GE(res.size(), 18u);
    EXPECT_EQ(Bytes(res.begin() + 1, res.begin() + 3), (Bytes{0xD5, 0x01}));
    EXPECT_TRUE(peer->activated);
    EXPECT_EQ(h.upward(NFCLL_DEVICE_IND).size(), 1u);
    EXPECT_EQ(deviceGeneralBytes(), kPeerGeneralBytes);
}

// The ATR_RES's PPt and general bytes from the listen parameters: the application's configuration
// byte only with its own general bytes; else the default PPt before the bytes the manager put in
// (its LLCP magic whole); bytes that claim more than their field are not sent.
struct AtrCase {
    const char* name;
    bool given;
    Bytes atrBytes;       // as the listen parameters hold them, the configuration byte first when given
    uint8_t atrLength;
    uint8_t ppt;
    Bytes generalBytes;   // expected after PPt
};
const Bytes kMagic = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11};
const Bytes kManagerDefault = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x02, 0x02, 0x07, 0x80,
                               0x03, 0x02, 0x00, 0x03, 0x04, 0x01, 0x5A, 0x07, 0x01, 0x03};
const Bytes kEngineDefault = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x02, 0x02, 0x07, 0x80,
                              0x03, 0x02, 0x00, 0x03, 0x04, 0x01, 0x32, 0x07, 0x01, 0x03};
Bytes withConfig(uint8_t config, const Bytes& bytes) {
    Bytes b(bytes);
    b.insert(b.begin(), config);
    return b;
}
class EhciNfcipAtr : public EhciNfcipTarget, public ::testing::WithParamInterface<AtrCase> {};

TEST_P(EhciNfcipAtr, TheAtrResTakesPptAndGeneralBytesFromTheListenParameters) {
    const AtrCase c = GetParam();
    if (c.given) params.p2pFlags = NFC_P2P_GENERAL_BYTES;
    std::memcpy(params.atrBytes, c.atrBytes.data(), c.atrBytes.size());
    params.atrLength = c.atrLength;
    detect(0x2000);
    const Bytes res = atrRes();
    ASSERT_EQ(res.size(), 18u + c.generalBytes.size());
    EXPECT_EQ(res[0], res.size());
    EXPECT_EQ(res[17], c.ppt) << "PPt";
    EXPECT_EQ(Bytes(res.begin() + 18, res.end()), c.generalBytes);
    EXPECT_EQ(peer->remoteGeneralBytes, c.generalBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, EhciNfcipAtr,
    ::testing::Values(AtrCase{"given", true, withConfig(0x12, kMagic), 7, 0x12, kMagic},
                      AtrCase{"managersDefault", false, kManagerDefault, 20, NFCIP_DEFAULT_PP, kManagerDefault},
                      AtrCase{"tooLong", true, withConfig(0x12, kMagic), 49, NFCIP_DEFAULT_PP, kEngineDefault}),
    [](const ::testing::TestParamInfo<AtrCase>& info) { return std::string(info.param.name); });

}  // namespace
