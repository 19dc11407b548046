// The ST21NFCA/B driver inside the real layer 1 with the simulated ST21 on the manual clock: the
// device manager's start (CLF configuration, the pipes the chip kept), the secure-element records
// from the hardware bytes, the type 1/2 reader gate, the NFC-IP-1 gates carrying raw frames to an
// NFC-DEP peer, the routing table and the chip's I/O controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "L1/common/ip1msg.h"
#include "ehci_fixture.h"
#include "hci/hci_dep_gate.h"
#include "hci/hci_st21.h"
#include "tags/t1t_tag.h"
#include "tags/t2t_tag.h"

namespace {

using hcisim::Bytes;
using hcisim::Type;

constexpr uint16_t kSt21a = 0x204, kSt21b = 0x210;
constexpr uint8_t kManager = 0x82;   // CB | the device manager's pipe
enum : uint8_t { kDmRead = 0x10, kDmWrite = 0x11, kDmPipes = 0x13, kSetRoute = 0x20 };

hcisim::St21Options optionsOf(bool nfcb) {
    hcisim::St21Options o;
    o.nfcb = nfcb;
    return o;
}

// The chip model and the DEP peer are made before the fixture whose personality holds them.
struct St21Parts {
    explicit St21Parts(const hcisim::St21Options& o, std::shared_ptr<depsim::DepPeer> peer = nullptr,
                       uint8_t depGate = 0)
        : personality(hcisim::st21Personality(o, &chip)), peer(std::move(peer)) {
        if (this->peer) {
            gate = std::make_shared<hcisim::DepGate>(depGate, this->peer, personality.chip);
            personality.chip = gate;
        }
    }
    std::shared_ptr<hcisim::St21Chip> chip;   // before the personality that fills it
    hcisim::Personality personality;
    std::shared_ptr<depsim::DepPeer> peer;
    std::shared_ptr<hcisim::DepGate> gate;
};

class St21 : protected St21Parts, public EhciDriver {
protected:
    explicit St21(const hcisim::St21Options& o = {}, std::shared_ptr<depsim::DepPeer> depPeer = nullptr,
                  uint8_t depGate = 0)
        : St21Parts(o, std::move(depPeer), depGate), EhciDriver(o.nfcb ? kSt21b : kSt21a, personality) {}

    void listen(uint32_t mask, const TNfcListenParam* params = nullptr) {
        h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {mask, params}));
        h.run();
    }
    std::vector<TNfcTagInfo> devices() {
        std::vector<TNfcTagInfo> out;
        for (const OsMessage& m : h.upward(NFCLL_DEVICE_IND)) out.push_back(*nfcllMsgGet<NFCLL_DEVICE_IND>(m).device);
        return out;
    }
    std::vector<TNfcllIoControlConf> ioAnswers() {
        std::vector<TNfcllIoControlConf> out;
        for (const OsMessage& m : h.upward(NFCLL_IOCONTROL_CONF)) out.push_back(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(m));
        return out;
    }
    size_t sentCount(const Bytes& packet) const {
        return static_cast<size_t>(std::count(h.sent().begin(), h.sent().end(), packet));
    }
    // The host's commands and events on a gate, as {instruction, data}.
    std::vector<hcisim::Message> toGate(uint8_t gate) const {
        std::vector<hcisim::Message> out;
        for (const hcisim::Logged& l : sim.log())
            if (l.gate == gate) out.push_back(l.message);
        return out;
    }
    Bytes parameterSet(uint8_t gate, uint8_t index) const {
        Bytes value;
        for (const hcisim::Message& m : toGate(gate))
            if (m.type == Type::command && m.instruction == hcisim::ANY_SET_PARAMETER && !m.data.empty() &&
                m.data[0] == index)
                value.assign(m.data.begin() + 1, m.data.end());
        return value;
    }
    // A warm start: the chip keeps its pipes and the driver starts again after a reset.
    void restart() {
        sim.clearLog();
        h.clearSent();
        h.toLayer1(nfcllMsgMake<PH_RESET_REQ>(DriverHarness::kManager));
        h.run();
    }
    void controllerSends(uint8_t gate, uint8_t event, const Bytes& data) {
        const std::optional<uint8_t> pipe = sim.pipeTo(gate);
        ASSERT_TRUE(pipe.has_value());
        fromController(sim.send(hcisim::Message{*pipe, Type::event, event, data}));
        h.run();
    }
};

// ---- The listen cycle -----------------------------------------------------------------------------------
// A new listen stops only the readers it no longer wants, and closes them; a reader that stays runs
// on as it was set up.
struct MaskChange {
    uint32_t first, second;
    std::vector<std::pair<uint8_t, uint8_t>> commands;   // (gate, instruction) the second listen sends
};

class St21ListenDiff : public St21, public ::testing::WithParamInterface<MaskChange> {};

TEST_P(St21ListenDiff, TouchesOnlyTheReadersThatChange) {
    ASSERT_TRUE(started());
    listen(GetParam().first);
    sim.clearLog();
    listen(GetParam().second);
    std::vector<std::pair<uint8_t, uint8_t>> commands;
    for (const hcisim::Logged& l : sim.log())
        if ((l.gate == hcisim::GATE_READER_A || l.gate == hcisim::GATE_READER_B) && l.message.type == Type::command)
            commands.emplace_back(l.gate, l.message.instruction);
    EXPECT_EQ(commands, GetParam().commands);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, St21ListenDiff,
    ::testing::Values(MaskChange{0x1, 0x3, {{hcisim::GATE_READER_B, hcisim::ANY_OPEN_PIPE}}},
                      MaskChange{0x3, 0x1, {{hcisim::GATE_READER_B, hcisim::ANY_CLOSE_PIPE}}}));

