// The ETSI HCI driver's reader operations inside the real layer 1, the simulated controller
// polling for tag models in-process: the Type-A identification, a target's activation through
// the reader registries, exchanges and what is taken from their answers, and the listen cycle.
#include <algorithm>
#include <memory>
#include <utility>

#include "core/nfcmgr.h"
#include "ehci_fixture.h"
#include "hci/hci_pn544.h"
#include "hci/hci_st21.h"
#include "tags/iso15693_tag.h"
#include "tags/iso_dep_tag.h"
#include "tags/mifare_tag.h"
#include "tags/t2t_tag.h"

namespace {

using hcisim::Bytes;
using hcisim::Type;

// ---- Type-A identification ------------------------------------------------------------------------

struct TypeACase {
    uint16_t atqa;
    uint8_t sak;
    uint32_t uidLength;
    uint32_t type;
};

TEST(EhciTypeA, EveryRowOfTheIdentification) {
    const TypeACase cases[] = {
        {0x0044, 0x00, 7, 0x40},      {0x0044, 0x00, 4, 0x80},      {0x0044, 0x10, 7, 0x2000000},
        {0x0044, 0x08, 4, 0x10},      {0x0044, 0x20, 7, 0x1},       {0x0044, 0x28, 7, 0x80},
        {0x0000, 0x00, 7, 0x40},      {0x0000, 0x20, 4, 0x1},       {0x0004, 0x08, 4, 0x10},
        {0x0004, 0x88, 4, 0x10},      {0x0004, 0x00, 4, 0x10},      {0x0004, 0x04, 4, 0x4000000},
        {0x0004, 0x09, 4, 0x1000000}, {0x0004, 0x03, 4, 0x1},       {0x0004, 0x20, 4, 0x1},
        {0x0004, 0x20, 7, 0x1},       {0x0004, 0x28, 4, 0x1},       {0x0002, 0x18, 4, 0x20},
        {0x0002, 0x10, 4, 0x2000000}, {0x0002, 0x08, 4, 0x1},       {0x0042, 0x11, 7, 0x4000000},
        {0x0042, 0x18, 7, 0x1},       {0x0084, 0x20, 7, 0x1},       {0x0084, 0x00, 7, 0x40},
        {0x0344, 0x20, 7, 0x80},      {0x0048, 0x20, 7, 0x1},
    };
    for (const TypeACase& c : cases)
        EXPECT_EQ(ehciTypeAIdentify(c.atqa, c.sak, c.uidLength), c.type)
            << std::hex << "ATQA 0x" << c.atqa << " SAK 0x" << int(c.sak) << " UID " << std::dec << c.uidLength;
}

// ---- Activation and exchanges ---------------------------------------------------------------------

class EhciRf : public EhciDriver {
protected:
    explicit EhciRf(uint16_t readerType = kPlain, hcisim::Personality personality = hcisim::Personality::plain())
        : EhciDriver(readerType, std::move(personality)) {}
    void SetUp() override {
        EhciDriver::SetUp();
        ASSERT_TRUE(started());
    }
    void listen(uint32_t mask) { h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {mask, nullptr})); }
    void transact(const Bytes& data, uint32_t timeout = 0) {
        request = data;
        h.toLayer1(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(
            DriverHarness::kManager, {request.data(), static_cast<uint16_t>(request.size()), timeout}));
    }
    std::vector<TNfcTagInfo> devices() {
        std::vector<TNfcTagInfo> out;
        for (const OsMessage& m : h.upward(NFCLL_DEVICE_IND)) out.push_back(*nfcllMsgGet<NFCLL_DEVICE_IND>(m).device);
        return out;
    }
    // The answers of the transactions, oldest first: cause and data.
    struct Answer {
        uint16_t cause;
        Bytes data;
    };
    std::vector<Answer> answers() {
        std::vector<Answer> out;
        for (const OsMessage& m : h.upward(NFCLL_TRANSACTION_IND)) {
            const TNfcllTransactionResult& r = *nfcllMsgGet<NFCLL_TRANSACTION_IND>(m).result;
            out.push_back({r.cause, r.cause ? Bytes{} : Bytes(r.data, r.data + r.dataLength)});
        }
        return out;
    }
    std::vector<uint32_t> listenValues() {
        std::vector<uint32_t> out;
        for (const OsMessage& m : h.upward(NFCLL_LISTEN_CONF)) out.push_back(nfcllMsgGet<NFCLL_LISTEN_CONF>(m).value);
        return out;
    }
    // The reader-gate commands the controller took, as (gate, instruction, first byte).
    std::vector<std::tuple<uint8_t, uint8_t, int>> readerCommands(std::vector<uint8_t> gates = {hcisim::GATE_READER_A,
                                                                                               hcisim::GATE_READER_B}) {
        std::vector<std::tuple<uint8_t, uint8_t, int>> out;
        for (const hcisim::Logged& l : sim.log())
            if (std::find(gates.begin(), gates.end(), l.gate) != gates.end())
                out.emplace_back(l.gate, uint8_t(l.message.instruction | (l.message.type == Type::event ? 0x40 : 0)),
                                 l.message.data.empty() ? -1 : l.message.data[0]);
        return out;
    }
    // A tag of reader A found at the listen; true when its record went up.
    bool found(std::shared_ptr<simtags::Tag> tag, bool several = false, uint32_t mask = 0x1) {
        fromController(sim.enter(std::move(tag), several));
        listen(mask);
        if (devices().size() != 1) return false;
        h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager, {}));
        return true;
    }

    Bytes request;
};

