// NPP and connection handover over the scripted P2P layer: frames cut anywhere, bad entries and
// versions, the handover Select that does not fit and the request that comes too early.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "paired_p2p.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct NppLog {
    std::vector<DWORD> events;
    std::vector<Bytes> messages;
};

DWORD nppCallback(void* context, DWORD event, BYTE* data, DWORD length) {
    auto* log = static_cast<NppLog*>(context);
    log->events.push_back(event);
    if (event == nppEventMessage) log->messages.emplace_back(data, data + length);
    return 0;
}

Bytes frameOf(const std::vector<Bytes>& entries, uint8_t version = 1) {
    Bytes f{version, 0, 0, 0, static_cast<uint8_t>(entries.size())};
    for (const Bytes& e : entries) {
        const auto n = static_cast<uint32_t>(e.size());
        f.insert(f.end(), {1, static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                           static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
        f.insert(f.end(), e.begin(), e.end());
    }
    return f;
}

class NppOverFake : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(nppStartServer(&server, nullptr, nullptr, &log, nppCallback), DWORD{nppOk}); }
    void TearDown() override {
        nppReleaseServer(server);
        fake.pump();   // the listener's end frees the server
    }
    // Delivers the frame cut at the given points to a fresh client of the server.
    void deliver(const Bytes& frame, const std::vector<size_t>& cuts) {
        FakeP2p::Link& link = fake.connectIndication(*fake.listener());
        size_t from = 0;
        for (size_t cut : cuts) {
            fake.data(link, Bytes(frame.begin() + from, frame.begin() + cut));
            from = cut;
        }
        fake.data(link, Bytes(frame.begin() + from, frame.end()));
        fake.event(link, nfcEventDisconnected);
        fake.pump();
    }
    PairedP2p fake;
    NppLog log;
    NppServerHandle server = nullptr;
};

const std::vector<Bytes> kEntries = {{0xD1, 0x01, 0x03, 'T', 'a', 'b', 'c'}, {0xD1, 0x01, 0x01, 'U', 0x04}};

TEST_F(NppOverFake, AFrameCutAtAnyPointDeliversTheSameEntries) {
    const Bytes frame = frameOf(kEntries);
    for (size_t cut = 6; cut < frame.size(); ++cut) {
        SCOPED_TRACE(cut);
        log.messages.clear();
        deliver(frame, {cut});
        EXPECT_EQ(log.messages, kEntries);
    }
}

TEST_F(NppOverFake, RandomFragmentsDeliverTheSameEntries) {
    const std::vector<Bytes> entries = {Bytes(300, 0xA5), Bytes(1, 0x01), Bytes(77, 0x5A)};
    const Bytes frame = frameOf(entries);
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<size_t> cuts;
        for (size_t at = 6 + random() % 40; at < frame.size(); at += 1 + random() % 40) cuts.push_back(at);
        log.messages.clear();
        deliver(frame, cuts);
        EXPECT_EQ(log.messages, entries) << "round " << round;
    }
}

TEST_F(NppOverFake, VersionTwoIsIgnoredAndTheConnectionStays) {
    FakeP2p::Link& link = fake.connectIndication(*fake.listener());
    fake.data(link, frameOf(kEntries, 2));
    fake.pump();
    EXPECT_TRUE(log.messages.empty());
    EXPECT_EQ(link.disconnects, 0);
    EXPECT_EQ(link.dataResponses, 1);
    fake.data(link, frameOf(kEntries));
    fake.pump();
    EXPECT_EQ(log.messages, kEntries);
}

// The server ends a client that sends what it cannot take; that connection's end (its hangup,
// delivered) returns the server to waiting, and the next client is served.
TEST_F(NppOverFake, AClientSendingAnOversizedEntryIsEndedAndTheNextIsServed) {
    FakeP2p::Link& first = fake.connectIndication(*fake.listener());
    fake.data(first, {1, 0, 0, 0, 1, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xD1});
    fake.pump();
    EXPECT_TRUE(log.messages.empty());
    EXPECT_EQ(first.disconnects, 1);
    EXPECT_TRUE(first.ended);
    EXPECT_EQ(fake.listener()->disconnects, 0);
    FakeP2p::Link& next = fake.connectIndication(*fake.listener());
    fake.data(next, frameOf(kEntries));
    fake.pump();
    EXPECT_FALSE(next.refused);
    EXPECT_EQ(log.messages, kEntries);
}