// ---- Device manager ----------------------------------------------------------------------------------------
class St21Start : public St21, public ::testing::WithParamInterface<bool> {
protected:
    St21Start() : St21(optionsOf(GetParam())) {}
};

TEST_P(St21Start, TheNfcaSetsTheClfEndOfOperationBitAndTheNfcbLeavesTheConfiguration) {
    ASSERT_TRUE(started());
    const bool nfcb = GetParam();
    EXPECT_EQ(sentCount({kManager, 0x51, 0x00}), 1u) << "NFC mode 0 first";
    EXPECT_EQ(chip->nfcMode(), 1) << "then 1 once the loopback opened";
    EXPECT_EQ(chip->clfWrites(), nfcb ? 0u : 1u);
    EXPECT_EQ(chip->clfConfig()[2] & 0x01, nfcb ? 0 : 1);
    EXPECT_EQ(cap.contains("ehci: skip writing to CLF_CONF on ST21NFCB"), nfcb);
    EXPECT_EQ(cap.contains("ehci: setting CLF Config HCI_END_OF_OPERATION"), !nfcb);
    EXPECT_TRUE(cap.contains("ehci: ## ehciStmSetDefaultProperties ##"));
    EXPECT_EQ(+e()->capabilities->flags, 3u);
    EXPECT_EQ(e()->stripLastByteMask, 0x4C7u);
    EXPECT_EQ(e()->flags & 0x1020200u, 0x1020200u);
    EXPECT_EQ(e()->supportedMask, 0x1u | 0x2u | 0x440u | 0x100000u | 0x200000u | 0x400000u | 0x20000u | 0x1300u | 0x2000u);
}

TEST_P(St21Start, AShortClfConfigurationIsNotWrittenBack) {
    chip->cutNext(kDmRead, 0xD0, 5);
    ASSERT_TRUE(started());
    EXPECT_EQ(chip->clfWrites(), 0u);
    EXPECT_TRUE(cap.contains("ehci: ! CLF_CONFIG of 5 bytes, not written"));
}

INSTANTIATE_TEST_SUITE_P(Chips, St21Start, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "NFCB" : "NFCA"; });

// The eSE is listed from the hardware bytes, and only at the first start.
struct HardwareCase {
    const char* name;
    Bytes hardware;
    uint8_t records;
};
class St21Hardware : public St21, public ::testing::WithParamInterface<HardwareCase> {
protected:
    St21Hardware() : St21(options()) {}
    static hcisim::St21Options options() {
        hcisim::St21Options o;
        o.hardwareVersion = GetParam().hardware;
        return o;
    }
};

TEST_P(St21Hardware, ListTheUiccAndTheEseWhenTheBytesTellOfOne) {
    ASSERT_TRUE(started());
    ASSERT_EQ(ll->capabilities.secureElementCount, GetParam().records);
    const TNfcInfoSE uicc = e()->seRecords[0];
    EXPECT_EQ(+uicc.capabilities, 0xA001);
    EXPECT_EQ(+uicc.id, 0x02);
    EXPECT_EQ(+uicc.driverData[0], 1u);
    if (GetParam().records == 2) {
        const TNfcInfoSE ese = e()->seRecords[1];
        EXPECT_EQ(+ese.capabilities, 0x1003);
        EXPECT_EQ(+ese.id, 0xC0);
    }
    const NfcSecureHandle handle = uicc.handle;
    restart();
    EXPECT_EQ(ll->capabilities.secureElementCount, GetParam().records) << "not listed again";
    EXPECT_EQ(+e()->seRecords[0].handle, handle);
}

INSTANTIATE_TEST_SUITE_P(Bytes, St21Hardware,
                         ::testing::Values(HardwareCase{"noEse", {0x00, 0x02, 0x00}, 1},
                                           HardwareCase{"ese", {0x05, 0x30, 0x01}, 2},
                                           HardwareCase{"oldFive", {0x05, 0x2F, 0x01}, 1},
                                           HardwareCase{"other", {0x04, 0x10, 0x00}, 2}),
                         [](const ::testing::TestParamInfo<HardwareCase>& p) { return std::string(p.param.name); });

// The pipes the chip kept are bound by host and gate at a warm start; an open one's listen bit goes
// to the last listen mask.
struct BindingCase {
    const char* name;
    uint8_t host;
    uint8_t gate;
    bool open;
    TEhciPipe* TEhciPipeNames::*slot;
    uint32_t bit;
};
class St21Binding : public St21, public ::testing::WithParamInterface<BindingCase> {};

constexpr uint8_t kKeptPipe = 0x60;