TEST_F(EhciRf, AnIsoDepTargetGoesUpWithUidSakAtqaAndHistoricalBytes) {
    auto tag = std::make_shared<simtags::IsoDepTag>();   // ATQA 0x0004, SAK 0x20, as such cards answer
    tag->ats = {0x78, 0x80, 0x70, 0x02, 0x4A, 0x43, 0x4F, 0x50};   // TA TB TC, historical "JCOP"
    ASSERT_TRUE(found(tag));
    const TNfcTagInfo info = devices()[0];
    EXPECT_EQ(+info.tagType, 0x1u);
    EXPECT_EQ(Bytes(info.uid, info.uid + info.uidLength), tag->a.nfcid1);
    EXPECT_EQ(+info.a.atqa, 0x0004);
    EXPECT_EQ(info.a.sak, tag->a.selRes.value_or(0));
    EXPECT_EQ(Bytes(info.a.historicalBytes, info.a.historicalBytes + info.historicalBytesLength),
              (Bytes{0x4A, 0x43, 0x4F, 0x50}));
    EXPECT_EQ(listenValues(), (std::vector<uint32_t>{0x1}));
    EXPECT_FALSE(e()->flags & EHCI_F_SEVERAL);
}

TEST_F(EhciRf, AnIsoDepTargetOnBGoesUpWithPupiAfiAndItsData) {
    auto tag = std::make_shared<simtags::IsoDepTag>(simtags::Technology::B);
    tag->b.sensbRes = {0x11, 0x22, 0x33, 0x44, 0x07, 0xA1, 0xA2, 0xA3, 0x00, 0x81, 0x81};
    tag->attribRes = {0x00, 0xC1, 0xC2};
    fromController(sim.enter(tag));
    listen(0x2);
    ASSERT_EQ(devices().size(), 1u);
    const TNfcTagInfo info = devices()[0];
    EXPECT_EQ(+info.tagType, 0x2u);
    EXPECT_EQ(Bytes(info.uid, info.uid + info.uidLength), (Bytes{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(info.afi, 0x07);
    EXPECT_EQ(Bytes(info.b.applicationData, info.b.applicationData + 4), (Bytes{0x07, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(Bytes(info.b.higherLayerResponse, info.b.higherLayerResponse + info.higherLayerResponseLength),
              (Bytes{0xC1, 0xC2}));
}

// Historical bytes longer than the record holds are cut at its field, in whatever packets they come.
TEST_F(EhciRf, LongHistoricalBytesAreCutAtTheRecordsField) {
    auto tag = std::make_shared<simtags::IsoDepTag>();
    tag->ats = {0x00};
    for (int i = 0; i < 60; ++i) tag->ats.push_back(static_cast<uint8_t>(i));
    ASSERT_TRUE(found(tag));
    const TNfcTagInfo info = devices()[0];
    ASSERT_EQ(+info.historicalBytesLength, sizeof info.a.historicalBytes);
    EXPECT_EQ(info.a.historicalBytes[32], 32);
}

TEST_F(EhciRf, StatusThreeSetsSeveral) {
    ASSERT_TRUE(found(simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true), true));
    EXPECT_TRUE(e()->flags & EHCI_F_SEVERAL);
    EXPECT_EQ(e()->activated, 0);
}

// The trailing status byte goes for the types of the strip mask, and only for them.
TEST_F(EhciRf, TheLastByteIsDroppedOnlyForTheStrippedTypes) {
    auto isoDep = std::make_shared<simtags::IsoDepTag>();
    ASSERT_TRUE(found(isoDep));
    transact({0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00});
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].data, (Bytes{0x90, 0x00}));
}

TEST_F(EhciRf, AType2ReadKeepsAllItsBytes) {
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true);
    ASSERT_TRUE(found(tag));
    EXPECT_EQ(+devices()[0].tagType, 0x40u);
    transact({0x30, 0x00});
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].data, tag->bytes(0, 16));
}

