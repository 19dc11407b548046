// The PN544's NFC-IP-1 pipes inside the real layer 1 against the simulated PN544, packet by
// packet: what opening them writes into the chip's registry, a message cut into frames and
// packets by the negotiated frame size, the frames the chip passes up (held while the link is
// still being read, cut when they overflow, and an RF error that ends the link), and the demo
// board's FeliCa reader that it shares with the PN544.
#include <cstdio>
#include <memory>
#include <string>

#include "core/nfcmgr.h"
#include "ehci_fixture.h"
#include "hci/hci_pn544.h"
#include "tags/nfc_dep_target.h"
#include "tags/t3t_tag.h"

namespace {

using hcisim::Bytes;
using hcisim::Message;
using hcisim::Pn544Ip1;
using hcisim::Type;

constexpr uint16_t kPn544 = 0x205;
constexpr uint8_t kInitiatorGate = hcisim::GATE_PN544_IP1_INITIATOR, kTargetGate = hcisim::GATE_PN544_IP1_TARGET;
const Bytes kGeneral = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11};

Bytes patterned(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
    return b;
}

class Pn544Ip1Driver : public EhciDriver {
protected:
    Pn544Ip1Driver() : Pn544Ip1Driver(std::make_shared<hcisim::Pn544Chip>()) {}
    explicit Pn544Ip1Driver(std::shared_ptr<hcisim::Pn544Chip> chip)
        : EhciDriver(kPn544, hcisim::pn544Personality(chip, true)), chip_(std::move(chip)) {}
    void SetUp() override {
        EhciDriver::SetUp();
        ASSERT_TRUE(started());
        params.p2pFlags = NFC_P2P_GENERAL_BYTES;
        params.atrLength = static_cast<uint8_t>(kGeneral.size() + 1);
        std::memcpy(params.atr.generalBytes, kGeneral.data(), kGeneral.size());
    }
    void TearDown() override { nfcmanSetStackBytes(0, 0); }

    void listenFor(uint32_t mask) {
        h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {mask, &params}));
    }
    // A peer meets the pipe of its role once the host listens for it; the chip's frames and the
    // peer's ATR are as given. The manager takes the device at once.
    void link(Pn544Ip1::Peer role, uint8_t sizeByte, std::deque<Bytes> peerFrames = {}) {
        const bool initiator = role == Pn544Ip1::Peer::Target;
        const uint8_t gate = initiator ? kInitiatorGate : kTargetGate;
        sim.setRegistry(gate, hcisim::IP1_FRAME_SIZE, {sizeByte});
        sim.setRegistry(gate, initiator ? 0x03 : 0x02, atr());
        peer = std::make_shared<simpeers::FrameLog>();
        peer->toSend = std::move(peerFrames);
        chip_->withIp1([&](Pn544Ip1& ip1) { ip1.setPeer(role, peer); });
        listenFor(initiator ? 0x1000 : 0x2000);
        h.run();
        accept();
    }
    void accept() {
        h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager));
        h.run();
    }
    static Bytes atr() { return simpeers::atrRes(Bytes(10, 0x11), 0x0E, simpeers::llcpGeneralBytes()); }
    std::vector<TNfcTagInfo> devices() {
        std::vector<TNfcTagInfo> tags;
        for (const OsMessage& m : h.upward(NFCLL_DEVICE_IND)) tags.push_back(*nfcllMsgGet<NFCLL_DEVICE_IND>(m).device);
        return tags;
    }
    size_t removals() { return h.upward(NFCLL_TECH_REMOVE_IND).size(); }
    void send(const Bytes& message) {
        h.toLayer1(nfcllMsgMake<PH_DATA_REQ>(DriverHarness::kManager, {NFCLL_MSG_OWNS_BUFFER, 0,
                                                                      static_cast<uint16_t>(message.size()),
                                                                      h.rxBuffer(message)}));
        h.run();
    }
    // The sets of parameters the host wrote on a gate, by index.
    std::map<uint8_t, Bytes> written(uint8_t gate) {
        std::map<uint8_t, Bytes> values;
        for (const hcisim::Logged& l : sim.log())
            if (l.gate == gate && l.message.type == Type::command && l.message.instruction == hcisim::ANY_SET_PARAMETER &&
                !l.message.data.empty())
                values[l.message.data[0]] = Bytes(l.message.data.begin() + 1, l.message.data.end());
        return values;
    }
    // What the sim got on the IP-1 gates, read under the chip's lock.
    Pn544Ip1 ip1() {
        Pn544Ip1 copy;
        chip_->withIp1([&](Pn544Ip1& ip1) { copy = ip1; });
        return copy;
    }

    std::shared_ptr<hcisim::Pn544Chip> chip_;
    std::shared_ptr<simpeers::FrameLog> peer;
    TNfcListenParam params{};
};