TEST_P(St21Binding, TheKeptPipeTakesItsSlot) {
    const BindingCase c = GetParam();
    ASSERT_TRUE(started());
    sim.pipesHeld()[kKeptPipe] = hcisim::HciController::Pipe{c.gate, c.host, c.open};
    e()->lastListenMask = 0;
    restart();
    ASSERT_EQ(h.upward(PH_RESET_CONF).size(), 1u);
    const TEhciPipe* pipe = e()->pipes.*(c.slot);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(pipe->id, kKeptPipe);
    EXPECT_EQ((pipe->flags & EHCI_P_OPEN) != 0, c.open);
    EXPECT_EQ(e()->lastListenMask, c.bit);
    for (const hcisim::Logged& l : sim.log()) {
        EXPECT_NE(l.message.instruction == hcisim::ADM_CLEAR_ALL_PIPE && l.gate == hcisim::GATE_ADMIN, true);
        EXPECT_NE(l.message.instruction == hcisim::ADM_CREATE_PIPE && l.gate == hcisim::GATE_ADMIN, true);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Slots, St21Binding,
    ::testing::Values(BindingCase{"vicinityOpen", 0x01, 0x12, true, &TEhciPipeNames::iso15693, 0x4},
                      BindingCase{"vicinityClosed", 0x01, 0x12, false, &TEhciPipeNames::iso15693, 0},
                      BindingCase{"typeOneTwo", 0x01, 0x15, true, &TEhciPipeNames::mifare, 0x400},
                      BindingCase{"target", 0x01, 0x24, true, &TEhciPipeNames::nfcipTarget, 0x2000},
                      BindingCase{"initiator", 0x01, 0x14, true, &TEhciPipeNames::felica, 0x1000},
                      BindingCase{"cardB", 0x01, 0x21, true, &TEhciPipeNames::cardB, 0x200000},
                      BindingCase{"uiccConnectivity", 0x02, 0x41, true, &TEhciPipeNames::connectivity, 0},
                      BindingCase{"eseConnectivity", 0xC0, 0x41, true, &TEhciPipeNames::variant, 0},
                      BindingCase{"eseCard", 0xC0, 0xF0, true, &TEhciPipeNames::se, 0},
                      BindingCase{"cardOnUicc", 0x02, 0xF0, false, &TEhciPipeNames::se, 0}),
    [](const ::testing::TestParamInfo<BindingCase>& p) { return std::string(p.param.name); });

TEST_F(St21, AShortPipeInfoBindsNothingAndTheStartGoesOn) {
    ASSERT_TRUE(started());
    sim.pipesHeld()[kKeptPipe] = hcisim::HciController::Pipe{0x12, 0x01, true};
    chip->cutNext(kDmPipes, 0x01, 3);
    restart();
    EXPECT_EQ(h.upward(PH_RESET_CONF).size(), 1u);
    EXPECT_EQ(cap.count("pipe info of pipe"), 1u);
    EXPECT_EQ(chip->powerEvents().size(), 0u);
}

TEST_F(St21, AnAnswerOfTheStartThatComesAgainFindsNoStepToTake) {
    ASSERT_TRUE(started());
    const size_t confirmations = actCauses().size();
    sim.clearLog();
    // A pipe-list answer once the start is over: no list is read past its end, nothing is asked.
    fromController(sim.send(hcisim::Message{hcisim::PIPE_DEVICE_MANAGER, hcisim::Type::response, hcisim::ANY_OK,
                                            {0x03, 0x05}}));
    h.run();
    EXPECT_TRUE(cap.contains("! unexpected response for pipe <STM Device Manager> in state "));
    EXPECT_TRUE(sim.log().empty());
    EXPECT_EQ(actCauses().size(), confirmations);
}

// ---- Type 1/2 reader ------------------------------------------------------------------------------------
struct DiscoveryCase {
    const char* name;
    bool typeOne;           // a Type 1 tag, else a Type 2 tag the case dresses
    uint16_t atqa;
    uint8_t sak;
    uint32_t mask;
    uint32_t type;          // detected, or 0 when the listen goes on
    const char* trace;
};
class St21Discovery : public St21, public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(St21Discovery, TellsTheTagTypeOrListensAgain) {
    const DiscoveryCase c = GetParam();
    ASSERT_TRUE(started());
    std::shared_ptr<simtags::Tag> tag;
    if (c.typeOne) tag = std::make_shared<simtags::T1tTag>();
    else tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, false);
    tag->a.sensRes = {static_cast<uint8_t>(c.atqa), static_cast<uint8_t>(c.atqa >> 8)};
    tag->a.selRes = c.sak;
    fromController(sim.enter(tag));
    listen(c.mask);
    EXPECT_TRUE(cap.contains(c.trace)) << c.trace;
    const std::vector<TNfcTagInfo> found = devices();
    if (!c.type) {
        EXPECT_TRUE(found.empty());
        return;
    }
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].tagType, c.type);
    const Bytes uid(found[0].uid, found[0].uid + found[0].uidLength);
    // A Type 1 tag's RID: HR0 HR1 and the UID's first four bytes, then the gate's status byte.
    const Bytes expected = c.typeOne ? Bytes{tag->a.nfcid1.begin(), tag->a.nfcid1.begin() + 4} : tag->a.nfcid1;
    EXPECT_EQ(Bytes(uid.begin(), uid.begin() + static_cast<long>(std::min(uid.size(), expected.size()))), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tags, St21Discovery,
    ::testing::Values(
        DiscoveryCase{"ultralight", false, 0x0044, 0x00, 0x40, 0x40, "ehci: UID response"},
        DiscoveryCase{"classic1k", false, 0x0004, 0x08, 0x40, 0x10, "ehci: SAK response 0x08"},
        DiscoveryCase{"classic1kOther", false, 0x0004, 0x88, 0x40, 0x10, "ehci: SAK response 0x88"},
        DiscoveryCase{"classic4k", false, 0x0002, 0x18, 0x40, 0x20, "ehci: UID response"},
        DiscoveryCase{"plus2k", false, 0x0044, 0x20, 0x40, 0x2000000, "ehci: UID response"},
        DiscoveryCase{"plus4kProbed", false, 0x0042, 0x20, 0x40, 0x4000000, "ehci: try mifare read"},
        DiscoveryCase{"mini", false, 0x0004, 0x09, 0x40, 0x1000000, "ehci: UID response"},
        DiscoveryCase{"readerA", false, 0x0044, 0x00, 0x1, 0x40, "ehci: UID response"},
        DiscoveryCase{"typeOne", true, 0x0C00, 0x00, 0x400, 0x400, "ehci: Type-1 detected, get RID"},
        DiscoveryCase{"typeOneNotAsked", true, 0x0C00, 0x00, 0x40, 0, "ehci: Type-1 not requested"},
        DiscoveryCase{"noUltralight", true, 0x0001, 0x00, 0x40, 0, "ehci: No Mifare-UL, retry listen again"},
        DiscoveryCase{"restart", false, 0xC000, 0x00, 0x40, 0, "ehci: SAK response 0x00"},
        DiscoveryCase{"typeOneAskedOnly", false, 0x0044, 0x00, 0x400, 0, "ehci: Type-1 requested, start again"}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& p) { return std::string(p.param.name); });