// An answer of more than 262 bytes in many packets is cut at the buffer, nothing written past it.
TEST_F(EhciRf, AnAnswerLongerThanTheBufferIsCut) {
    auto tag = std::make_shared<simtags::IsoDepTag>(simtags::Technology::A, 1024);
    tag->inject({simtags::FaultKind::Reply, 0xB0, std::nullopt, 1, Bytes(300, 0x5A), 0});
    ASSERT_TRUE(found(tag));
    transact({0x00, 0xB0, 0x00, 0x00, 0x00});
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].data, Bytes(EHCI_RX_SIZE - 1, 0x5A));
}

// An answer whose reader stops before its last packet came is dropped whole: its rest is neither
// joined into a buffer taken afresh nor taken for the answer to the reader's closing.
TEST_F(EhciRf, AnAnswerCutOffByTheReadersStopIsDropped) {
    auto tag = std::make_shared<simtags::IsoDepTag>();
    tag->inject({simtags::FaultKind::Reply, 0xB0, std::nullopt, 1, Bytes(100, 0x5A), 0});
    ASSERT_TRUE(found(tag));
    std::vector<Bytes> held;
    h.setPacketPeer([&](const Bytes& packet) {
        for (Bytes& p : sim.feed(packet)) held.push_back(std::move(p));
        return std::vector<Bytes>{};
    });
    transact({0x00, 0xB0, 0x00, 0x00, 0x00});
    const std::vector<Bytes> answer = std::exchange(held, {});
    ASSERT_GT(answer.size(), 2u);
    fromController({answer[0]});
    listen(0);
    ASSERT_EQ(e()->pipes.readerA->rxBuffer, nullptr) << "the stop let the buffer go";
    fromController({answer.begin() + 1, answer.end()});
    h.setPacketPeer([this](const Bytes& packet) { return sim.feed(packet); });
    fromController(std::exchange(held, {}));
    h.run();
    EXPECT_TRUE(cap.contains("ehci: ! RX message on <Reader pipe-A> left unfinished"));
    EXPECT_FALSE(cap.contains("! unexpected response"));
    for (const Answer& a : answers()) EXPECT_NE(a.cause, 0) << "no data of the cut answer goes up";
    EXPECT_EQ(h.upward(NFCLL_LISTEN_CONF).size(), 2u) << "the cancel is confirmed";
}

// A check without data has nothing to send: it is answered at once instead of never.
TEST_F(EhciRf, AnEmptyCheckIsAnsweredAtOnce) {
    ASSERT_TRUE(found(simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true)));
    sim.clearLog();
    h.toLayer1(nfcllMsgMake<NFCLL_CHECK_REQ>(DriverHarness::kManager, {nullptr, 0, 0}));
    const auto conf = h.upward(NFCLL_CHECK_CONF);
    ASSERT_EQ(conf.size(), 1u);
    EXPECT_NE(nfcllMsgGet<NFCLL_CHECK_CONF>(conf[0]).result->cause, 0);
    EXPECT_TRUE(sim.log().empty());
}

TEST_F(EhciRf, AFailedExchangeFailsTheTransaction) {
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true);
    ASSERT_TRUE(found(tag));
    sim.leave();
    transact({0x30, 0x04});
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].cause, EHCI_CAUSE_FAILED);
    EXPECT_TRUE(cap.contains("ehci: ! TRANSCEIVE failed 0x9"));
}

// A refused MIFARE authentication: the tag is looked for again; found, the transaction fails at
// once; not found, when the 400 ms are over.
class EhciAuth : public EhciRf, public ::testing::WithParamInterface<bool> {};

