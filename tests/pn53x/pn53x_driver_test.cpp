// The PN53x driver inside the real layer 1, against the simulated PN532 in process: listens, tag
// exchanges and their failures, MIFARE authentication, requests that wait for a busy controller,
// P2P fragments in both roles, card emulation and the I/O controls.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "L1/53x/nfc53x.h"
#include "L1/common/nfcllmsg.h"
#include "driver_harness.h"
#include "os/os_mem.h"
#include "pn53x/pn532_sim.h"
#include "tags/mifare_tag.h"
#include "tags/nfc_dep_target.h"
#include "peers/remote_poller.h"
#include "tags/t2t_tag.h"
#include "trace_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using pn53xsim::Fault;
using pn53xsim::Pn532Sim;

constexpr uint16_t kFailed = 0x206;
constexpr uint16_t kTimeout = 0x108;
constexpr uint8_t kInListPassiveTarget = 0x4A;
constexpr uint8_t kInDataExchange = 0x40;

struct Result {
    uint16_t cause;
    Bytes data;
};

class Pn53xDriver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.build(0x102, &nfc53xInit, sizeof(TNfc53xPart)));
        ll = h.context();
        part = nfc53xPart(ll);
        h.setPeer([this](const Bytes& frame) { return sim.feed(frame); });
        h.toLayer1(nfcllMsgMake<NFCLL_ACT_REQ>(DriverHarness::kManager));
        ASSERT_EQ(part->state, NFC53X_STATE_INACTIVE);
    }

    void listen(uint32_t type) { h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {type, nullptr})); }
    // A tag in the field, polled, reported and answered by the manager.
    void detect(std::shared_ptr<simtags::Tag> tag, uint32_t type = TAG_ISO14443A) {
        const size_t before = h.upward(NFCLL_DEVICE_IND).size();
        sim.enter(std::move(tag));
        listen(type);
        ASSERT_EQ(h.upward(NFCLL_DEVICE_IND).size(), before + 1);
        h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager));
        ASSERT_EQ(part->state, NFC53X_STATE_ACTIVATE_TAG_OK);
    }
    void transaction(const Bytes& data) {
        h.toLayer1(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(DriverHarness::kManager,
                                                       {data.data(), static_cast<uint16_t>(data.size()), 0}));
    }
    // The transaction indications since the last call; their buffers go back to the pool.
    std::vector<Result> results() {
        std::vector<Result> out;
        const std::vector<OsMessage> all = h.upward(NFCLL_TRANSACTION_IND);
        for (; taken_ < all.size(); ++taken_) {
            const auto f = nfcllMsgGet<NFCLL_TRANSACTION_IND>(all[taken_]);
            const TNfcllTransactionResult& r = *f.result;
            const uint16_t length = r.cause ? r.errorLength : r.dataLength;
            out.push_back({r.cause, r.data ? Bytes(r.data, r.data + length) : Bytes{}});
            if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.result);
        }
        return out;
    }
    std::vector<uint16_t> listenCauses() {
        std::vector<uint16_t> out;
        for (const OsMessage& m : h.upward(NFCLL_LISTEN_CONF)) out.push_back(nfcllMsgGet<NFCLL_LISTEN_CONF>(m).cause);
        return out;
    }
    // The data of the host's commands with this code, in order.
    std::vector<Bytes> commandData(uint8_t code) {
        std::vector<Bytes> out;
        for (const pn53xsim::Command& c : sim.commands())
            if (c.code == code) out.push_back(c.data);
        return out;
    }

    DriverHarness h;
    Pn532Sim sim;
    TNfcllContext* ll = nullptr;
    TNfc53xPart* part = nullptr;

private:
    size_t taken_ = 0;
};

std::shared_ptr<simtags::T2tTag> ultralight() {
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true);
    tag->put(16, {0x03, 0x05, 0xD1, 0x01, 0x01, 0x54, 0x02});
    return tag;
}