TEST_F(St21, AThirdP2pPollInARowStillEndsTheOperationAndSaysSo) {
    ASSERT_TRUE(started());
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, false);
    tag->a.selRes = 0x40;
    fromController(sim.enter(tag));
    listen(0x40);
    controllerSends(hcisim::GATE_TYPE_1_2, hcisim::EVT_TARGET_DISCOVERED, {0x00});
    EXPECT_EQ(cap.count("ehci: Ignore P2P polling SAK 0x40"), 2u);
    EXPECT_FALSE(cap.contains("too many P2P polling in row"));
    controllerSends(hcisim::GATE_TYPE_1_2, hcisim::EVT_TARGET_DISCOVERED, {0x00});
    const Bytes endOperation = {static_cast<uint8_t>(0x80 | *sim.pipeTo(hcisim::GATE_TYPE_1_2)), 0x51};
    EXPECT_EQ(sentCount(endOperation), 3u);
    EXPECT_EQ(cap.count("ehci: Ignore restart listen, too many P2P polling in row"), 1u);
    EXPECT_TRUE(devices().empty());
}

// The type 1/2 gate's exchange header: FWI 8 for the Type 1 commands 0x00 and 0x10, else from the
// time-out; Type 2 tags take the core's header.
struct FwiCase {
    uint32_t type;
    uint8_t first;
    uint32_t timeout;
    uint8_t fwi;
    uint32_t watch;
};
class St21Fwi : public St21, public ::testing::WithParamInterface<FwiCase> {};

TEST_P(St21Fwi, FollowsTheCommandAndItsTimeOut) {
    const FwiCase c = GetParam();
    ASSERT_TRUE(started());
    TEhciPipe* pipe = e()->pipes.mifare;
    e()->currentPipe = pipe;
    e()->tagRecord.tagType = c.type;
    pipe->state = 34;
    h.clearSent();
    const Bytes command = {c.first, 0x00, 0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(etsiHciTransceive(c.timeout, e(), command.data(), static_cast<uint32_t>(command.size())), 0);
    h.run();
    ASSERT_FALSE(h.sent().empty());
    const Bytes& packet = h.sent().front();
    ASSERT_GE(packet.size(), 3u);
    EXPECT_EQ(packet[1], 0x10);
    EXPECT_EQ(packet[2], c.fwi);
    EXPECT_EQ(e()->commandWatchTimeout, c.watch);
}

INSTANTIATE_TEST_SUITE_P(Headers, St21Fwi,
                         ::testing::Values(FwiCase{0x400, 0x00, 5000, 0x18, 10}, FwiCase{0x400, 0x10, 5000, 0x18, 10},
                                           FwiCase{0x400, 0x01, 77, 0x18, 77}, FwiCase{0x400, 0x01, 78, 0x19, 78},
                                           FwiCase{0x400, 0x01, 154, 0x19, 154}, FwiCase{0x400, 0x01, 309, 0x1A, 309},
                                           FwiCase{0x400, 0x01, 618, 0x1B, 618}, FwiCase{0x400, 0x01, 1236, 0x1C, 1236},
                                           FwiCase{0x400, 0x01, 2473, 0x1D, 2473},
                                           FwiCase{0x400, 0x01, 4947, 0x1E, 4947},
                                           FwiCase{0x400, 0x01, 4948, 0x1F, 4948},
                                           FwiCase{0x40, 0x00, 309, 0x1A, 309}));

// ---- NFC-IP-1 gates ----------------------------------------------------------------------------------------
const Bytes kDepNfcid2 = {0x01, 0xFE, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const Bytes kPmm = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
const Bytes kPeerGeneralBytes = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11};

Bytes sensRes(const Bytes& nfcid2, uint16_t systemCode) {
    Bytes b = nfcid2;
    b.insert(b.end(), kPmm.begin(), kPmm.end());
    b.push_back(static_cast<uint8_t>(systemCode >> 8));
    b.push_back(static_cast<uint8_t>(systemCode));
    return b;
}

hcisim::St21Options felicaField(const Bytes& found) {
    hcisim::St21Options o;
    o.felicaTarget = found;
    return o;
}

std::shared_ptr<depsim::DepPeer> depPeer(depsim::Role role) {
    return std::make_shared<depsim::DepPeer>(role, depsim::Config{0x32, 0x0E, kPeerGeneralBytes, std::nullopt});
}

class St21Initiator : public St21 {
protected:
    explicit St21Initiator(const Bytes& found = sensRes(kDepNfcid2, 0x0000))
        : St21(felicaField(found), depPeer(depsim::Role::Target), hcisim::GATE_FELICA_IP1) {}
    void SetUp() override {
        St21::SetUp();
        nfcipResetForTest();
        ASSERT_TRUE(started());
    }
};

TEST_F(St21Initiator, AnNfcDepTargetIsActivatedThroughTheGateBeforeItsDeviceIndication) {
    listen(0x1000);
    ASSERT_FALSE(gate->frames.empty()) << "the ATR_REQ went out in WR_XCHG_DATA";
    EXPECT_EQ(Bytes(gate->frames[0].begin() + 1, gate->frames[0].begin() + 3), (Bytes{0xD4, 0x00}));
    EXPECT_TRUE(peer->activated);
    EXPECT_EQ(ll->mode, 1u);
    const std::vector<TNfcTagInfo> found = devices();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].tagType, 0x1000u);
    EXPECT_EQ(Bytes(found[0].uid, found[0].uid + found[0].uidLength), kDepNfcid2);
    EXPECT_TRUE(cap.contains("ehci: NFCID2, IP-1 detected"));
    EXPECT_TRUE(cap.contains("ehci: Felica no system code. Use 0000") || cap.contains("ehci: Felica system code"));
}