// ---- Opening ---------------------------------------------------------------------------------------
struct OpenCase {
    uint32_t mask;
    uint8_t gate;
    uint8_t speed;
    int flags;   // parameter 13 of the target, -1 on the initiator
};

class Pn544Ip1Open : public Pn544Ip1Driver, public ::testing::WithParamInterface<OpenCase> {
protected:
    // An inactive UICC leaves card emulation to the host, which the target's flags follow.
    Pn544Ip1Open() { chip_->setSwpStatuses({0x00}); }
};

TEST_P(Pn544Ip1Open, WritesTheSpeedsTheGeneralBytesAndTheTargetFlags) {
    const OpenCase& c = GetParam();
    sim.clearLog();
    listenFor(c.mask);
    h.run();
    const std::map<uint8_t, Bytes> values = written(c.gate);
    ASSERT_TRUE(values.count(0x01));
    EXPECT_EQ(values.at(0x01), (Bytes{c.speed}));
    const uint8_t atrIndex = c.gate == kInitiatorGate ? 0x02 : 0x03;
    ASSERT_TRUE(values.count(atrIndex));
    EXPECT_EQ(values.at(atrIndex), kGeneral);
    if (c.flags < 0) EXPECT_FALSE(values.count(0x0D));
    else EXPECT_EQ(values.at(0x0D), (Bytes{static_cast<uint8_t>(c.flags)}));
    EXPECT_TRUE(cap.contains(c.gate == kInitiatorGate ? "ehci: ## OPEN IP-1 Initiator SUCCESSFULLY"
                                                      : "ehci: ## OPEN IP-1 Target SUCCESSFULLY"));
    EXPECT_EQ(h.upward(NFCLL_LISTEN_CONF).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Masks, Pn544Ip1Open,
                         ::testing::Values(OpenCase{0x1000, kInitiatorGate, 0x38, -1},
                                           OpenCase{0x1100, kInitiatorGate, 0x06, -1},
                                           OpenCase{0x41100, kInitiatorGate, 0x3E, -1},
                                           OpenCase{0x2000, kTargetGate, 0x07, 0},
                                           OpenCase{0xA000, kTargetGate, 0x0F, 0},
                                           OpenCase{0x102000, kTargetGate, 0x07, 1}),
                         [](const auto& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "Mask%X", static_cast<unsigned>(info.param.mask));
                             return std::string(name);
                         });

// ---- Sending -------------------------------------------------------------------------------------
// A packet of the host: "M<mi>:<n>" a frame's first (pipe, 0x41, MI) with n data bytes, "<n>" a
// following one; "!" marks the chaining bit that ends a frame.
struct SendCase {
    size_t length;
    uint8_t sizeByte;
    uint8_t optionByte;
    std::vector<std::string> packets;
};

class Pn544Ip1Send : public Pn544Ip1Driver, public ::testing::WithParamInterface<SendCase> {};

std::vector<std::string> describe(const std::vector<Bytes>& sent, uint8_t pipe) {
    std::vector<std::string> out;
    bool first = true;
    for (const Bytes& p : sent) {
        if (p.empty() || (p[0] & 0x7F) != pipe) continue;
        const bool cb = p[0] & 0x80;
        std::string s = first && p.size() >= 3 && p[1] == 0x41
                            ? "M" + std::to_string(p[2]) + ":" + std::to_string(p.size() - 3)
                            : std::to_string(p.size() - 1);
        out.push_back(s + (cb ? "!" : ""));
        first = cb;
    }
    return out;
}