TEST_F(Pn53xDriver, ATagListenPollsAndTheTagIsReportedWithItsIdentifiers) {
    auto tag = ultralight();
    sim.enter(tag);
    listen(TAG_ISO14443A);
    EXPECT_EQ(commandData(kInListPassiveTarget), (std::vector<Bytes>{{0x01, 0x00}}));
    EXPECT_EQ(listenCauses(), (std::vector<uint16_t>{0}));
    ASSERT_EQ(h.upward(NFCLL_DEVICE_IND).size(), 1u);
    EXPECT_EQ(+ll->device.tagType, TAG_ULTRALIGHT_TYPE2);
    EXPECT_EQ(Bytes(ll->device.uid, ll->device.uid + ll->device.uidLength), tag->a.nfcid1);
    EXPECT_EQ(+ll->device.a.atqa, 0x0044);
}

TEST_F(Pn53xDriver, AnExchangeAnswersTheTagsDataWithoutTheStatusByte) {
    auto tag = ultralight();
    detect(tag);
    transaction({0x30, 0x04});
    EXPECT_EQ(commandData(kInDataExchange).back(), (Bytes{0x01, 0x30, 0x04}));
    const std::vector<Result> r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].cause, 0);
    EXPECT_EQ(r[0].data, tag->bytes(16, 16));
}

TEST_F(Pn53xDriver, FailedExchangesAnswerTheirCause) {
    struct Case {
        const char* name;
        std::function<void(Pn532Sim&)> arrange;
        Result expected;
    };
    const Case cases[] = {
        {"NACK", [](Pn532Sim& t) { t.inject(Fault::Nack); }, {kFailed, {}}},
        {"silence", [](Pn532Sim& t) { t.inject(Fault::Silence); }, {kTimeout, {}}},
        {"tag gone", [](Pn532Sim& t) { t.leave(); }, {kFailed, {0x27}}},
        {"tag silent", [](Pn532Sim& t) { t.withTag([](simtags::Tag* tag) { tag->removeAfter(0); }); }, {kFailed, {0x01}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        detect(ultralight());
        c.arrange(sim);
        transaction({0xA2, 0x05, 0x01, 0x02, 0x03, 0x04});   // a write: no relisten on failure
        h.advance(NFC53X_RESPONSE_MS + 10);
        const std::vector<Result> r = results();
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].cause, c.expected.cause);
        EXPECT_EQ(r[0].data, c.expected.data) << "the controller's status byte";
        // The driver listens again afterwards.
        listen(0);
        EXPECT_EQ(part->state, NFC53X_STATE_INACTIVE);
        h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager));
    }
}

TEST_F(Pn53xDriver, ExchangesThatCannotBeSentAreAnsweredAtOnce) {
    detect(ultralight());
    const size_t sent = h.sent().size();
    transaction(Bytes(300, 0x30));   // more than one command carries
    std::vector<Result> r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].cause, kFailed);
    EXPECT_EQ(h.sent().size(), sent);
    EXPECT_EQ(part->state, NFC53X_STATE_ACTIVATE_TAG_OK);

    listen(0);   // no tag any more
    transaction({0x30, 0x04});
    r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].cause, NFCLL_CAUSE_WRONG_STATE);
    h.toLayer1(nfcllMsgMake<NFCLL_SELECT_REQ>(DriverHarness::kManager, {0, 0}));
    ASSERT_EQ(h.upward(NFCLL_SELECT_CONF).size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_SELECT_CONF>(h.upward(NFCLL_SELECT_CONF)[0]).cause, NFCLL_CAUSE_WRONG_STATE);
}

TEST_F(Pn53xDriver, ASelectionNamesTheTarget) {
    detect(ultralight());
    h.toLayer1(nfcllMsgMake<NFCLL_SELECT_REQ>(DriverHarness::kManager, {1, 0}));
    EXPECT_EQ(commandData(0x54).back(), Bytes{0x01});
    ASSERT_EQ(h.upward(NFCLL_SELECT_CONF).size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_SELECT_CONF>(h.upward(NFCLL_SELECT_CONF)[0]).cause, 0);
    EXPECT_EQ(part->state, NFC53X_STATE_ACTIVATE_TAG_OK);
}

