// The NFC-DEP engine on its own: frames between an initiator and a target instance carried by a
// queue the test pumps, and hand-made frames for the peer's mistakes.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "L1/common/ip1msg.h"
#include "nfcdep/dep_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Side {
    TNfcipInstance ip{};
    std::vector<Bytes> sent;
    std::vector<uint32_t> timeouts;
    std::vector<int32_t> errors;
    std::vector<Bytes> messages;
    std::vector<uint32_t> events;
    std::deque<Bytes>* out = nullptr;

    static Side& of(void* user) { return *static_cast<Side*>(user); }
    void bind() {
        nfcipBind(&ip, this,
                  {[](void* u, int32_t code) { of(u).errors.push_back(code); },
                   [](void* u, const uint8_t* f, uint32_t n, uint32_t t) {
                       of(u).sent.emplace_back(f, f + n);
                       of(u).timeouts.push_back(t);
                       if (of(u).out) of(u).out->emplace_back(f, f + n);
                   },
                   [](void* u, uint32_t ev, const uint8_t* d, uint32_t n) {
                       of(u).events.push_back(ev);
                       if (ev == NFCIP_EV_DATA) of(u).messages.emplace_back(d, d + n);
                   }});
    }
};

constexpr uint8_t kNfcid2[8] = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr uint8_t kNfcid3[10] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};

// An initiator and a target linked by queues.
struct Pair {
    Side i, t;
    std::deque<Bytes> toTarget, toInitiator;
    Pair() {
        i.bind();
        t.bind();
        i.out = &toTarget;
        t.out = &toInitiator;
        nfcipTargetInit(&t.ip, kNfcid3, nullptr, 0);
        nfcipInitiatorInit(&i.ip, kNfcid2, 8);
        pump();
    }
    void pump() {
        for (int guard = 0; guard < 1000 && (!toTarget.empty() || !toInitiator.empty()); ++guard) {
            if (!toTarget.empty()) {
                const Bytes f = toTarget.front();
                toTarget.pop_front();
                nfcipHandleRcv(&t.ip, f.data(), static_cast<uint32_t>(f.size()));
            }
            if (!toInitiator.empty()) {
                const Bytes f = toInitiator.front();
                toInitiator.pop_front();
                nfcipHandleRcv(&i.ip, f.data(), static_cast<uint32_t>(f.size()));
            }
        }
    }
};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(k * 7 + (k >> 8));
    return b;
}

// An ATR_RES from a target with this PPt and TO.
Bytes atrRes(uint8_t pp, uint8_t to) {
    Bytes f = {18, 0xD5, 0x01};
    f.insert(f.end(), kNfcid3, kNfcid3 + 10);
    f.insert(f.end(), {0x00, 0x00, 0x00, to, pp});
    return f;
}

// An initiator activated by a hand-made ATR_RES, its own frames recorded.
struct Initiator : Side {
    Initiator(uint8_t pp = 0x02, uint8_t to = 0x0A) {
        bind();
        nfcipInitiatorInit(&ip, kNfcid2, 8);
        const Bytes f = atrRes(pp, to);
        nfcipHandleRcv(&ip, f.data(), static_cast<uint32_t>(f.size()));
        sent.clear();
    }
    void feed(const Bytes& f) { nfcipHandleRcv(&ip, f.data(), static_cast<uint32_t>(f.size())); }
};

TEST(Ip1msg, AMessageIsCutAtTheRoomTheTargetsLengthLeaves) {
    struct Case {
        uint8_t pp;
        size_t length;
        size_t frames;
    };
    for (const Case c : {Case{0x02, 60, 1}, Case{0x02, 61, 2}, Case{0x32, 250, 1}, Case{0x32, 251, 2}}) {
        SCOPED_TRACE(c.length);
        Initiator i(c.pp);
        const Bytes m = pattern(c.length);
        ASSERT_EQ(nfcipSendData(&i.ip, static_cast<uint32_t>(m.size()), m.data()), 0);
        ASSERT_EQ(i.sent.size(), 1u);
        const Bytes first = i.sent[0];
        EXPECT_EQ(first[0], first.size());
        EXPECT_EQ((first[3] & 0x10) != 0, c.frames == 2) << "MI";
        if (c.frames == 2) {
            i.feed({0x04, 0xD5, 0x07, 0x40});   // ACK of PNI 0
            ASSERT_EQ(i.sent.size(), 2u);
            EXPECT_EQ(i.sent[1][3], 0x01) << "PNI 1, no MI";
            EXPECT_EQ(first.size() - 4 + i.sent[1].size() - 4, c.length);
        }
    }
}