TEST_P(EhciAuth, AFailedAuthenticationRediscoversTheTag) {
    const bool stays = GetParam();
    auto tag = std::make_shared<simtags::MifareTag>();
    tag->inject({simtags::FaultKind::Silence, 0x60, std::nullopt, 1, {}, 0});
    ASSERT_TRUE(found(tag));
    EXPECT_EQ(+devices()[0].tagType, 0x10u);
    if (!stays) sim.leave();
    transact({0x60, 0x04, 1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(cap.contains("ehci: ! Mifare authentication failed on block 4, discover TAG again"));
    if (stays) {
        EXPECT_TRUE(cap.contains("ehci: ISO-14443A tag discovered again, signal failed transaction"));
        ASSERT_EQ(answers().size(), 1u);
        EXPECT_EQ(answers()[0].cause, NFCLL_CAUSE_AUTH_FAILED);
    } else {
        EXPECT_TRUE(answers().empty());
        h.advance(401);
        EXPECT_TRUE(cap.contains("ehci: ! response watch dog expired, signal TIMEOUT"));
        // Layer 1 reports any failure after an authentication as a failed authentication.
        ASSERT_EQ(answers().size(), 1u);
        EXPECT_EQ(answers()[0].cause, NFCLL_CAUSE_AUTH_FAILED);
    }
    EXPECT_EQ(e()->authenticatedBlock, 255);
}

// A one-byte "authentication" names no block: it is an exchange like any other.
TEST_F(EhciRf, AnAuthenticationWithoutItsBlockIsNotTakenForOne) {
    auto tag = std::make_shared<simtags::MifareTag>();
    ASSERT_TRUE(found(tag));
    transact({0x60});
    EXPECT_FALSE(cap.contains("Mifare authentication failed"));
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(e()->authBlock, 0);
}

INSTANTIATE_TEST_SUITE_P(Tag, EhciAuth, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Stays" : "Gone"; });

// ---- The listen cycle ------------------------------------------------------------------------------

TEST_F(EhciRf, AListenOpensTheReadersInBitOrderAndPolls) {
    listen(0x3);
    using C = std::tuple<uint8_t, uint8_t, int>;
    constexpr uint8_t A = hcisim::GATE_READER_A, B = hcisim::GATE_READER_B;
    EXPECT_EQ(readerCommands(), (std::vector<C>{{B, 0x03, -1}, {A, 0x03, -1}, {A, 0x01, 0x01}, {A, 0x50, -1}}));
    EXPECT_EQ(listenValues(), (std::vector<uint32_t>{0x3}));
    EXPECT_TRUE(sim.polling());
}

TEST_F(EhciRf, TheSameMaskAfterATagRelistensWithoutStoppingTheReaders) {
    ASSERT_TRUE(found(simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true)));
    sim.clearLog();
    listen(0x1);
    using C = std::tuple<uint8_t, uint8_t, int>;
    constexpr uint8_t A = hcisim::GATE_READER_A;
    // End of operation, reader requested, and the tag that stayed is found again.
    const std::vector<C> commands = readerCommands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], (C{A, 0x51, -1}));
    EXPECT_EQ(commands[1], (C{A, 0x50, -1}));
    EXPECT_EQ(listenValues().size(), 2u);
    EXPECT_EQ(devices().size(), 2u);
}

TEST_F(EhciRf, ACancelStopsEveryReaderAndIsConfirmed) {
    listen(0x3);
    sim.clearLog();
    listen(0);
    using C = std::tuple<uint8_t, uint8_t, int>;
    constexpr uint8_t A = hcisim::GATE_READER_A, B = hcisim::GATE_READER_B;
    EXPECT_EQ(readerCommands(), (std::vector<C>{{A, 0x51, -1}, {B, 0x04, -1}, {A, 0x04, -1}}));
    EXPECT_EQ(listenValues(), (std::vector<uint32_t>{0x3, 0}));
    EXPECT_FALSE(sim.polling());
    EXPECT_EQ(e()->listenMask, 0u);
}

// A cancel while a target is up ends with its removal before the cancel's confirmation: the
// target is out of reach once its reader stopped.
TEST_F(EhciRf, ACancelWithATargetUpSignalsItsRemovalFirst) {
    ASSERT_TRUE(found(simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true)));
    listen(0);
    const std::vector<uint16_t> commands = h.upwardCommands();
    const auto removal = std::find(commands.begin(), commands.end(), NFCLL_TECH_REMOVE_IND);
    ASSERT_NE(removal, commands.end());
    EXPECT_NE(std::find(removal, commands.end(), NFCLL_LISTEN_CONF), commands.end());
    EXPECT_EQ(h.upward(NFCLL_TECH_REMOVE_IND).size(), 1u);
    sim.leave();
    listen(0x1);
    listen(0);
    EXPECT_EQ(h.upward(NFCLL_TECH_REMOVE_IND).size(), 1u) << "no second removal without a target";
}

// ---- Card emulation and connectivity ----------------------------------------------------------------

class EhciCard : public EhciRf {
protected:
    // Card A listens; the pipe the controller created for it.
    uint8_t cardA() {
        listen(0x100000);
        return sim.pipeTo(0x23).value_or(0);
    }
    void reader(uint8_t pipe, uint8_t event, const Bytes& data = {}) { fromController(sim.event(pipe, event, data)); }
    std::vector<const TNfcTransaction*> seTransactions() {
        std::vector<const TNfcTransaction*> out;
        for (const OsMessage& m : h.upward(NFC_SE_IND)) out.push_back(nfcllMsgGet<NFC_SE_IND>(m).transaction);
        return out;
    }
};

TEST_F(EhciCard, CardAOpensWithItsRegistryAndIsConfirmed) {
    const uint8_t pipe = cardA();
    ASSERT_NE(pipe, 0);
    std::vector<int> sets;
    for (const hcisim::Logged& l : sim.log())
        if (l.gate == 0x23 && l.message.instruction == hcisim::ANY_SET_PARAMETER) sets.push_back(l.message.data[0]);
    EXPECT_EQ(sets, (std::vector<int>{0x09, 0x03, 0x04, 0x06, 0x01}));
    EXPECT_EQ(listenValues(), (std::vector<uint32_t>{0x100000}));
}