TEST_F(Pn53xDriver, MifareAuthenticationIsReorderedOnTheWireOnly) {
    auto card = std::make_shared<simtags::MifareTag>();
    simtags::makeFactoryFresh(*card);
    detect(card);
    const Bytes uid = card->a.nfcid1;
    const Bytes key(6, 0xFF);
    Bytes auth{0x60, 0x04};
    auth.insert(auth.end(), uid.begin(), uid.end());
    auth.insert(auth.end(), key.begin(), key.end());
    const Bytes callers = auth;
    transaction(auth);
    EXPECT_EQ(auth, callers);
    Bytes wire{0x01, 0x60, 0x04};
    wire.insert(wire.end(), key.begin(), key.end());
    wire.insert(wire.end(), uid.begin(), uid.end());
    EXPECT_EQ(commandData(kInDataExchange).back(), wire);
    std::vector<Result> r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].cause, 0);

    // A wrong key halts the card: it is polled again and the transaction fails with its own cause.
    Bytes bad = auth;
    bad[11] = 0x00;
    transaction(bad);
    EXPECT_EQ(commandData(kInListPassiveTarget).size(), 2u);
    r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].cause, NFCLL_CAUSE_AUTH_FAILED);
    EXPECT_EQ(part->state, NFC53X_STATE_ACTIVATE_TAG_OK);
}

// The host command inside a frame (its code), or -1 for a frame that carries none.
int commandCode(const Bytes& frame) {
    const size_t at = frame.size() > 8 && frame[0] == 0x55 ? 8 : 3;   // after the wake-up start or the start
    return frame.size() > at + 3 && frame[at + 2] == 0xD4 ? frame[at + 3] : -1;
}

// A controller that acknowledges an exchange and then says nothing: the transaction is answered
// once the answer is overdue, after the transaction's own time-out or else the driver's.
class Pn53xSilence : public Pn53xDriver, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(Pn53xSilence, AnAcknowledgedExchangeThatIsNeverAnsweredEnds) {
    const uint32_t timeout = GetParam();
    detect(ultralight());
    h.setPeer([this](const Bytes& frame) {
        const Bytes out = sim.feed(frame);
        return commandCode(frame) == kInDataExchange ? Pn532Sim::ack() : out;
    });
    const Bytes read{0x30, 0x04};
    h.toLayer1(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(DriverHarness::kManager, {read.data(), 2, timeout}));
    const uint32_t due = timeout ? timeout : 1000;
    h.advance(due - 10);
    EXPECT_TRUE(results().empty());
    h.advance(20);
    const std::vector<Result> got = results();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].cause, kTimeout);
    EXPECT_EQ(part->state, NFC53X_STATE_ACTIVATE_TAG_OK);
}

INSTANTIATE_TEST_SUITE_P(TimeOuts, Pn53xSilence, ::testing::Values(0u, 3000u));

TEST_F(Pn53xDriver, AListenDuringAnExchangeRunsAfterItAndASecondOneReplacesIt) {
    detect(ultralight());
    h.setPeer(nullptr);   // the controller takes the command but has not answered yet
    transaction({0x30, 0x04});
    const Bytes command = h.sent().back();
    listen(TAG_ISO14443A);
    listen(0);
    EXPECT_EQ(listenCauses(), (std::vector<uint16_t>{0, kFailed})) << "the displaced listen is answered";
    h.setPeer([this](const Bytes& frame) { return sim.feed(frame); });
    h.deliver(sim.feed(command));
    const std::vector<Result> r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].cause, 0);
    EXPECT_EQ(part->state, NFC53X_STATE_INACTIVE) << "the buffered listen-none ran and deactivated";
    EXPECT_EQ(listenCauses().back(), 0);
}

TEST_F(Pn53xDriver, ABufferedExchangeKeepsItsData) {
    detect(ultralight());
    h.setPeer(nullptr);
    transaction({0x30, 0x04});
    const Bytes first = h.sent().back();
    transaction({0x30, 0x08});   // waits for the controller
    h.setPeer([this](const Bytes& frame) { return sim.feed(frame); });
    h.deliver(sim.feed(first));
    EXPECT_EQ(commandData(kInDataExchange).back(), (Bytes{0x01, 0x30, 0x08}));
    EXPECT_EQ(results().size(), 2u);
}

TEST_F(Pn53xDriver, RawFramesGoOutAsTheyAreAndOverlongOnesAreRefused) {
    detect(ultralight());
    ll->flags |= NFCLL_FLAG_PN53X_4;
    const Bytes frame = {0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD4, 0x02, 0x2A, 0x00};
    transaction(frame);
    EXPECT_EQ(h.sent().back(), frame);
    std::vector<Result> r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].cause, 0);
    EXPECT_EQ(r[0].data, Pn532Sim::frame(0x03, {0x32, 0x01, 0x06, 0x07}));

    const size_t sent = h.sent().size();
    transaction(Bytes(NFC53X_FRAME_MAX + 1, 0x00));
    EXPECT_EQ(h.sent().size(), sent);
    r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].cause, kFailed);
}