TEST(Ip1msg, TheLargestMessagesRoundTripWithThePacketNumbersWrapping) {
    Pair p;
    ASSERT_TRUE(p.i.errors.empty());
    const Bytes request = pattern(2051), response = pattern(2000);
    ASSERT_EQ(nfcipSendData(&p.i.ip, static_cast<uint32_t>(request.size()), request.data()), 0);
    p.pump();
    ASSERT_EQ(p.t.messages.size(), 1u);
    EXPECT_EQ(p.t.messages[0], request);
    ASSERT_EQ(nfcipSendData(&p.t.ip, static_cast<uint32_t>(response.size()), response.data()), 0);
    p.pump();
    ASSERT_EQ(p.i.messages.size(), 1u);
    EXPECT_EQ(p.i.messages[0], response);
    EXPECT_TRUE(p.i.errors.empty());
    EXPECT_TRUE(p.t.errors.empty());
    // Nine pieces out and seven acknowledgements back: the packet number went round twice.
    EXPECT_EQ(p.i.sent.size(), 1u + 9u + 7u);
}

// A target whose response the initiator lost: the NACK names the packet number of that response,
// which for the last or only piece of a message is the one before the target's current.
TEST(Ip1msg, ATargetSendsItsLastPieceAgainOnANack) {
    for (const size_t length : {size_t{3}, size_t{100}}) {
        SCOPED_TRACE(length);
        Side t;
        t.bind();
        nfcipTargetInit(&t.ip, kNfcid3, nullptr, 0);
        Bytes atrReq = {37, 0xD4, 0x00};
        atrReq.insert(atrReq.end(), 14, 0x00);
        atrReq.insert(atrReq.end(), 20, 0x46);
        nfcipHandleRcv(&t.ip, atrReq.data(), static_cast<uint32_t>(atrReq.size()));
        const Bytes request = {0x05, 0xD4, 0x06, 0x00, 0x42};   // PNI 0
        nfcipHandleRcv(&t.ip, request.data(), static_cast<uint32_t>(request.size()));
        const Bytes response = pattern(length);
        ASSERT_EQ(nfcipSendData(&t.ip, static_cast<uint32_t>(response.size()), response.data()), 0);
        // The message's pieces up to the last, each acknowledged.
        for (uint8_t pni = 1; t.sent.back()[3] & 0x10; ++pni) {
            const Bytes ack = {0x04, 0xD4, 0x06, static_cast<uint8_t>(0x40 | pni)};
            nfcipHandleRcv(&t.ip, ack.data(), 4);
        }
        const Bytes last = t.sent.back();
        const uint8_t lastPni = last[3] & 0x03;
        const size_t before = t.sent.size();
        const Bytes nack = {0x04, 0xD4, 0x06, static_cast<uint8_t>(0x50 | lastPni)};
        nfcipHandleRcv(&t.ip, nack.data(), 4);
        ASSERT_EQ(t.sent.size(), before + 1);
        EXPECT_EQ(t.sent.back(), last);
        EXPECT_TRUE(t.errors.empty());
    }
}

TEST(Ip1msg, AWrongPacketNumberIsAnsweredWithANack) {
    Initiator i;
    const Bytes m = {1, 2, 3};
    ASSERT_EQ(nfcipSendData(&i.ip, 3, m.data()), 0);
    i.feed({0x05, 0xD5, 0x07, 0x02, 0xAA});
    ASSERT_EQ(i.sent.size(), 2u);
    EXPECT_EQ(i.sent[1][3] & 0xF0, 0x50);
    EXPECT_TRUE(i.messages.empty());
}

TEST(Ip1msg, TimeOutsRetransmitThenAskForAttentionThenGiveUp) {
    struct Case {
        uint8_t to;
        std::vector<uint8_t> pfbs;   // what each time-out sends
    };
    for (const Case& c : {Case{0x0A, {0x80}}, Case{0x0E, {0x00, 0x80}}}) {
        SCOPED_TRACE(int(c.to));
        Initiator i(0x02, c.to);
        const Bytes m = {1, 2, 3};
        ASSERT_EQ(nfcipSendData(&i.ip, 3, m.data()), 0);
        for (uint8_t pfb : c.pfbs) {
            nfcipHandleTimeout(&i.ip);
            EXPECT_EQ(i.sent.back()[3], pfb);
        }
        EXPECT_TRUE(i.errors.empty());
        nfcipHandleTimeout(&i.ip);
        EXPECT_EQ(i.errors, (std::vector<int32_t>{NFCIP_ERR_RETRIES}));
    }
}