TEST_F(EhciCard, AReaderActivatesTheCardSendsDataAndLeaves) {
    const uint8_t pipe = cardA();
    reader(pipe, 0x10, {0x00, 0xB0, 0x00});   // field still off
    EXPECT_TRUE(cap.contains("ehci: RX EMU data ignored, bad state"));
    reader(pipe, 0x11);
    reader(pipe, 0x13);
    ASSERT_EQ(devices().size(), 1u);
    EXPECT_EQ(+devices()[0].tagType, 0x100000u);
    h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager, {}));
    reader(pipe, 0x10, {0x00, 0xA4, 0x04, 0x00, 0x00});   // the last byte is the controller's status
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].data, (Bytes{0x00, 0xA4, 0x04, 0x00}));
    // Nothing is dropped from a single byte, and an empty event underflows nothing.
    reader(pipe, 0x10, {0x42});
    reader(pipe, 0x10, {});
    ASSERT_EQ(answers().size(), 3u);
    EXPECT_EQ(answers()[1].data, (Bytes{0x42}));
    EXPECT_TRUE(answers()[2].data.empty());
    reader(pipe, 0x14);
    EXPECT_EQ(h.upward(NFCLL_TECH_REMOVE_IND).size(), 1u);
}

TEST_F(EhciCard, CardEmulationBesideAVirtualSecureElementNeedsTheFeature) {
    TNfcInfoSE se{};
    se.mode = NFC_SE_MODE_VIRTUAL;
    ll->capabilities.secureElementCount = 1;
    ll->capabilities.secureElements[0] = &se;
    listen(0x100000);
    const auto conf = h.upward(NFCLL_LISTEN_CONF);
    ASSERT_EQ(conf.size(), 1u);
    EXPECT_NE(nfcllMsgGet<NFCLL_LISTEN_CONF>(conf[0]).cause, 0);
    EXPECT_FALSE(sim.pipeTo(0x23));
    ll->capabilities.secureElementCount = 0;
    ll->capabilities.secureElements[0] = nullptr;
}

// Transaction events of a secure element on a pipe the controller made: AIDs are read by their
// length (a 0x82 inside one is data), malformed records are dropped.
TEST_F(EhciCard, TransactionEventsAreReadByTheirLengths) {
    constexpr uint8_t kPipe = 0x60;
    reader(kPipe, 0x12, {0x81, 0x05, 0xA0, 0x82, 0x00, 0x01, 0x02, 0x82, 0x02, 0x90, 0x00});
    ASSERT_EQ(seTransactions().size(), 1u);
    const TNfcTransaction& t = *seTransactions()[0];
    EXPECT_EQ(Bytes(t.aid, t.aid + t.aidLength), (Bytes{0xA0, 0x82, 0x00, 0x01, 0x02}));
    EXPECT_EQ(Bytes(t.param, t.param + t.paramLength), (Bytes{0x90, 0x00}));
    for (const Bytes& bad : {Bytes{0x81, 0x09, 0xA0, 0x00}, Bytes{0x81, 0x11}, Bytes{0x81, 0x01, 0xA0, 0x82, 0x05, 0x00},
                             Bytes{0x82, 0x01, 0x00}}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        reader(kPipe, 0x12, bad);
        EXPECT_EQ(seTransactions().size(), 1u);
    }
}

// ---- The demo board --------------------------------------------------------------------------------

class EhciDemo : public EhciRf {
protected:
    EhciDemo() : EhciRf(0x208, hcisim::Personality::demo()) {}
};

TEST_F(EhciDemo, StartsWithItsPollingLoopAndReadsAVicinityTagsUidInOrder) {
    EXPECT_EQ(e()->supportedMask, 0x7u);
    EXPECT_EQ(e()->stripLastByteMask, 135u);
    auto tag = std::make_shared<simtags::Iso15693Tag>();
    ASSERT_TRUE(found(tag, false, 0x5));
    const TNfcTagInfo info = devices()[0];
    EXPECT_EQ(+info.tagType, 0x4u);
    ASSERT_EQ(+info.uidLength, 8);
    EXPECT_EQ(Bytes(info.uid, info.uid + 8), Bytes(tag->v.uid.begin(), tag->v.uid.end()));
    // A read of one block on the board's own command: flags and data, the status byte gone.
    transact({0x02, 0x20, 0x01});
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].data.size(), 1u + tag->blockSize);
}