TEST_F(St21Initiator, WithoutAP2pListenerTheTargetIsLetGo) {
    listen(0x100);
    EXPECT_TRUE(cap.contains("ehci: ! NFCID2, IP-1 detected, but no P2P listener"));
    EXPECT_TRUE(gate->frames.empty());
    EXPECT_TRUE(devices().empty());
    EXPECT_FALSE(sim.isOpen(*sim.pipeTo(hcisim::GATE_FELICA_IP1))) << "or the chip finds it again at once";
}

class St21Felica : public St21Initiator {
protected:
    St21Felica() : St21Initiator(sensRes({0x01, 0x2E, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81}, 0x12FC)) {}
};

TEST_F(St21Felica, AFelicaCardIsDetectedWithItsSystemCodeAndPmm) {
    listen(0x100);
    const std::vector<TNfcTagInfo> found = devices();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].tagType, 0x100u);
    EXPECT_EQ(found[0].felica.systemCode, 0x12FC);
    EXPECT_EQ(Bytes(found[0].felica.pmm, found[0].felica.pmm + 8), kPmm);
    EXPECT_TRUE(cap.contains("NFC ID2, read SENS RES"));
}

TEST_F(St21Felica, ADiscoveryClearsTheP2pPollsInARow) {
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, false);
    tag->a.selRes = 0x40;
    fromController(sim.enter(tag));
    listen(0x40);
    controllerSends(hcisim::GATE_TYPE_1_2, hcisim::EVT_TARGET_DISCOVERED, {0x00});
    listen(0x100);
    ASSERT_EQ(devices().size(), 1u);
    listen(0x40);
    controllerSends(hcisim::GATE_TYPE_1_2, hcisim::EVT_TARGET_DISCOVERED, {0x00});
    EXPECT_FALSE(cap.contains("too many P2P polling in row"));
}