// ---- I/O controls ----------------------------------------------------------------------------------
struct IoAnswer {
    uint16_t cause;
    Bytes data;
};

class Pn53xIo : public Pn53xDriver {
protected:
    IoAnswer io(uint32_t code, const Bytes& input) {
        out_.assign(32, 0);
        const size_t before = h.upward(NFCLL_IOCONTROL_CONF).size();
        h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
            DriverHarness::kManager,
            {nullptr, input.data(), out_.data(), code, 0, static_cast<uint16_t>(input.size()), static_cast<uint16_t>(out_.size())}));
        const std::vector<OsMessage> confs = h.upward(NFCLL_IOCONTROL_CONF);
        if (confs.size() == before) return {0xFFFF, {}};
        const auto f = nfcllMsgGet<NFCLL_IOCONTROL_CONF>(confs.back());
        return {f.cause, f.data ? Bytes(f.data, f.data + f.length) : Bytes{}};
    }
    Bytes out_;
};

TEST_F(Pn53xIo, ReadRegisterGivesTheRegisterBytes) {
    sim.onCommand(0x06, [](const Bytes& d) { return d.size() == 4 ? std::optional<Bytes>(Bytes{0x11, 0x22}) : std::nullopt; });
    const IoAnswer a = io(0x1105, {0x63, 0x02, 0x63, 0x03});
    EXPECT_EQ(a.cause, 0);
    EXPECT_EQ(a.data, (Bytes{0x11, 0x22}));
    EXPECT_EQ(part->state, NFC53X_STATE_INACTIVE);
}

TEST_F(Pn53xIo, RegulationTestIsConfirmedAtOnceWaitsForNothingAndUnknownCodesAreRefused) {
    h.setPeer(nullptr);
    EXPECT_EQ(io(0x1102, {0x01}).cause, 0);
    EXPECT_EQ(sim.commands().size(), 4u) << "not yet at the controller's";
    h.setPeer([this](const Bytes& frame) { return sim.feed(frame); });
    h.deliver(sim.feed(h.sent().back()));   // the controller takes it and stays silent
    EXPECT_EQ(io(0x1234, {}).cause, NFCLL_CAUSE_NO_DRIVER);
    listen(TAG_ISO14443A);
    EXPECT_EQ(commandData(kInListPassiveTarget).size(), 1u) << "the next request does not wait for an answer";
}

TEST_F(Pn53xIo, AFailedIoCommandIsAnsweredAndTheDriverGoesBack) {
    sim.inject(Fault::Nack);
    EXPECT_EQ(io(0x1105, {0x63, 0x02}).cause, kFailed);
    EXPECT_EQ(part->state, NFC53X_STATE_INACTIVE);
    sim.inject(Fault::Silence);
    EXPECT_EQ(io(0x1109, {}).cause, 0xFFFF) << "no answer before the time-out";
    h.advance(NFC53X_RESPONSE_MS + 10);
    const std::vector<OsMessage> confs = h.upward(NFCLL_IOCONTROL_CONF);
    ASSERT_EQ(confs.size(), 2u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(confs.back()).cause, kTimeout);
    const IoAnswer gpio = io(0x1009, {});
    EXPECT_EQ(gpio.cause, 0) << "a later I/O control still runs";
    EXPECT_EQ(gpio.data, (Bytes{0x3F, 0x03, 0x00}));
}

TEST_F(Pn53xIo, AnIoControlDuringAnExchangeIsRefused) {
    detect(ultralight());
    h.setPeer(nullptr);
    transaction({0x30, 0x04});
    EXPECT_EQ(io(0x1105, {0x63, 0x02}).cause, kFailed);
    EXPECT_EQ(part->pendingId, NFC53X_REQ_IN_DATA_EXCHANGE) << "the exchange still waits for its answer";
}

// ---- P2P and card emulation ---------------------------------------------------------------------
constexpr uint8_t kTgGetData = 0x86;
constexpr uint8_t kTgSetData = 0x8E;
constexpr uint8_t kTgSetMetaData = 0x94;
constexpr uint8_t kTgGetInitiatorCommand = 0x88;