TEST_F(EhciDemo, TheWheelRunsThePhasesOfTheMaskAndStopsOnACancel) {
    using C = std::tuple<uint8_t, uint8_t, int>;
    constexpr uint8_t L = hcisim::GATE_POLLING_LOOP;
    sim.clearLog();
    listen(0x5);
    std::vector<C> loop = readerCommands({L});
    ASSERT_EQ(loop.size(), 1u);
    EXPECT_EQ(loop[0], (C{L, 0x01, 0x06}));
    EXPECT_EQ(sim.log().back().message.data, (Bytes{0x06, 0x05}));
    EXPECT_EQ(listenValues(), (std::vector<uint32_t>{0x5}));
    EXPECT_TRUE(sim.polling());
    listen(0);
    loop = readerCommands({L});
    ASSERT_EQ(loop.size(), 2u);
    EXPECT_FALSE(sim.polling());
    EXPECT_EQ(listenValues(), (std::vector<uint32_t>{0x5, 0}));
    EXPECT_TRUE(cap.contains("ehci: ## polling loop stopped"));
}

// The ISO 15693 reader opens with the AFI of the listen.
TEST_F(EhciDemo, TheVicinityReaderTakesTheListensAfi) {
    TNfcListenParam params{};
    params.poll15693Flags = NFC_POLL_AFI;
    params.poll15693Afi = 0x07;
    sim.clearLog();
    h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {0x4, &params}));
    std::vector<Bytes> sets;
    for (const hcisim::Logged& l : sim.log())
        if (l.gate == hcisim::GATE_READER_15693 && l.message.instruction == hcisim::ANY_SET_PARAMETER)
            sets.push_back(l.message.data);
    EXPECT_EQ(sets, (std::vector<Bytes>{{0x02, 0x07}}));
}

// The board answers a silent tag with OK and the single byte 0x01: a time-out, not data.
TEST_F(EhciDemo, OkWithTheSingleByteOneIsATimeOut) {
    auto tag = std::make_shared<simtags::Iso15693Tag>();
    ASSERT_TRUE(found(tag, false, 0x4));
    sim.leave();
    transact({0x02, 0x20, 0x01});
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].cause, EHCI_CAUSE_FAILED);
    EXPECT_TRUE(cap.contains("ehci: retry transmission"));
}


// ---- Every chip ------------------------------------------------------------------------------------

struct Chip {
    const char* name;
    uint16_t readerType;
    hcisim::Personality (*personality)();
};
const Chip kChips[] = {
    {"Plain", kPlain, [] { return hcisim::Personality::plain(); }},
    {"Pn544", 0x205, [] { return hcisim::pn544Personality(std::make_shared<hcisim::Pn544Chip>()); }},
    {"Demo", 0x208, [] { return hcisim::demoPersonality(std::make_shared<hcisim::Pn544Chip>()); }},
    {"St21", 0x204, [] { return hcisim::st21Personality(hcisim::St21Options{}); }},
};

class EveryChip : public EhciRf, public ::testing::WithParamInterface<Chip> {
protected:
    EveryChip() : EhciRf(GetParam().readerType, GetParam().personality()) {}
};

// An ISO-DEP card answers ATQA 0x0004 with SAK 0x20, as phones in card emulation do: a Type 4
// tag, whose historical bytes come with it (after the chip's ISO 14443-4 activation where it has one).
TEST_P(EveryChip, AnIsoDepCardIsAType4Tag) {
    auto tag = std::make_shared<simtags::IsoDepTag>();
    tag->ats = {0x78, 0x80, 0x70, 0x02, 0x4A, 0x43, 0x4F, 0x50};
    ASSERT_EQ(tag->a.sensRes[0], 0x04);
    ASSERT_EQ(tag->a.selRes.value_or(0), 0x20);
    ASSERT_TRUE(found(tag));
    const TNfcTagInfo info = devices()[0];
    EXPECT_EQ(+info.tagType, 0x1u);
    EXPECT_EQ(Bytes(info.a.historicalBytes, info.a.historicalBytes + info.historicalBytesLength),
              (Bytes{0x4A, 0x43, 0x4F, 0x50}));
}

// An APDU longer than an HCI message may be is refused whole: nothing of it goes to the card.
TEST_P(EveryChip, AnApduBeyondTheMessageLimitIsRefused) {
    ASSERT_TRUE(found(std::make_shared<simtags::IsoDepTag>()));
    sim.clearLog();
    Bytes apdu = {0x00, 0xD6, 0x00, 0x00, 0xFF};
    apdu.resize(300, 0x5A);
    transact(apdu);
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].cause, EHCI_CAUSE_FAILED);
    EXPECT_TRUE(readerCommands({hcisim::GATE_READER_A}).empty());
}

INSTANTIATE_TEST_SUITE_P(Chips, EveryChip, ::testing::ValuesIn(kChips),
                         [](const ::testing::TestParamInfo<Chip>& info) { return std::string(info.param.name); });