TEST(Ip1msg, ATimeOutExtensionOfThreeAllowsTwoRetransmissions) {
    Initiator i;
    const Bytes m = {1, 2, 3};
    ASSERT_EQ(nfcipSendData(&i.ip, 3, m.data()), 0);
    i.feed({0x05, 0xD5, 0x07, 0x90, 0x03});
    EXPECT_EQ(i.sent.back(), (Bytes{0x05, 0xD4, 0x06, 0x90, 0x03}));
    EXPECT_EQ(i.ip.retryBudget, 2);
}

TEST(Ip1msg, TheAtrResCarriesTheDefaultOrTheTargetsOwnGeneralBytes) {
    for (const Bytes& own : {Bytes{}, Bytes{0x46, 0x66, 0x6D, 0x01}}) {
        Side t;
        t.bind();
        nfcipTargetInit(&t.ip, kNfcid3, own.empty() ? nullptr : own.data(), static_cast<uint32_t>(own.size()));
        Bytes req = {37, 0xD4, 0x00};
        req.insert(req.end(), kNfcid2, kNfcid2 + 8);
        req.insert(req.end(), {0, 0, 0, 0, 0, 0x32});
        req.resize(37, 0x11);
        nfcipHandleRcv(&t.ip, req.data(), static_cast<uint32_t>(req.size()));
        ASSERT_EQ(t.sent.size(), 1u);
        const Bytes r = t.sent[0];
        EXPECT_EQ(r.size(), own.empty() ? 38u : 18u + own.size());
        EXPECT_EQ(r[0], r.size());
        EXPECT_EQ(r[16], 0x0A) << "TO";
        EXPECT_EQ(r[17], 0x32) << "PPt";
        if (!own.empty()) {
            EXPECT_EQ(Bytes(r.begin() + 18, r.end()), own);
        }
        EXPECT_EQ(t.events, (std::vector<uint32_t>{NFCIP_EV_ACTIVATED}));
    }
}

TEST(Ip1msg, DeselectAndReleaseTakeFramesWithAndWithoutTheDid) {
    struct Case {
        Bytes request;
        Bytes answer;   // empty: refused
    };
    const Case cases[] = {
        {{0x03, 0xD4, 0x08}, {0x03, 0xD5, 0x09}},
        {{0x04, 0xD4, 0x08, 0x00}, {0x04, 0xD5, 0x09, 0x00}},
        {{0x04, 0xD4, 0x08, 0x05}, {}},
        {{0x03, 0xD4, 0x0A}, {0x03, 0xD5, 0x0B}},
        {{0x05, 0xD4, 0x0A, 0x00, 0x00}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.request));
        Pair p;
        p.t.sent.clear();
        nfcipHandleRcv(&p.t.ip, c.request.data(), static_cast<uint32_t>(c.request.size()));
        if (c.answer.empty()) {
            EXPECT_TRUE(p.t.sent.empty());
            EXPECT_EQ(p.t.errors, (std::vector<int32_t>{NFCIP_ERR_PROTOCOL}));
        } else {
            ASSERT_EQ(p.t.sent.size(), 1u);
            EXPECT_EQ(p.t.sent[0], c.answer);
        }
    }
    // The initiator's own release runs through both, in 3-byte frames, to its end.
    Pair p;
    nfcipDeactivateProtocol(&p.i.ip, true);
    p.pump();
    EXPECT_EQ(p.i.events.back(), NFCIP_EV_DEACTIVATED);
    EXPECT_TRUE(p.i.errors.empty());
}

TEST(Ip1msg, SendingIsRefusedInAWrongStateWhileBusyAndAboveTheLargestMessage) {
    Side idle;
    idle.bind();
    nfcipTargetInit(&idle.ip, kNfcid3, nullptr, 0);
    const Bytes big = pattern(2052), m = {1};
    EXPECT_EQ(nfcipSendData(&idle.ip, 1, m.data()), NFCIP_ERR_PROTOCOL);
    Initiator i;
    EXPECT_EQ(nfcipSendData(&i.ip, static_cast<uint32_t>(big.size()), big.data()), NFCIP_ERR_SIZE);
    EXPECT_EQ(nfcipSendData(&i.ip, 1, m.data()), 0);
    EXPECT_EQ(nfcipSendData(&i.ip, 1, m.data()), NFCIP_ERR_BLOCKED);
}

// ---- Against the DEP peer ---------------------------------------------------------------------------------