TEST_P(Pn544Ip1Send, CutsTheMessageIntoFramesOfTheFrameSizeAndFramesIntoPackets) {
    const SendCase& c = GetParam();
    nfcmanSetStackBytes(c.optionByte, 0);
    link(Pn544Ip1::Peer::Target, c.sizeByte);
    ASSERT_EQ(devices().size(), 1u);
    EXPECT_EQ(devices()[0].tagType, 0x1000u);
    const Bytes message = patterned(c.length, 0x20);
    h.clearSent();
    send(message);
    EXPECT_EQ(describe(h.sent(), e()->pipes.nfcipInitiator->id), c.packets);
    const Pn544Ip1 got = ip1();
    ASSERT_EQ(got.messages.size(), 1u);
    EXPECT_EQ(got.messages[0], message);
    EXPECT_EQ(got.oversized, 0u);
    // The peer's answer (a SYMM) comes up whole.
    EXPECT_EQ(received(), (std::vector<Bytes>{{0x00, 0x00}}));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Pn544Ip1Send,
    ::testing::Values(SendCase{25, 0, 0, {"M0:25!"}},
                      SendCase{26, 0, 0, {"M0:25", "1!"}},   // 26 bytes or more: the first without CB
                      SendCase{60, 0, 0, {"M0:25", "27", "8!"}},
                      SendCase{61, 0, 0, {"M1:25", "27", "8!", "M0:1!"}},
                      SendCase{130, 64, 0, {"M1:25", "27", "27", "27", "18!", "M0:6!"}},
                      SendCase{200, 128, 0, {"M1:25", "27", "27", "27", "27", "27", "27", "1!", "M0:12!"}},
                      SendCase{300, 192, 0, {"M1:25", "27", "27", "27", "27", "27", "27", "27", "27", "9!", "M0:25", "25!"}},
                      SendCase{252, 255, 1, {"M0:25", "27", "27", "27", "27", "27", "27", "27", "27", "11!"}}),
    [](const auto& info) {
        return std::to_string(info.param.length) + "BytesSizeByte" + std::to_string(info.param.sizeByte) + "Option" +
               std::to_string(info.param.optionByte);
    });

TEST_F(Pn544Ip1Driver, AFullFrameWaitsForContinueMiBeforeTheNext) {
    link(Pn544Ip1::Peer::Target, 0);
    sim.setMute(true);
    h.clearSent();
    send(patterned(100, 0x01));
    const uint8_t pipe = e()->pipes.nfcipInitiator->id;
    EXPECT_EQ(describe(h.sent(), pipe), (std::vector<std::string>{"M1:25", "27", "8!"}));
    EXPECT_TRUE(cap.contains("ehci: waiting for MI"));
    sim.setMute(false);
    fromController(sim.event(pipe, hcisim::IP1_EVT_CONTINUE_MI, {}));
    h.run();
    EXPECT_EQ(describe(h.sent(), pipe), (std::vector<std::string>{"M1:25", "27", "8!", "M0:25", "15!"}));
    EXPECT_TRUE(cap.contains("ehci: IP-1 CONTINUE MI"));
}

TEST_F(Pn544Ip1Driver, AFrameFromThePeerBeforeTheMessageIsThroughEndsTheLink) {
    link(Pn544Ip1::Peer::Target, 0);
    sim.setMute(true);
    send(patterned(100, 0x01));
    const uint8_t pipe = e()->pipes.nfcipInitiator->id;
    sim.setMute(false);
    fromController(sim.event(pipe, hcisim::IP1_EVT_DATA, {0x00, 0x00, 0x01}));
    h.run();
    EXPECT_EQ(removals(), 1u);
    EXPECT_TRUE(received().empty());
    h.clearSent();
    fromController(sim.event(pipe, hcisim::IP1_EVT_CONTINUE_MI, {}));
    h.run();
    EXPECT_TRUE(describe(h.sent(), pipe).empty());
}

TEST_F(Pn544Ip1Driver, AFrameLeftUnfinishedWhenTheListenStopsIsNotWrittenOnAfterwards) {
    link(Pn544Ip1::Peer::Target, 0);
    const uint8_t pipe = e()->pipes.nfcipInitiator->id;
    const std::vector<Bytes> packets = sim.event(pipe, hcisim::IP1_EVT_DATA, patterned(40, 0x00));
    ASSERT_EQ(packets.size(), 2u);
    fromController({packets[0]});
    h.run();
    h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {0, nullptr}));
    h.run();
    ASSERT_EQ(e()->pipes.nfcipInitiator->rxBuffer, nullptr);
    fromController({packets[1]});
    h.run();
    EXPECT_TRUE(cap.contains("ehci: ! RX message on <IP-1 Initiator> left unfinished"));
    EXPECT_TRUE(received().empty());
}