// ---- The PN544's reader A ------------------------------------------------------------------------------

class Pn544ReaderA : public EhciRf {
protected:
    Pn544ReaderA() : Pn544ReaderA(std::make_shared<hcisim::Pn544Chip>()) {}
    explicit Pn544ReaderA(std::shared_ptr<hcisim::Pn544Chip> chip)
        : EhciRf(0x205, hcisim::pn544Personality(chip)), chip_(std::move(chip)) {}
    void check() { h.toLayer1(nfcllMsgMake<NFCLL_CHECK_REQ>(DriverHarness::kManager, {nullptr, 0, 0})); }
    std::vector<uint16_t> checkCauses() {
        std::vector<uint16_t> out;
        for (const OsMessage& m : h.upward(NFCLL_CHECK_CONF)) out.push_back(nfcllMsgGet<NFCLL_CHECK_CONF>(m).result->cause);
        return out;
    }
    std::shared_ptr<hcisim::Pn544Chip> chip_;
};

// The presence check of an ISO-DEP card is the chip's own command, answered without data: its
// result is the check's, not a failed exchange. Cards answer either ATQA; the SAK makes both
// Type 4 tags.
class Pn544Presence : public Pn544ReaderA, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(Pn544Presence, ACheckOfAType4TagInTheFieldSucceeds) {
    auto tag = std::make_shared<simtags::IsoDepTag>();
    tag->a.sensRes = {GetParam(), 0x00};
    ASSERT_TRUE(found(tag));
    ASSERT_EQ(+devices()[0].tagType, 0x1u);
    check();
    EXPECT_EQ(checkCauses(), (std::vector<uint16_t>{0}));
    sim.leave();
    check();
    ASSERT_EQ(checkCauses().size(), 2u);
    EXPECT_NE(checkCauses()[1], 0);
    EXPECT_TRUE(answers().empty());
}

INSTANTIATE_TEST_SUITE_P(Atqa, Pn544Presence, ::testing::Values(0x04, 0x48),
                         [](const auto& info) { return "Atqa00" + std::to_string(info.param / 16) + std::to_string(info.param % 16); });

// A check whose command is still out when the manager resets the controller is answered as a check.
TEST_F(Pn544ReaderA, ACheckPendingAcrossAResetIsAnsweredAsACheck) {
    ASSERT_TRUE(found(std::make_shared<simtags::IsoDepTag>()));
    sim.setMute(true);
    check();
    h.toLayer1(nfcllMsgMake<PH_RESET_REQ>(DriverHarness::kManager));
    sim.setMute(false);
    h.run();
    EXPECT_EQ(checkCauses().size(), 1u);
    EXPECT_TRUE(h.upward(NFCLL_TRANSACTION_IND).empty());
}

// Reader A opens with the listen's bit rate, then the chip's parameter 0x10.
TEST_F(Pn544ReaderA, ReaderAOpensWithTheListensBitRateThenTheChipsParameter) {
    TNfcListenParam params{};
    params.poll14443Flags = NFC_POLL_BIT_RATE;
    params.poll14443BitRate = 424;
    sim.clearLog();
    h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {0x1, &params}));
    std::vector<Bytes> sets;
    for (const hcisim::Logged& l : sim.log())
        if (l.gate == hcisim::GATE_READER_A && l.message.instruction == hcisim::ANY_SET_PARAMETER) sets.push_back(l.message.data);
    EXPECT_EQ(sets, (std::vector<Bytes>{{0x01, 0x02}, {0x10, 0x00}}));
    EXPECT_EQ(listenValues(), (std::vector<uint32_t>{0x1}));
}

// Several targets: the second one's SAK, UID and ATQA are read into a record of its own.
TEST_F(Pn544ReaderA, TheSecondOfSeveralTargetsIsEvaluated) {
    auto first = std::make_shared<simtags::IsoDepTag>();
    auto second = std::make_shared<simtags::MifareTag>();
    fromController(sim.enter(first, true, second));
    listen(0x1);
    ASSERT_EQ(devices().size(), 1u);
    const TNfcTagInfo one = devices()[0];
    EXPECT_EQ(+one.tagType, 0x1u);
    EXPECT_EQ(Bytes(one.uid, one.uid + one.uidLength), first->a.nfcid1);
    const TNfcTagInfo& two = e()->secondTag;
    EXPECT_EQ(Bytes(two.uid, two.uid + two.uidLength), second->a.nfcid1);
    EXPECT_EQ(+two.tagType, 0x10u);
    EXPECT_TRUE(cap.contains("ehci: Start second TAG evaluation"));
}