Bytes patterned(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(k * 7 + seed);
    return b;
}

class Pn53xP2p : public Pn53xDriver {
protected:
    void sendFrame(const Bytes& frame) {
        h.toLayer1(nfcllMsgMake<PH_DATA_REQ>(DriverHarness::kManager,
                                             {NFCLL_MSG_OWNS_BUFFER, 0, static_cast<uint16_t>(frame.size()), h.rxBuffer(frame)}));
    }
    // The whole frames layer 1 sent up; their buffers go back to the pool.
    std::vector<Bytes> framesUp() {
        std::vector<Bytes> out;
        const std::vector<OsMessage> all = h.upward(PH_DATA_IND);
        for (; framesTaken_ < all.size(); ++framesTaken_) {
            const auto f = nfcllMsgGet<PH_DATA_IND>(all[framesTaken_]);
            out.emplace_back(f.buffer + f.offset, f.buffer + f.offset + f.length);
            if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.buffer);
        }
        return out;
    }
    void detected() {
        ASSERT_EQ(h.upward(NFCLL_DEVICE_IND).size(), 1u);
        h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager));
    }

    TraceCapture cap;

private:
    size_t framesTaken_ = 0;
};

TEST_F(Pn53xP2p, AsInitiatorAMessageGoesOutInChainedPiecesAndALongAnswerIsFetchedInPieces) {
    auto target = std::make_shared<simtags::NfcDepTarget>();
    const Bytes answer = patterned(500, 3);
    target->toSend = {answer};
    sim.enter(target);
    listen(P2P_INITIATOR);
    detected();
    EXPECT_EQ(+ll->device.tagType, P2P_INITIATOR);
    EXPECT_EQ(Bytes(ll->device.uid, ll->device.uid + 10), Bytes(target->atrRes.begin(), target->atrRes.begin() + 10));
    EXPECT_FALSE(cap.contains("unexpected TAMA response")) << "InJumpForDEP is answered by its own code";
    EXPECT_TRUE(ll->flags & NFCLL_FLAG_ACTIVITY_CHECK) << "the health monitor's check ran on the link";

    const Bytes message = patterned(600, 1);
    sendFrame(message);
    const std::vector<Bytes> pieces = commandData(kInDataExchange);
    ASSERT_EQ(pieces.size(), 5u);
    const uint8_t targets[] = {0x41, 0x41, 0x01};   // "more" on all but the last
    const size_t sizes[] = {240, 240, 120};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(pieces[i].at(0), targets[i]);
        EXPECT_EQ(pieces[i].size() - 1, sizes[i]);
    }
    EXPECT_EQ(pieces[3], Bytes{0x01}) << "the answer's next pieces are fetched without data";
    EXPECT_EQ(pieces[4], Bytes{0x01});
    sim.withTag([&](simtags::Tag* t) {
        ASSERT_EQ(t->log.size(), 1u);
        EXPECT_EQ(t->log[0].command, message) << "the target got one whole frame";
    });
    EXPECT_EQ(framesUp(), std::vector<Bytes>{answer});
    EXPECT_EQ(part->state, NFC53X_STATE_ACTIVATE_P2P_IN_OK);
}

// A peer that goes silent in the middle of a chained answer: the next piece's command is
// acknowledged and never answered, and the link ends with the peer's removal.
TEST_F(Pn53xP2p, AsInitiatorAChainedAnswerWhosePeerGoesSilentEndsTheLink) {
    auto target = std::make_shared<simtags::NfcDepTarget>();
    target->toSend = {patterned(500, 3)};
    sim.enter(target);
    listen(P2P_INITIATOR);
    detected();
    h.setPeer([this](const Bytes& frame) {
        const Bytes out = sim.feed(frame);
        const bool fetch = commandCode(frame) == kInDataExchange && frame.size() == 10;   // D4 40 01: the next piece
        return fetch ? Pn532Sim::ack() : out;
    });
    sendFrame(patterned(20, 1));
    EXPECT_TRUE(h.upward(NFCLL_TECH_REMOVE_IND).empty());
    h.advance(1001);
    const std::vector<OsMessage> removed = h.upward(NFCLL_TECH_REMOVE_IND);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_TECH_REMOVE_IND>(removed[0]).cause, kFailed);
    EXPECT_TRUE(framesUp().empty()) << "half a frame never goes up";
}