// The gate's speed byte and system code, from the listen mask and parameters.
struct SpeedCase {
    const char* name;
    uint32_t mask;
    bool rateGiven;
    uint8_t rate;
    bool codeGiven;
    uint8_t speed;
    Bytes code;
};
class St21Speed : public St21Initiator, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(St21Speed, IsWrittenWhenTheGateOpens) {
    const SpeedCase c = GetParam();
    TNfcListenParam params{};
    if (c.rateGiven) params.p2pFlags = NFC_P2P_DATA_RATE;
    params.p2pDataRate = c.rate;
    if (c.codeGiven) params.listenFFlags = NFC_LISTEN_F_IDENTIFIERS;
    params.systemCode = 0x12FC;
    listen(c.mask, &params);
    EXPECT_EQ(parameterSet(hcisim::GATE_FELICA_IP1, 0x01), Bytes{c.speed});
    EXPECT_EQ(parameterSet(hcisim::GATE_FELICA_IP1, 0x02), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Listen, St21Speed,
    ::testing::Values(SpeedCase{"initiatorAlone", 0x1000, false, 0, false, 7, {0xFF, 0xFF, 0x00, 0x00}},
                      SpeedCase{"rate106", 0x1000, true, 1, false, 1, {0xFF, 0xFF, 0x00, 0x00}},
                      SpeedCase{"rate212WithFelica212", 0x1100, true, 2, false, 3, {0xFF, 0xFF, 0x00, 0x00}},
                      SpeedCase{"rate106WithBothFelica", 0x1300, true, 1, true, 7, {0x12, 0xFC, 0x00, 0x00}},
                      SpeedCase{"rate424", 0x1000, true, 3, false, 7, {0xFF, 0xFF, 0x00, 0x00}},
                      SpeedCase{"invalidRate", 0x1000, true, 5, false, 7, {0xFF, 0xFF, 0x00, 0x00}},
                      SpeedCase{"felica212", 0x100, false, 0, true, 2, {0x12, 0xFC, 0x00, 0x00}},
                      SpeedCase{"felicaBoth", 0x300, false, 0, false, 6, {0xFF, 0xFF, 0x00, 0x00}}),
    [](const ::testing::TestParamInfo<SpeedCase>& p) { return std::string(p.param.name); });

class St21Target : public St21 {
protected:
    St21Target() : St21({}, depPeer(depsim::Role::Initiator), hcisim::GATE_IP1_TARGET) {}
    void SetUp() override {
        St21::SetUp();
        nfcipResetForTest();
        ASSERT_TRUE(started());
    }
};

TEST_F(St21Target, AnActivatedTargetAnswersTheAtrReqOnItsPipe) {
    listen(0x2000);
    EXPECT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x08), Bytes{0x02});
    EXPECT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x06), (Bytes{0x00, 0x08}));
    EXPECT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x07), Bytes{0x40});
    EXPECT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x05).size(), 7u);
    const Bytes record = parameterSet(hcisim::GATE_IP1_TARGET, 0x04);
    ASSERT_EQ(record.size(), 19u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 2), (Bytes{0x01, 0xFE}));
    EXPECT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x01), Bytes{0x02});

    controllerSends(hcisim::GATE_IP1_TARGET, hcisim::EVT_CARD_ACTIVATED, {});
    EXPECT_TRUE(cap.contains("ehci: IP-1 target, card activated"));
    EXPECT_EQ(ll->mode, 2u);
    EXPECT_TRUE(devices().empty()) << "the device waits for the ATR_REQ";
    controllerSends(hcisim::GATE_IP1_TARGET, hcisim::EVT_SEND_DATA, peer->atrReq());
    ASSERT_FALSE(gate->frames.empty()) << "the ATR_RES went out on the target pipe";
    EXPECT_EQ(Bytes(gate->frames[0].begin() + 1, gate->frames[0].begin() + 3), (Bytes{0xD5, 0x01}));
    EXPECT_EQ(Bytes(gate->frames[0].begin() + 3, gate->frames[0].begin() + 11), Bytes(record.begin(), record.begin() + 8))
        << "NFCID3t from the target's NFCID2";
    EXPECT_TRUE(peer->activated);
    EXPECT_EQ(devices().size(), 1u);
}

// Card-F emulation on the gate the NFC-DEP target shares presents its own system code and IDm
// (the application's, else the default ones), never what an NFC-DEP session left there.
class St21CardF : public St21Target, public ::testing::WithParamInterface<bool> {};

TEST_P(St21CardF, PresentsItsOwnIdentity) {
    const bool given = GetParam();
    listen(0x2000);
    ASSERT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x04).at(0), 0x01);
    sim.clearLog();
    TNfcListenParam params{};
    const Bytes idm = {0x02, 0xFE, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    if (given) {
        params.listenFFlags = NFC_LISTEN_F_IDENTIFIERS;
        params.systemCode = 0x88B4;
        std::memcpy(params.nfcid2, idm.data(), idm.size());
    }
    listen(0x400000, &params);
    EXPECT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x08), Bytes{0x01});
    Bytes expected = given ? Bytes{0x88, 0xB4} : Bytes{0x12, 0xFC};
    const Bytes id = given ? idm : Bytes{0x06, 0x66, 0, 0, 0, 0, 0, 0};
    expected.insert(expected.end(), id.begin(), id.end());
    expected.insert(expected.end(), 8, 0x00);
    expected.push_back(0x01);
    EXPECT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x04), expected);
    EXPECT_EQ(parameterSet(hcisim::GATE_IP1_TARGET, 0x01), Bytes{0x02});
    EXPECT_EQ(cap.contains("ehci: use IDM from application"), given);
}

INSTANTIATE_TEST_SUITE_P(Identity, St21CardF, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Given" : "Default"; });

TEST_F(St21Target, AnActivationOutsideTheListenIsIgnored) {
    controllerSends(hcisim::GATE_IP1_TARGET, hcisim::EVT_CARD_ACTIVATED, {});
    EXPECT_TRUE(cap.contains("ehci: ! IP-1 target, card activated in bad state, ignored"));
    EXPECT_TRUE(devices().empty());
}

// A gate of the listen that does not open is given up: the others listen, nothing more goes to it.
class St21GateRefused : public St21, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(St21GateRefused, TheListenGoesOnWithout) {
    ASSERT_TRUE(started());
    sim.inject(hcisim::Fault{hcisim::ANY_OPEN_PIPE, GetParam(), std::nullopt, hcisim::ANY_E_NOK});
    listen(0x3000 | 0x40);
    const std::vector<OsMessage> conf = h.upward(NFCLL_LISTEN_CONF);
    ASSERT_EQ(conf.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_LISTEN_CONF>(conf[0]).cause, 0);
    EXPECT_TRUE(parameterSet(GetParam(), 0x01).empty());
    EXPECT_TRUE(sim.isOpen(*sim.pipeTo(hcisim::GATE_TYPE_1_2)));
}

INSTANTIATE_TEST_SUITE_P(Gates, St21GateRefused,
                         ::testing::Values(hcisim::GATE_FELICA_IP1, hcisim::GATE_IP1_TARGET),
                         [](const ::testing::TestParamInfo<uint8_t>& p) {
                             return p.param == hcisim::GATE_FELICA_IP1 ? "initiator" : "target";
                         });

// ---- Routing -------------------------------------------------------------------------------------------------
Bytes entry(NfcSecureHandle handle, uint32_t type, uint8_t option, const Bytes& aid) {
    TNfcRoutingEntry e{};
    e.hSecure = handle;
    e.type = type;
    e.nfceeId = option;
    e.aid.length = static_cast<BYTE>(aid.size());
    std::memcpy(e.aid.bytes, aid.data(), std::min<size_t>(aid.size(), sizeof e.aid.bytes));
    const auto* p = reinterpret_cast<const uint8_t*>(&e);
    return Bytes(p, p + sizeof e);
}

Bytes record(uint8_t option, uint8_t seId, const Bytes& aid) {
    Bytes r(19, 0);
    r[0] = static_cast<uint8_t>(aid.size());
    std::copy(aid.begin(), aid.end(), r.begin() + 1);
    r[17] = option;
    r[18] = seId;
    return r;
}

const Bytes kAid = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10};
const Bytes kLongAid(17, 0xA1);