TEST_F(Pn544Ip1Driver, APacketWaitsForTheCompletionOfTheOneBefore) {
    link(Pn544Ip1::Peer::Target, 0);
    h.holdTx(true);
    h.clearSent();
    send(patterned(40, 0x01));
    const uint8_t pipe = e()->pipes.nfcipInitiator->id;
    EXPECT_EQ(describe(h.sent(), pipe), (std::vector<std::string>{"M0:25"}));
    h.releaseTx();
    h.run();
    EXPECT_EQ(describe(h.sent(), pipe), (std::vector<std::string>{"M0:25", "15!"}));
}

// ---- Receiving -----------------------------------------------------------------------------------
TEST_F(Pn544Ip1Driver, APeerMessageComesUpWholeAcrossFramesAfterTheAtrIsKept) {
    link(Pn544Ip1::Peer::Target, 0, {patterned(150, 0x40)});
    const std::vector<TNfcTagInfo> found = devices();
    ASSERT_EQ(found.size(), 1u);
    const Bytes kept(reinterpret_cast<const uint8_t*>(&found[0]) + NFCLL_GENERAL_BYTES_OFFSET,
                     reinterpret_cast<const uint8_t*>(&found[0]) + NFCLL_GENERAL_BYTES_OFFSET + found[0].historicalBytesLength);
    EXPECT_EQ(kept, atr());
    send({0x00, 0x00});
    EXPECT_EQ(received(), (std::vector<Bytes>{patterned(150, 0x40)}));
    EXPECT_TRUE(cap.contains("IP-1 RX INITIATOR DATA, more MI=1"));
}

// An initiator speaks as soon as the link is up, before the chip has answered the host's reads:
// what it sends meanwhile is held, a whole chained message too, until the frame size is known.
class Pn544Ip1Held : public Pn544Ip1Driver, public ::testing::WithParamInterface<size_t> {};