// The same silence where the driver is the one polled: a P2P target, or a card whose reader
// chains a long command. The next piece's fetch is acknowledged and never answered.
struct PolledCase {
    const char* name;
    uint32_t type;
    bool nfcDep;
};

class Pn53xPolledSilence : public Pn53xP2p, public ::testing::WithParamInterface<PolledCase> {};

TEST_P(Pn53xPolledSilence, AChainedCommandWhosePeerGoesSilentEndsTheLink) {
    auto peer = GetParam().nfcDep ? simpeers::RemotePoller::nfcDepInitiator()
                                  : simpeers::RemotePoller::reader(simtags::Technology::A);
    peer->log.toSend = {patterned(500, 9)};
    int fetches = 0;
    h.setPeer([&](const Bytes& frame) {
        const Bytes out = sim.feed(frame);
        return commandCode(frame) == kTgGetData && ++fetches > 1 ? Pn532Sim::ack() : out;
    });
    sim.approach(peer);
    listen(GetParam().type);
    if (GetParam().nfcDep) detected();
    ASSERT_EQ(fetches, 2) << "the first piece came and the second was asked for";
    EXPECT_TRUE(h.upward(NFCLL_TECH_REMOVE_IND).empty());
    h.advance(1001);
    const std::vector<OsMessage> removed = h.upward(NFCLL_TECH_REMOVE_IND);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_TECH_REMOVE_IND>(removed[0]).cause, kFailed);
    EXPECT_TRUE(framesUp().empty());
    EXPECT_TRUE(results().empty()) << "half a command is never a transaction";
}

INSTANTIATE_TEST_SUITE_P(Roles, Pn53xPolledSilence,
                         ::testing::Values(PolledCase{"p2pTarget", P2P_TARGET, true},
                                           PolledCase{"typeACard", CE_HOST_14443A_106, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pn53xP2p, ListenNoneWhileAnExchangeRunsDeactivates) {
    sim.enter(std::make_shared<simtags::NfcDepTarget>());
    listen(P2P_INITIATOR);
    detected();
    h.setPeer(nullptr);
    sendFrame({0x00, 0x00});
    h.setPeer([this](const Bytes& frame) { return sim.feed(frame); });
    h.deliver(Pn532Sim::ack());
    ASSERT_EQ(part->state, NFC53X_STATE_SEND_RECV_P2P_IN_1);
    listen(0);
    EXPECT_EQ(commandData(0x14).size(), 2u) << "SAMConfiguration normal mode";
    EXPECT_EQ(commandData(0x32).back(), (Bytes{0x01, 0x00})) << "then the field off";
    EXPECT_EQ(part->state, NFC53X_STATE_INACTIVE);
    EXPECT_EQ(listenCauses().back(), 0);
}

TEST_F(Pn53xP2p, AsTargetFramesGoBothWaysUntilTheInitiatorReleasesTheHost) {
    auto initiator = simpeers::RemotePoller::nfcDepInitiator();
    const Bytes first = patterned(20, 9);
    initiator->log.toSend = {first};
    sim.approach(initiator);
    listen(P2P_TARGET);
    EXPECT_EQ(listenCauses(), (std::vector<uint16_t>{0}));
    detected();
    EXPECT_EQ(+ll->device.tagType, P2P_TARGET);
    EXPECT_FALSE(cap.contains("unexpected TAMA response")) << "TgInitAsTarget is answered by its own code";
    EXPECT_TRUE(ll->flags & NFCLL_FLAG_ACTIVITY_CHECK) << "the health monitor's check ran on TgGetDEPData";
    EXPECT_EQ(framesUp(), std::vector<Bytes>{first});
    ASSERT_EQ(part->state, NFC53X_STATE_SEND_P2P_TG);

    const Bytes reply = patterned(300, 5);
    sendFrame(reply);
    EXPECT_EQ(commandData(kTgSetMetaData).size(), 1u);
    EXPECT_EQ(commandData(kTgSetMetaData)[0].size(), 240u);
    EXPECT_EQ(commandData(kTgSetData).size(), 1u);
    EXPECT_EQ(initiator->log.received, std::vector<Bytes>{reply});
    // The initiator has nothing more to say: the next TgGetDEPData answers that it released the host.
    EXPECT_EQ(commandData(kTgGetData).size(), 2u);
    const std::vector<OsMessage> removed = h.upward(NFCLL_TECH_REMOVE_IND);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_TECH_REMOVE_IND>(removed[0]).cause, 0);
    EXPECT_EQ(part->state, NFC53X_STATE_INACTIVE);
}

TEST_F(Pn53xP2p, AsTypeACardEachReaderCommandIsATransactionAndItsAnswerGoesBack) {
    auto reader = simpeers::RemotePoller::reader(simtags::Technology::A);
    const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x02, 0xE1, 0x03};
    const Bytes read{0x00, 0xB0, 0x00, 0x00, 0x0F};
    reader->log.toSend = {select, read};
    sim.approach(reader);
    listen(CE_HOST_14443A_106);
    EXPECT_EQ(sim.commands().back().code, kTgGetData);
    detected();
    std::vector<Result> r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data, select);

    transaction({0x90, 0x00});
    EXPECT_EQ(reader->log.received, (std::vector<Bytes>{{0x90, 0x00}}));
    r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data, read) << "the next command";
}