class St21Routing : public St21 {
protected:
    void SetUp() override {
        St21::SetUp();
        ASSERT_TRUE(started());
        uicc = e()->seRecords[0].handle;
    }
    TNfcllIoControlConf io(uint32_t code, const Bytes& input, uint16_t outputSize = 0) {
        const size_t before = ioAnswers().size();
        ioControl(code, input, outputSize);
        h.run();
        const std::vector<TNfcllIoControlConf> answers = ioAnswers();
        EXPECT_EQ(answers.size(), before + 1);
        return answers.empty() ? TNfcllIoControlConf{0xFFFF, 0, nullptr} : answers.back();
    }
    NfcSecureHandle uicc = 0;
};

TEST_F(St21Routing, ATwentyEightByteInputAddsOneEntryAndTheClosingRecord) {
    Bytes input = entry(uicc, NFC_ROUTE_AID, 0x05, kAid);
    input.push_back(0xEE);
    EXPECT_EQ(io(0x800D, input).cause, 0);
    size_t records = 0;
    for (const hcisim::Message& m : toGate(hcisim::GATE_STM_MANAGER)) records += m.instruction == kSetRoute ? 1 : 0;
    EXPECT_EQ(records, 2u);
    EXPECT_EQ(chip->routes(), (std::map<uint8_t, Bytes>{{1, record(0x05, 0x02, kAid)}}));
}

TEST_F(St21Routing, AddedEntriesAreReadBackInWholeEntries) {
    const Bytes first = entry(uicc, NFC_ROUTE_AID, 0x05, kAid);
    const Bytes second = entry(0, NFC_ROUTE_AID, 0x01, {0xD2, 0x76, 0x00, 0x00, 0x85});
    Bytes input = first;
    input.insert(input.end(), second.begin(), second.end());
    ASSERT_EQ(io(0x800D, input).cause, 0);
    const TNfcllIoControlConf got = io(0x800E, {}, 60);
    EXPECT_EQ(got.cause, 0);
    ASSERT_EQ(got.length, 54u) << "two entries of 27 bytes";
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 54), input);
}

TEST_F(St21Routing, AnOutputTooSmallForTheNextEntryIsRefused) {
    Bytes input = entry(uicc, NFC_ROUTE_AID, 0, kAid);
    const Bytes second = entry(uicc, NFC_ROUTE_AID, 0, {0xA0, 0x00, 0x00, 0x00, 0x04});
    input.insert(input.end(), second.begin(), second.end());
    ASSERT_EQ(io(0x800D, input).cause, 0);
    EXPECT_EQ(io(0x800E, {}, 30).cause, 4);
    EXPECT_TRUE(cap.contains("! Chaining AID 2 length exceeds buffer size 27"));
}

// A controller record whose AID would not fit the entry's field or the record ends the list.
struct BadRecordCase {
    const char* name;
    Bytes record;
};
class St21BadRecord : public St21Routing, public ::testing::WithParamInterface<BadRecordCase> {};

TEST_P(St21BadRecord, EndsTheList) {
    chip->setRoute(1, record(0, 0x02, kAid));
    chip->setRoute(2, GetParam().record);
    chip->setRoute(3, record(0, 0x02, kAid));
    const TNfcllIoControlConf got = io(0x800E, {}, 81);
    EXPECT_EQ(got.cause, 0);
    EXPECT_EQ(got.length, 27u);
    EXPECT_TRUE(cap.contains("! Routing AID length"));
}

INSTANTIATE_TEST_SUITE_P(Records, St21BadRecord,
                         ::testing::Values(BadRecordCase{"aidAboveSixteen", Bytes(19, 17)},
                                           BadRecordCase{"aidBeyondTheRecord", {10, 0xA0, 0x00, 0x00}}),
                         [](const ::testing::TestParamInfo<BadRecordCase>& p) { return std::string(p.param.name); });

// Entries the controller cannot take are skipped; none left is refused with 2.
struct AddCase {
    const char* name;
    uint32_t type;
    Bytes aid;
};
class St21Skipped : public St21Routing, public ::testing::WithParamInterface<AddCase> {};