// Stopped or released while the client it ended is still going, the server lives until both of
// its links have ended, and the service starts again.
TEST_F(NppOverFake, StoppingOrReleasingWhileAClientIsEndingWaitsForBothLinks) {
    for (bool release : {false, true}) {
        SCOPED_TRACE(release ? "release" : "stop");
        std::vector<FakeP2p::Link*> going;
        const auto disconnect = fake.onDisconnect;
        fake.onDisconnect = [&going](FakeP2p::Link& link) { going.push_back(&link); };
        FakeP2p::Link& client = fake.connectIndication(*fake.listener());
        fake.data(client, {1, 0, 0, 0, 1, 1, 0xFF, 0xFF, 0xFF, 0xFF});
        fake.pump();
        ASSERT_EQ(going, std::vector<FakeP2p::Link*>{&client});
        EXPECT_EQ(release ? nppReleaseServer(server) : nppStopServer(server), DWORD{nppOk});
        fake.hangup(client);
        fake.pump();
        ASSERT_EQ(going.size(), 2u);  // then the listener
        EXPECT_EQ(going.back(), fake.listener());
        fake.hangup(*going.back());
        fake.pump();
        if (!release) {
            EXPECT_EQ(log.events.back(), DWORD{nppEventServerEnded});
        }
        fake.onDisconnect = disconnect;
        EXPECT_EQ(nppReleaseServer(server), DWORD{nppBadParameter});  // no longer the current server
        ASSERT_EQ(nppStartServer(&server, nullptr, nullptr, &log, nppCallback), DWORD{nppOk});
    }
}

// A synchronous push from inside an event would wait for itself: it fails with an NPP result.
TEST_F(NppOverFake, APushOnTheEventThreadFailsWithAnNppResult) {
    DWORD nested = nppOk;
    struct Ctx {
        DWORD* nested;
    } ctx{&nested};
    const auto cb = [](void* c, DWORD event, BYTE*, DWORD) -> DWORD {
        if (event == nppEventClientConnected) {
            const TNppEntry entry{reinterpret_cast<const BYTE*>("\xD0\x00\x00"), 3, 1};
            *static_cast<Ctx*>(c)->nested = nppPush(nullptr, 128, nullptr, nullptr, &entry, 1, 0);
        }
        return 0;
    };
    nppReleaseServer(server);
    fake.pump();
    ASSERT_EQ(nppStartServer(&server, nullptr, nullptr, &ctx, cb), DWORD{nppOk});
    fake.connectIndication(*fake.listener());
    fake.pump();
    EXPECT_EQ(nested, DWORD{nppFailed});
}

// A push answered with data it did not ask for fails, once, and its link is ended with it.
TEST_F(NppOverFake, AnAsynchronousPushEndsOnceWhateverThePeerDoes) {
    std::vector<DWORD> ends;
    const auto cb = [](void* c, DWORD event, BYTE*, DWORD) -> DWORD {
        static_cast<std::vector<DWORD>*>(c)->push_back(event);
        return 0;
    };
    fake.onConnect = [this](FakeP2p::Link& link) {
        fake.connected(link);
        fake.data(link, {1, 2, 3});  // the server speaks first
    };
    fake.onData = [](FakeP2p::Link&, const FakeP2p::Bytes&) {};
    const Bytes ndef{0xD0, 0, 0};
    const TNppEntry entry{ndef.data(), 3, 1};
    ASSERT_EQ(nppPush(nullptr, 128, cb, &ends, &entry, 1, 1), DWORD{nppOk});
    fake.pump();
    FakeP2p::Link& link = *fake.last();
    fake.transmitted(link);
    fake.event(link, nfcEventDisconnected);
    fake.pump();
    EXPECT_EQ(ends, std::vector<DWORD>{nppEventPushFailed});
    EXPECT_EQ(link.disconnects, 1);
}

TEST_F(NppOverFake, BadEntriesAreRefusedBeforeAnyConnection) {
    const Bytes ndef{0xD0, 0, 0};
    const TNppEntry cases[] = {{ndef.data(), 3, 3}, {nullptr, 3, 1}, {ndef.data(), 0, 1}};
    for (const TNppEntry& entry : cases) EXPECT_EQ(nppPush(nullptr, 128, nullptr, nullptr, &entry, 1, 0), DWORD{nppBadParameter});
    EXPECT_EQ(fake.last()->listener, true);  // no connection was asked for
}