// The engine on one side, the peer on the other, frames carried until both are quiet.
struct WithPeer {
    Side engine;
    std::deque<Bytes> toPeer;
    depsim::DepPeer peer;
    explicit WithPeer(depsim::Role role, depsim::Config config = {}) : peer(role, std::move(config)) {
        engine.bind();
        engine.out = &toPeer;
    }
    void toEngine(const Bytes& f) { nfcipHandleRcv(&engine.ip, f.data(), static_cast<uint32_t>(f.size())); }
    void pump() {
        for (int guard = 0; guard < 1000 && !toPeer.empty(); ++guard) {
            const Bytes f = toPeer.front();
            toPeer.pop_front();
            for (const Bytes& answer : peer.feed(f)) toEngine(answer);
        }
    }
};

struct EngineInitiator : WithPeer {
    explicit EngineInitiator(depsim::Config config = {}) : WithPeer(depsim::Role::Target, std::move(config)) {
        nfcipInitiatorInit(&engine.ip, kNfcid2, 8);
        pump();
    }
    std::vector<Bytes> exchange(const Bytes& m) {
        EXPECT_EQ(nfcipSendData(&engine.ip, static_cast<uint32_t>(m.size()), m.data()), 0);
        pump();
        return engine.messages;
    }
};

TEST(Ip1msgPeer, AsInitiatorTheEngineActivatesAndExchangesChainedMessages) {
    EngineInitiator s({0x32, 0x0E, {0x46, 0x66, 0x6D}, std::nullopt});
    ASSERT_TRUE(s.peer.activated);
    EXPECT_EQ(s.engine.ip.extraRetries, 1) << "TO 14";
    EXPECT_EQ(Bytes(s.engine.ip.remoteGb, s.engine.ip.remoteGb + s.engine.ip.remoteGbLength), (Bytes{0x46, 0x66, 0x6D}));
    for (size_t n : {1u, 250u, 251u, 2051u}) {
        SCOPED_TRACE(n);
        s.engine.messages.clear();
        const Bytes m = pattern(n);
        const std::vector<Bytes> got = s.exchange(m);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], m);
        EXPECT_EQ(s.peer.messages.back(), m);
    }
    EXPECT_TRUE(s.engine.errors.empty());
}

TEST(Ip1msgPeer, AWrongPacketNumberFromThePeerIsNackedAndRepaired) {
    EngineInitiator s;
    s.peer.inject({depsim::FaultKind::WrongPni, 1});
    const Bytes m = {1, 2, 3};
    EXPECT_EQ(s.exchange(m), (std::vector<Bytes>{m}));
    EXPECT_EQ(s.peer.nacks, 1u);
}

TEST(Ip1msgPeer, ALostAnswerIsFetchedAgainAfterTheTimeOut) {
    EngineInitiator s;
    s.peer.inject({depsim::FaultKind::Drop, 1});
    const Bytes m = {4, 5, 6};
    EXPECT_TRUE(s.exchange(m).empty());
    nfcipHandleTimeout(&s.engine.ip);   // TO 14: one repeat before attention
    s.pump();
    EXPECT_EQ(s.engine.messages, (std::vector<Bytes>{m}));
}

TEST(Ip1msgPeer, ATimeOutExtensionIsEchoedAndTheAnswerFollows) {
    EngineInitiator s;
    s.peer.inject({depsim::FaultKind::Rtox, 1, 3});
    const Bytes m = {7, 8};
    EXPECT_EQ(s.exchange(m), (std::vector<Bytes>{m}));
    EXPECT_EQ(s.engine.ip.retryBudget, 2);
}

TEST(Ip1msgPeer, AsTargetTheEngineAnswersChainedRequestsAndIsReleased) {
    for (const std::optional<uint8_t> did : {std::optional<uint8_t>{}, std::optional<uint8_t>{0}}) {
        WithPeer s(depsim::Role::Initiator, {0x32, 0x0E, {0x46, 0x66, 0x6D, 0x01}, did});
        ASSERT_EQ(nfcipTargetInit(&s.engine.ip, kNfcid3, nullptr, 0), 0);
        s.toEngine(s.peer.atrReq());
        s.pump();
        ASSERT_TRUE(s.peer.activated);
        const Bytes request = pattern(700), response = pattern(600);
        s.toEngine(s.peer.send(request));
        s.pump();
        ASSERT_EQ(s.engine.messages, (std::vector<Bytes>{request}));
        ASSERT_EQ(nfcipSendData(&s.engine.ip, static_cast<uint32_t>(response.size()), response.data()), 0);
        s.pump();
        EXPECT_EQ(s.peer.messages, (std::vector<Bytes>{response}));
        s.toEngine(s.peer.dslReq());
        s.pump();
        EXPECT_TRUE(s.peer.deselected) << (did ? "with DID" : "without DID");
        s.toEngine(s.peer.rlsReq());
        s.pump();
        EXPECT_TRUE(s.peer.released);
        EXPECT_TRUE(s.engine.errors.empty());
    }
}

}  // namespace