TEST_P(St21Skipped, AloneIsRefusedAndBesideAValidOneLeftOut) {
    const Bytes bad = entry(uicc, GetParam().type, 0, GetParam().aid);
    EXPECT_EQ(io(0x800D, bad).cause, 2);
    EXPECT_TRUE(chip->routes().empty());
    Bytes input = bad;
    const Bytes good = entry(uicc, NFC_ROUTE_AID, 0, kAid);
    input.insert(input.end(), good.begin(), good.end());
    EXPECT_EQ(io(0x800D, input).cause, 0);
    EXPECT_EQ(chip->routes(), (std::map<uint8_t, Bytes>{{1, record(0, 0x02, kAid)}}));
}

INSTANTIATE_TEST_SUITE_P(Entries, St21Skipped,
                         ::testing::Values(AddCase{"technology", NFC_ROUTE_TECHNOLOGY, kAid},
                                           AddCase{"aidAboveSixteen", NFC_ROUTE_AID, kLongAid}),
                         [](const ::testing::TestParamInfo<AddCase>& p) { return std::string(p.param.name); });

TEST_F(St21Routing, ClearEmptiesTheTable) {
    ASSERT_EQ(io(0x800D, entry(uicc, NFC_ROUTE_AID, 0, kAid)).cause, 0);
    EXPECT_EQ(io(0x800F, {}).cause, 0);
    EXPECT_TRUE(chip->routes().empty());
    EXPECT_EQ(io(0x800E, {}, 27).length, 0u);
}

// ---- Device I/O controls ---------------------------------------------------------------------------------------
struct DeviceIoCase {
    const char* name;
    bool nfcb;
    uint32_t code;
    Bytes input;
    uint16_t outputSize;
    uint16_t cause;
    Bytes sent;   // what went to the device manager, after its header; empty when nothing did
};
class St21DeviceIoChip : public St21, public ::testing::WithParamInterface<DeviceIoCase> {
protected:
    St21DeviceIoChip() : St21(optionsOf(GetParam().nfcb)) {}
};

TEST_P(St21DeviceIoChip, AnswersAsTheTableSays) {
    const DeviceIoCase c = GetParam();
    ASSERT_TRUE(started());
    h.clearSent();
    ioControl(c.code, c.input, c.outputSize);
    h.run();
    ASSERT_EQ(ioCauses(), std::vector<uint16_t>{c.cause});
    if (c.sent.empty()) {
        EXPECT_TRUE(h.sent().empty());
        return;
    }
    Bytes expected = {kManager};
    expected.insert(expected.end(), c.sent.begin(), c.sent.end());
    EXPECT_EQ(sentCount(expected), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, St21DeviceIoChip,
    ::testing::Values(DeviceIoCase{"modeFour", false, 0x1000, {}, 0, 0, {kDmWrite, 0xF0, 0x00, 0x04}},
                      DeviceIoCase{"modeThree", false, 0x1001, {}, 0, 0, {kDmWrite, 0xF0, 0x00, 0x03}},
                      DeviceIoCase{"rebootA", false, 0x1005, {}, 0, 0, {0x30}},
                      DeviceIoCase{"rebootB", true, 0x1005, {}, 0, 0, {0x30, 0x01}},
                      DeviceIoCase{"radioOn", false, 0x1006, {}, 0, 0, {0x01, 0x03, 0x01}},
                      DeviceIoCase{"radioOff", false, 0x1007, {}, 0, 0, {0x01, 0x03, 0x00}},
                      DeviceIoCase{"custom", false, 0x1201, {1, 2, 3}, 0, 0, {0x32, 1, 2, 3}},
                      DeviceIoCase{"clfSet", false, 0x1106, {}, 7, 0, {kDmWrite, 0xD0, 0, 0, 1, 2, 0, 0, 0}},
                      DeviceIoCase{"clfShortOutput", false, 0x1106, {}, 6, 2, {}},
                      DeviceIoCase{"clfOnB", true, 0x1106, {}, 7, 7, {}},
                      DeviceIoCase{"clfClearOnB", true, 0x1109, {}, 7, 7, {}},
                      DeviceIoCase{"fieldBitSet", false, 0x1108, {}, 7, 0, {kDmWrite, 0xD0, 0, 0, 0x21, 0, 0, 0, 0}},
                      DeviceIoCase{"fieldBitAlreadyClear", false, 0x1109, {}, 7, 0, {kDmRead, 0xD0}},
                      DeviceIoCase{"reserved", false, 0x1203, {}, 0, 7, {}},
                      DeviceIoCase{"unknown", false, 0x1234, {}, 0, 7, {}}),
    [](const ::testing::TestParamInfo<DeviceIoCase>& p) { return std::string(p.param.name); });

TEST_F(St21, AClfChangeReturnsTheSevenBytesAndAShortReadIsRefused) {
    ASSERT_TRUE(started());
    ioControl(0x1107, {}, 7);
    h.run();
    ASSERT_EQ(ioCauses(), std::vector<uint16_t>{0});
    EXPECT_EQ(output, chip->clfConfig());
    const uint32_t writes = chip->clfWrites();
    chip->cutNext(kDmRead, 0xD0, 6);
    ioControl(0x1106, {}, 7);
    h.run();
    EXPECT_EQ(ioCauses().back(), 2);
    EXPECT_EQ(chip->clfWrites(), writes);
}

}  // namespace