TEST_F(NppOverFake, APushOfTwoEntriesLargerThanTheMiuArrivesAsTwoMessages) {
    const std::vector<Bytes> entries = {Bytes(200, 0x11), Bytes(90, 0x22)};
    const TNppEntry table[] = {{entries[0].data(), 200, 1}, {entries[1].data(), 90, 2}};
    EXPECT_EQ(nppPush(nullptr, 128, nullptr, nullptr, table, 2, 0), DWORD{nppOk});
    EXPECT_EQ(log.messages, entries);
    FakeP2p::Link* accepted = fake.last();
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->dataResponses, 3);  // 295 bytes in MIU-sized fragments
}

TEST_F(NppOverFake, ReleasingARunningServerStopsItAndItsLinksEndFreesIt) {
    FakeP2p::Link& listener = *fake.listener();
    FakeP2p::Link& link = fake.connectIndication(listener);
    fake.pump();
    const size_t seen = log.events.size();
    EXPECT_EQ(nppReleaseServer(server), DWORD{nppOk});
    EXPECT_EQ(link.disconnects, 1);
    fake.data(link, frameOf({{0xD0, 0, 0}}));
    fake.pump();
    EXPECT_EQ(listener.disconnects, 1);
    EXPECT_TRUE(listener.ended);
    EXPECT_EQ(log.events.size(), seen);
    EXPECT_EQ(nppStartServer(&server, nullptr, nullptr, &log, nppCallback), DWORD{nppOk});
}

TEST_F(NppOverFake, OnlyTheCurrentServerIsReleasedAndASecondStartIsRefused) {
    NppServerHandle other = nullptr;
    EXPECT_EQ(nppStartServer(&other, nullptr, nullptr, &log, nppCallback), DWORD{nppFailed});
    EXPECT_EQ(nppReleaseServer(reinterpret_cast<NppServerHandle>(&log)), DWORD{nppBadParameter});
}

// ---- Handover ------------------------------------------------------------------------------

struct HoLog {
    std::vector<DWORD> events;
    Bytes request;
    HandoverServerHandle server = nullptr;
    Bytes select;
};

DWORD hoCallback(void* context, DWORD event, BYTE* data, DWORD length) {
    auto* log = static_cast<HoLog*>(context);
    log->events.push_back(event);
    if (event == handoverEventRequestReceived) {
        log->request.assign(data, data + length);
        if (!log->select.empty()) handoverSendSelect(log->server, log->select.data(), static_cast<DWORD>(log->select.size()));
    }
    return 0;
}

class HandoverOverFake : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(handoverStartServer(&log.server, nullptr, &log, hoCallback)); }
    void TearDown() override {
        EXPECT_TRUE(handoverReleaseServer(log.server));
        fake.pump();
    }
    PairedP2p fake;
    HoLog log;
};

TEST_F(HandoverOverFake, ARequestGetsTheSelectBack) {
    log.select = {0xD1, 0x02, 0x01, 'H', 's', 0x12};
    const Bytes request{0xD1, 0x02, 0x01, 'H', 'r', 0x12};
    Bytes response(64, 0);
    WORD length = 64;
    EXPECT_EQ(handoverSendRequest(nullptr, nullptr, request.data(), 6, response.data(), &length), nfcStatusOk);
    EXPECT_EQ(log.request, request);
    ASSERT_EQ(length, 6);
    EXPECT_EQ(Bytes(response.begin(), response.begin() + 6), log.select);
    EXPECT_EQ(std::count(log.events.begin(), log.events.end(), DWORD{handoverEventSelectSent}), 1);
}

TEST_F(HandoverOverFake, ASelectLargerThanTheBufferFailsAfterTheWaitAndStillDisconnects) {
    log.select = Bytes(40, 0x33);
    const Bytes request{0xD1, 0x02, 0x01, 'H', 'r', 0x12};
    Bytes response(16, 0xEE);
    WORD length = 16;
    EXPECT_EQ(handoverSendRequest(nullptr, nullptr, request.data(), 6, response.data(), &length), nfcStatusFailed);
    EXPECT_EQ(fake.timeouts(), 1);
    EXPECT_EQ(response, Bytes(16, 0xEE));
    EXPECT_EQ(std::count(log.events.begin(), log.events.end(), DWORD{handoverEventClientDisconnected}), 1);
}