TEST_F(Pn53xP2p, AsFelicaCardTheReadersCommandsComeWithTheActivationAndAfterEachAnswer) {
    auto reader = simpeers::RemotePoller::reader(simtags::Technology::F);
    const Bytes polling{0x06, 0x00, 0xFF, 0xFF, 0x01, 0x00};
    const Bytes check{0x10, 0x06, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x01, 0x0B, 0x00, 0x01, 0x80, 0x00};
    reader->log.toSend = {polling, check};
    sim.approach(reader);
    listen(CE_HOST_FELICA);
    detected();
    std::vector<Result> r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data, polling);
    const Bytes answer{0x12, 0x01, 0x02, 0xFE};
    transaction(answer);
    EXPECT_EQ(reader->log.received, std::vector<Bytes>{answer});
    EXPECT_EQ(commandData(kTgGetInitiatorCommand).size(), 1u);
    r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data, check);
}

// A reader's command without even its status byte would be "the data after the first byte" of
// nothing: it ends the emulation instead.
TEST_F(Pn53xP2p, ACardCommandWithoutItsStatusByteEndsTheEmulation) {
    auto reader = simpeers::RemotePoller::reader(simtags::Technology::F);
    reader->log.toSend = {{0x06, 0x00, 0xFF, 0xFF, 0x01, 0x00}};
    sim.approach(reader);
    sim.onCommand(kTgGetInitiatorCommand, [](const Bytes&) { return std::optional<Bytes>(Bytes{}); });
    listen(CE_HOST_FELICA);
    detected();
    ASSERT_EQ(results().size(), 1u);
    transaction({0x12, 0x01});
    EXPECT_TRUE(results().empty());
    const std::vector<OsMessage> removed = h.upward(NFCLL_TECH_REMOVE_IND);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_TECH_REMOVE_IND>(removed[0]).cause, kFailed);
    EXPECT_EQ(part->state, NFC53X_STATE_INACTIVE);
}

TEST_F(Pn53xDriver, TheModemLineInSecureCardEmulationAsksForTheGeneralStatus) {
    listen(CE_SECURE_CE);
    EXPECT_EQ(commandData(0x14).back(), (Bytes{0x02, 0x10, 0x01})) << "virtual card mode";
    EXPECT_EQ(listenCauses(), (std::vector<uint16_t>{0}));
    ASSERT_EQ(part->state, NFC53X_STATE_CE_SECURE2);
    OsMessage dsr{};
    dsr.command = PH_LINE_SIGNAL;
    dsr.source = DriverHarness::kCom;
    osMsgSetFields(dsr, PhParamFields{6});
    h.toLayer1(dsr);   // in process: a pseudo-terminal has no modem lines
    EXPECT_EQ(sim.commands().back().code, 0x04);
    EXPECT_EQ(part->state, NFC53X_STATE_CE_SECURE2) << "back to waiting once the status is read";
}

TEST_F(Pn53xDriver, ADeactivationFromBelowIsReportedUp) {
    OsMessage m{};
    m.command = 0x209;
    m.source = DriverHarness::kManager;
    h.toLayer1(m);
    EXPECT_EQ(h.upward(NFCLL_DEACT_IND).size(), 1u);
}

}  // namespace