// A failed activation step lets the target go with the chip's release event; the loop goes on
// past it, and the card is found once it comes into the field again.
TEST_F(Pn544ReaderA, AFailedActivationStepReleasesTheTarget) {
    auto tag = std::make_shared<simtags::IsoDepTag>();
    sim.inject({hcisim::ANY_GET_PARAMETER, hcisim::GATE_READER_A, 0x03, hcisim::ANY_E_NOK});
    EXPECT_FALSE(found(tag));
    bool released = false;
    for (const hcisim::Logged& l : sim.log())
        released |= l.gate == hcisim::GATE_READER_A && l.message.type == Type::event && l.message.instruction == 0x35;
    EXPECT_TRUE(released);
    fromController(sim.enter(tag));
    EXPECT_EQ(devices().size(), 1u);
}

// A MIFARE command the halted card refuses (code 7) wakes it again with Activate ID; whether it
// answers tells the failed transaction from the card's removal.
class Pn544Mifare : public Pn544ReaderA, public ::testing::WithParamInterface<bool> {};

TEST_P(Pn544Mifare, ARefusedCommandLooksForTheCardAgain) {
    const bool stays = GetParam();
    auto tag = std::make_shared<simtags::MifareTag>();
    ASSERT_TRUE(found(tag));
    sim.inject({0x21, hcisim::GATE_READER_A, std::nullopt, hcisim::ANY_E_CMD_NOT_SUPPORTED});
    if (!stays) sim.inject({0x32, hcisim::GATE_READER_A, std::nullopt, hcisim::ANY_E_TIMEOUT});
    transact({0x30, 0x04});
    if (stays) {
        EXPECT_TRUE(cap.contains("ehci: ISO-14443A tag discovered again, signal failed transaction"));
        ASSERT_EQ(answers().size(), 1u);
        EXPECT_NE(answers()[0].cause, 0);
        EXPECT_EQ(h.upward(NFCLL_TECH_REMOVE_IND).size(), 0u);
    } else {
        EXPECT_TRUE(cap.contains("ehci: Mifare presence check failed, signal remove"));
        EXPECT_EQ(h.upward(NFCLL_TECH_REMOVE_IND).size(), 1u);
        EXPECT_EQ(+e()->tagRecord.tagType, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Card, Pn544Mifare, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Stays" : "Gone"; });

// A MIFARE read that brings no byte is an error, not an empty block.
TEST_F(Pn544ReaderA, AMifareReadOfNoBytesIsAnError) {
    auto tag = std::make_shared<simtags::MifareTag>();
    tag->inject({simtags::FaultKind::Reply, 0x30, std::nullopt, 1, Bytes{}, 0});
    ASSERT_TRUE(found(tag));
    transact({0x30, 0x04});
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].cause, EHCI_CAUSE_FAILED);
    EXPECT_TRUE(cap.contains("ehci: ! Mifare read with 0 bytes unexpected, signal error"));
}

// ---- Helpers of the frame ------------------------------------------------------------------------------

TEST(EhciSplitCount, EveryRange) {
    struct Case {
        uint32_t n;
        uint16_t pair;
    };
    for (const Case& c : {Case{0, 0x0000}, Case{255, 0xFF00}, Case{256, 0x1110}, Case{309, 0x1211}, Case{1236, 0x2423},
                          Case{65025, 0xFFFF}, Case{70000, 0xFFFF}}) {
        EXPECT_EQ(ehciSplitCount(c.n), c.pair) << c.n;
        const uint32_t first = ehciSplitCount(c.n) >> 8, second = ehciSplitCount(c.n) & 0xFF;
        if (c.n < 256) {
            EXPECT_EQ(first, c.n);
        } else if (c.n <= 65025) {
            EXPECT_GE(first * (second + 1), c.n);
        }
    }
}

// With the stack's mode byte (the first of I/O control 0x120B) the card's FWI sets reader A's
// time-out; the option byte (the second) does not.
struct StackBytes {
    uint8_t mode, option;
    uint32_t timeout;
};

class EhciFwi : public EhciRf, public ::testing::WithParamInterface<StackBytes> {
protected:
    void TearDown() override { nfcmanSetStackBytes(0, 0); }
};

TEST_P(EhciFwi, TheModeByteLetsTheFwiSetTheReadersTimeOut) {
    nfcmanSetStackBytes(GetParam().mode, GetParam().option);
    auto tag = std::make_shared<simtags::IsoDepTag>();
    tag->ats = {0x20, 0x80};   // TB: FWI 8
    ASSERT_TRUE(found(tag));
    EXPECT_EQ(e()->pipes.readerA->timeout, GetParam().timeout);
}

INSTANTIATE_TEST_SUITE_P(Bytes, EhciFwi, ::testing::Values(StackBytes{1, 0, 77}, StackBytes{0, 1, 309}));

}  // namespace