// LLCP still holds the request when both waits have run out: it sends from the client's own
// copy, not from the caller's buffer, which is the caller's again once the call returns.
TEST_F(HandoverOverFake, ARequestLeftWithLlcpAfterTheWaitsIsNoLongerTheCallersBuffer) {
    const auto answer = fake.onData;
    const auto disconnect = fake.onDisconnect;
    fake.onData = [](FakeP2p::Link&, const FakeP2p::Bytes&) {};  // never confirmed, never answered
    fake.onDisconnect = [](FakeP2p::Link&) {};                    // nor is the disconnection
    Bytes request{0xD1, 0x02, 0x01, 'H', 'r', 0x12};
    Bytes response(16);
    WORD length = 16;
    EXPECT_EQ(handoverSendRequest(nullptr, nullptr, request.data(), 6, response.data(), &length), nfcStatusFailed);
    EXPECT_EQ(fake.timeouts(), 2);
    ASSERT_TRUE(fake.last() && fake.peer(*fake.last()));
    FakeP2p::Link* client = fake.peer(*fake.last());
    std::fill(request.begin(), request.end(), 0);  // the caller's buffer goes on to other things
    fake.transmitted(*client);
    fake.hangup(*client);
    fake.pump();
    EXPECT_EQ(client->changedBeforeConfirmed, 0);
    EXPECT_EQ(client->sent, std::vector<Bytes>{(Bytes{0xD1, 0x02, 0x01, 'H', 'r', 0x12})});
    fake.onData = answer;
    fake.onDisconnect = disconnect;
}

// The Select is the request's one answer, sent from the server's own copy: the application may
// reuse its buffer as soon as the call returned, and a second Select before the first went out
// is refused.
TEST_F(HandoverOverFake, TheSelectIsSentFromTheServersCopyAndOnlyOnce) {
    const auto answer = fake.onData;
    fake.onData = [](FakeP2p::Link&, const FakeP2p::Bytes&) {};  // the transmission comes later
    FakeP2p::Link& link = fake.connectIndication(*fake.listener());
    fake.data(link, {1, 2, 3});
    fake.pump();
    Bytes select{0xD1, 0x02, 0x01, 'H', 's', 0x12};
    EXPECT_TRUE(handoverSendSelect(log.server, select.data(), 6));
    std::fill(select.begin(), select.end(), 0);
    EXPECT_FALSE(handoverSendSelect(log.server, select.data(), 6));
    fake.transmitted(link);
    fake.pump();
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.changedBeforeConfirmed, 0);
    EXPECT_EQ(std::count(log.events.begin(), log.events.end(), DWORD{handoverEventSelectSent}), 1);
    fake.onData = answer;
    fake.event(link, nfcEventDisconnected);
    fake.pump();
}

TEST_F(HandoverOverFake, ASecondRequestBeforeTheSelectIsRefusedButItsBufferReturns) {
    FakeP2p::Link& link = fake.connectIndication(*fake.listener());
    fake.data(link, {1, 2, 3});
    fake.data(link, {4, 5, 6});
    fake.pump();
    EXPECT_EQ(std::count(log.events.begin(), log.events.end(), DWORD{handoverEventRequestReceived}), 1);
    EXPECT_EQ(log.request, (Bytes{1, 2, 3}));
    EXPECT_EQ(link.dataResponses, 2);
    EXPECT_TRUE(handoverSendSelect(log.server, log.request.data(), 3));
    fake.event(link, nfcEventDisconnected);
    fake.pump();
}

TEST_F(HandoverOverFake, TheMiuComesFromTheCapabilitiesWithinLinkLimits) {
    const std::pair<DWORD, DWORD> cases[] = {{4000, 2048}, {50, 128}, {248, 248}};
    const auto disconnect = fake.onDisconnect;   // the server's release still ends its listener
    for (auto [frame, miu] : cases) {
        fake.frameSize = frame;
        fake.onConnect = [](FakeP2p::Link&) {};
        fake.onDisconnect = [](FakeP2p::Link&) {};
        HandoverClientHandle client = nullptr;
        HoLog clientLog;
        EXPECT_EQ(handoverConnect(nullptr, nullptr, &client, &clientLog, hoCallback, 1), nfcStatusPending);
        EXPECT_EQ(fake.last()->miu, miu);
        EXPECT_EQ(fake.last()->window, 1u);
        fake.event(*fake.last(), nfcEventConnectFailed, 0x402);
        fake.pump();
        EXPECT_EQ(clientLog.events, std::vector<DWORD>{handoverEventFailed});
    }
    EXPECT_FALSE(handoverReleaseServer(reinterpret_cast<HandoverServerHandle>(&log)));
    fake.onDisconnect = disconnect;
}

}  // namespace