TEST_P(Pn544Ip1Held, UntilTheFrameSizeIsKnownThenComesUpWhole) {
    link(Pn544Ip1::Peer::Initiator, 64, {patterned(GetParam(), 0x60)});
    ASSERT_EQ(devices().size(), 1u);
    EXPECT_EQ(devices()[0].tagType, 0x2000u);
    EXPECT_TRUE(cap.contains("ehci: deferr first RX frame"));
    EXPECT_TRUE(cap.contains("ehci: signal deferred first RX frame"));
    EXPECT_EQ(received(), (std::vector<Bytes>{patterned(GetParam(), 0x60)}));
    EXPECT_EQ(removals(), 0u);
    // The host answers as target in frames of the size it read.
    send(patterned(130, 0x01));
    EXPECT_EQ(ip1().messages, (std::vector<Bytes>{patterned(130, 0x01)}));
    EXPECT_EQ(ip1().frames.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Pn544Ip1Held, ::testing::Values(30, 600, NFCLL_RX_BUFFER_SIZE),
                         [](const auto& info) { return std::to_string(info.param) + "Bytes"; });

TEST_F(Pn544Ip1Driver, MoreHeldThanAFrameOfLayerOneTakesEndsTheLink) {
    link(Pn544Ip1::Peer::Initiator, 64, {patterned(NFCLL_RX_BUFFER_SIZE + 1, 0x60)});
    EXPECT_TRUE(cap.contains("ehci: ! IP-1 RX frames held beyond 2051 bytes, link ended"));
    EXPECT_EQ(removals(), 1u);
    EXPECT_TRUE(received().empty());
}

struct BadFrame {
    const char* name;
    Bytes first;        // the data event: RF status, MI, data
    const char* trace;
};

class Pn544Ip1Bad : public Pn544Ip1Driver, public ::testing::WithParamInterface<BadFrame> {};

TEST_P(Pn544Ip1Bad, EndsTheLinkAsTheTechnologyRemoved) {
    link(Pn544Ip1::Peer::Target, 0);
    const uint8_t pipe = e()->pipes.nfcipInitiator->id;
    fromController(sim.event(pipe, hcisim::IP1_EVT_DATA, GetParam().first));
    h.run();
    EXPECT_EQ(removals(), 1u);
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(cap.contains(GetParam().trace));
    // What follows on the ended link is not taken for data.
    fromController(sim.event(pipe, hcisim::IP1_EVT_DATA, {0x00, 0x00, 0x01}));
    h.run();
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(cap.contains("ehci: bad state"));
}

Bytes oversized() {
    Bytes b = {0x00, 0x00};
    const Bytes data = patterned(EHCI_RX_SIZE + 1, 0x00);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

INSTANTIATE_TEST_SUITE_P(Frames, Pn544Ip1Bad,
                         ::testing::Values(BadFrame{"RfError", {0x01, 0x00, 0xAA}, "ehci: IP-1 RF error 0x1 !"},
                                           BadFrame{"Oversized", oversized(), "ehci: ! IP-1 RX frame beyond 262 bytes cut"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pn544Ip1Driver, TheFelicaReaderHandsAnNfcDepTargetToTheInitiatorPipe) {
    const uint8_t felica = sim.pipeTo(hcisim::GATE_PN544_FELICA).value_or(0);
    ASSERT_NE(felica, 0);
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x01, {0x01, 0xFE});
    sim.setRegistry(kInitiatorGate, 0x03, atr());
    listenFor(0x1100);
    h.run();
    // The target comes into the field after the loop started: the FeliCa reader finds it first.
    peer = std::make_shared<simpeers::FrameLog>();
    chip_->withIp1([&](Pn544Ip1& ip1) { ip1.setPeer(Pn544Ip1::Peer::Target, peer); });
    fromController(sim.event(felica, hcisim::EVT_TARGET_DISCOVERED, {0x00}));
    h.run();
    ASSERT_EQ(devices().size(), 1u);
    EXPECT_EQ(devices()[0].tagType, 0x1000u);
    EXPECT_EQ(e()->currentPipe, e()->pipes.nfcipInitiator);
    EXPECT_TRUE(cap.contains("ehci: IP-1 active mode activated"));
}

TEST_F(Pn544Ip1Driver, AFailedActivationLetsTheTargetGo) {
    const uint8_t felica = sim.pipeTo(hcisim::GATE_PN544_FELICA).value_or(0);
    sim.setRegistry(hcisim::GATE_PN544_FELICA, 0x01, {0x01, 0xFE});
    listenFor(0x1100);
    h.run();
    fromController(sim.event(felica, hcisim::EVT_TARGET_DISCOVERED, {0x00}));
    h.run();
    EXPECT_TRUE(devices().empty());
    EXPECT_EQ(ip1().releases, 1u);
}

// ---- The demo board --------------------------------------------------------------------------------
hcisim::Personality demoWithFelica() {
    hcisim::Personality p = hcisim::Personality::demo();
    p.gates.push_back(hcisim::GATE_READER_FELICA);
    return p;
}

class DemoFelica : public EhciDriver {
protected:
    DemoFelica() : EhciDriver(0x208, demoWithFelica()) {}
};

TEST_F(DemoFelica, ListeningWithFelicaOnlyOnTheDemoBoardSendsSetupPhases0x8) {
    ASSERT_TRUE(started());
    EXPECT_EQ(e()->supportedMask, 0x307u);
    auto tag = std::make_shared<simtags::T3tTag>();
    sim.enter(tag);
    sim.clearLog();
    h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {0x100, nullptr}));
    h.run();
    EXPECT_TRUE(cap.contains("ehci: Start polling loop, setup phases 0x8 first for listen mask 0x00000100"));
    const auto tags = h.upward(NFCLL_DEVICE_IND);
    ASSERT_EQ(tags.size(), 1u);
    const TNfcTagInfo& info = *nfcllMsgGet<NFCLL_DEVICE_IND>(tags[0]).device;
    EXPECT_EQ(+info.tagType, 0x100u);
    EXPECT_EQ(+info.felica.systemCode, 0x12FC);
    EXPECT_EQ(Bytes(info.uid, info.uid + info.uidLength), Bytes(tag->f.sensfRes.begin(), tag->f.sensfRes.begin() + 8));
}

// Card A tells the NFC-IP-1 initiator whether the host listens as target beside it (bit 13 of the
// listen); that answer is not waited for, and the listen goes on.
class Pn544CardA : public Pn544Ip1Driver, public ::testing::WithParamInterface<std::pair<uint32_t, uint8_t>> {
protected:
    Pn544CardA() { chip_->setSwpStatuses({0x00}); }   // card emulation stays the host's
};

TEST_P(Pn544CardA, TellsTheInitiatorOfTheTargetBit) {
    sim.clearLog();
    listenFor(GetParam().first);
    h.run();
    EXPECT_EQ(written(kInitiatorGate)[0x0D], Bytes{GetParam().second});
    EXPECT_EQ(written(0x23)[0x01], Bytes{0x02}) << "card A's mode comes on";
    const auto conf = h.upward(NFCLL_LISTEN_CONF);
    ASSERT_EQ(conf.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_LISTEN_CONF>(conf[0]).cause, 0);
}

INSTANTIATE_TEST_SUITE_P(Masks, Pn544CardA,
                         ::testing::Values(std::make_pair(0x100000u, uint8_t{0}), std::make_pair(0x102000u, uint8_t{1})));

// ---- An NFC-DEP target found by reader A ------------------------------------------------------------

// The PN544 and the demo board tell an NFC-DEP target by its SAK: the initiator pipe activates it
// (command 0x13) and the link runs as on the chip's own IP-1 phase; without one that links,
// reader A polls on.
class ReaderANfcDep : public EhciDriver, public ::testing::WithParamInterface<bool> {
protected:
    ReaderANfcDep() : ReaderANfcDep(std::make_shared<hcisim::Pn544Chip>()) {}
    explicit ReaderANfcDep(std::shared_ptr<hcisim::Pn544Chip> chip)
        : EhciDriver(GetParam() ? 0x208 : kPn544,
                     GetParam() ? hcisim::demoPersonality(chip, true) : hcisim::pn544Personality(chip, true)),
          chip_(std::move(chip)) {}
    void SetUp() override {
        EhciDriver::SetUp();
        ASSERT_TRUE(started());
        sim.setRegistry(kInitiatorGate, hcisim::IP1_FRAME_SIZE, {0x80});
        sim.setRegistry(kInitiatorGate, 0x03, simpeers::atrRes(Bytes(10, 0x11), 0x0E, simpeers::llcpGeneralBytes()));
    }
    void listenFor(uint32_t mask) { h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {mask, nullptr})); }
    std::vector<TNfcTagInfo> devices() {
        std::vector<TNfcTagInfo> tags;
        for (const OsMessage& m : h.upward(NFCLL_DEVICE_IND)) tags.push_back(*nfcllMsgGet<NFCLL_DEVICE_IND>(m).device);
        return tags;
    }
    std::shared_ptr<hcisim::Pn544Chip> chip_;
};

TEST_P(ReaderANfcDep, APeerOnReaderALinksForP2p) {
    auto peer = std::make_shared<simpeers::FrameLog>();
    chip_->withIp1([&](Pn544Ip1& ip1) { ip1.setPeer(Pn544Ip1::Peer::Target, peer); });
    fromController(sim.enter(std::make_shared<simtags::NfcDepTarget>()));
    listenFor(0x1001);
    h.run();
    ASSERT_EQ(devices().size(), 1u);
    EXPECT_EQ(devices()[0].tagType, 0x1000u);
    EXPECT_TRUE(cap.contains("ehci: IP1 SAK detected, continue IP1 activation"));
    EXPECT_TRUE(ll->flags & NFCLL_FLAG_ACTIVITY_CHECK) << "the health monitor's check ran on the link";
    h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager));
    const Bytes message = {0x11, 0x20, 0x01, 0x02};
    h.toLayer1(nfcllMsgMake<PH_DATA_REQ>(DriverHarness::kManager, {NFCLL_MSG_OWNS_BUFFER, 0,
                                                                  static_cast<uint16_t>(message.size()),
                                                                  h.rxBuffer(message)}));
    h.run();
    EXPECT_EQ(peer->received, std::vector<Bytes>{message});
    EXPECT_EQ(received(), (std::vector<Bytes>{{0x00, 0x00}}));
}

TEST_P(ReaderANfcDep, ATargetThatRefusesTheActivationIsLookedForAgain) {
    chip_->withIp1([&](Pn544Ip1& ip1) {
        ip1.setPeer(Pn544Ip1::Peer::Target, std::make_shared<simpeers::FrameLog>());
        ip1.refusals = 1;
    });
    fromController(sim.enter(std::make_shared<simtags::NfcDepTarget>()));
    listenFor(0x1001);
    h.run();
    EXPECT_TRUE(cap.contains("ehci: Looks like IP-1 target at destination, RETRY"));
    ASSERT_EQ(devices().size(), 1u) << "no tag is made of it, and the second activation links";
    EXPECT_EQ(devices()[0].tagType, 0x1000u);
}

INSTANTIATE_TEST_SUITE_P(Chips, ReaderANfcDep, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Demo" : "Pn544"; });

}  // namespace
