// SNEP client and server over the scripted P2P layer: fragmentation with CONTINUE, the default
// server's rules, broken requests, length limits and records outliving their callers.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "p2p/snepcodec.h"
#include "paired_p2p.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ServerLog {
    std::vector<DWORD> events;
    Bytes put, get;
    SnepServerHandle server = nullptr;
    Bytes answer;            // sent with snepSendResponse when set
    NfcApiStatus answerStatus = nfcStatusOk;
    NfcApiStatus nestedStatus = nfcStatusOk;
    bool nestedConnect = false;
};

DWORD serverCallback(void* context, DWORD event, void* report) {
    auto* log = static_cast<ServerLog*>(context);
    log->events.push_back(event);
    auto* r = static_cast<TSnepServerReport*>(report);
    if (event == snepEventPutReceived) log->put.assign(r->put.ndef, r->put.ndef + r->put.ndefLength);
    if (event == snepEventGetReceived) {
        log->get.assign(r->get.ndef, r->get.ndef + r->get.ndefLength);
        if (!log->answer.empty())
            log->answerStatus = snepSendResponse(log->server, SNEP_RESP_SUCCESS, log->answer.data(),
                                                 static_cast<DWORD>(log->answer.size()));
    }
    if (event == snepEventConnected && log->nestedConnect) {
        SnepClientHandle nested = nullptr;
        log->nestedStatus = snepConnect(&nested, nullptr, nullptr, 4, 128, nullptr, nullptr, 0);
    }
    return 0;
}

Bytes pattern(size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), uint8_t{1});
    return b;
}

size_t count(const std::vector<DWORD>& events, DWORD event) {
    return static_cast<size_t>(std::count(events.begin(), events.end(), event));
}

class SnepOverFake : public ::testing::Test {
protected:
    void TearDown() override {
        fake.pump();  // the final events of released clients free them
        if (log.server) snepReleaseServer(log.server);
        fake.pump();  // the listener's end frees the server
        snepSetMaxLength(SNEP_DEFAULT_MAX_LENGTH);
    }
    void startServer(const char* name, BYTE sap, DWORD flags = 0) {
        ASSERT_EQ(snepStartServer(&log.server, nullptr, name, sap, 128, &log, serverCallback), nfcStatusOk);
        if (flags) snepServerSetFlag(log.server, flags);
    }
    SnepClientHandle connect(BYTE sap = 4) {
        SnepClientHandle client = nullptr;
        EXPECT_EQ(snepConnect(&client, nullptr, nullptr, sap, 128, nullptr, nullptr, 0), nfcStatusOk);
        return client;
    }
    // A raw client at the server: the answers the server sends come back in its link's log.
    FakeP2p::Link& rawClient() {
        FakeP2p::Link& link = fake.connectIndication(*fake.listener());
        fake.pump();
        return link;
    }
    PairedP2p fake;
    ServerLog log;
};

TEST_F(SnepOverFake, AFragmentedPutIsContinuedDeliveredOnceAndAnsweredSuccess) {
    startServer(nullptr, 4);
    SnepClientHandle client = connect();
    ASSERT_NE(client, nullptr);
    const Bytes ndef = pattern(400);
    EXPECT_EQ(snepPut(client, ndef.data(), static_cast<DWORD>(ndef.size())), nfcStatusOk);

    EXPECT_EQ(count(log.events, snepEventPutReceived), 1u);
    EXPECT_EQ(log.put, ndef);
    EXPECT_GE(count(log.events, snepEventProgress), 1u);
    FakeP2p::Link& served = *fake.last();  // the accepted side
    FakeP2p::Link* clientLink = fake.peer(served);
    ASSERT_NE(clientLink, nullptr);
    // Every fragment fits the peer's MIU; the server asked for the rest once and answered 81.
    for (const Bytes& fragment : clientLink->sent) EXPECT_LE(fragment.size(), fake.remoteMiu);
    EXPECT_EQ(served.sent.front(), (Bytes{0x10, 0x80, 0, 0, 0, 0}));
    EXPECT_EQ(served.sent.back(), (Bytes{0x10, 0x81, 0, 0, 0, 0}));
    EXPECT_EQ(served.dataResponses, static_cast<int>(clientLink->sent.size()));
    EXPECT_EQ(snepDisconnect(client), nfcStatusOk);
    EXPECT_EQ(snepReleaseClient(client), nfcStatusOk);
}

TEST_F(SnepOverFake, TheDefaultServerAnswersGetWithBadRequest) {
    startServer("urn:nfc:sn:snep", 0);
    SnepClientHandle client = connect();
    Bytes out(16, 0xEE);
    DWORD acceptable = static_cast<DWORD>(out.size());
    const Bytes request = pattern(4);
    EXPECT_EQ(snepGet(client, request.data(), 4, out.data(), &acceptable), nfcStatusFailed);
    EXPECT_EQ(fake.last()->sent.back(), (Bytes{0x10, 0xC2, 0, 0, 0, 0}));
    EXPECT_EQ(count(log.events, snepEventGetReceived), 0u);
    snepReleaseClient(client);
}

struct BrokenRequest {
    const char* name;
    Bytes request;
    uint8_t answer;
};

TEST_F(SnepOverFake, BrokenFirstFragmentsGetTheirAnswer) {
    const BrokenRequest cases[] = {
        {"version 0x20", {0x20, 0x02, 0, 0, 0, 0}, SNEP_RESP_UNSUPPORTED_VERSION},
        {"five bytes", {0x10, 0x02, 0, 0, 0}, SNEP_RESP_REJECT},
        {"GET without its acceptable length", {0x10, 0x01, 0, 0, 0, 2, 0, 0}, SNEP_RESP_BAD_REQUEST},
        {"longer than the limit", {0x10, 0x02, 0, 1, 0, 1, 0xAA}, SNEP_RESP_EXCESS_DATA},
    };
    startServer("urn:nfc:sn:other", 0);
    for (const BrokenRequest& c : cases) {
        SCOPED_TRACE(c.name);
        FakeP2p::Link& link = rawClient();
        fake.data(link, c.request);
        fake.pump();
        ASSERT_FALSE(link.sent.empty());
        EXPECT_EQ(link.sent.back(), (Bytes{0x10, c.answer, 0, 0, 0, 0}));
        EXPECT_EQ(link.dataResponses, 1);
        EXPECT_TRUE(log.put.empty());
        fake.transmitted(link);
        fake.event(link, nfcEventDisconnected);
        fake.pump();
    }
}

TEST_F(SnepOverFake, SendResponseRefusesCodesThatAreNotResponses) {
    startServer("urn:nfc:sn:other", 0, SNEP_SERVER_APPLICATION_RESPONDS);
    EXPECT_EQ(snepSendResponse(log.server, SNEP_RESP_UNSUPPORTED_VERSION, nullptr, 0), nfcStatusBadParameter);
    EXPECT_EQ(snepSendResponse(log.server, SNEP_RESP_CONTINUE, nullptr, 0), nfcStatusBadParameter);
    EXPECT_EQ(snepSendResponse(log.server, SNEP_RESP_SUCCESS, nullptr, 0), nfcStatusFailed);  // not in RX
    EXPECT_EQ(snepSendResponse(nullptr, SNEP_RESP_SUCCESS, nullptr, 0), nfcStatusFailed);
}

TEST_F(SnepOverFake, AGetAnswerLongerThanAcceptableLeavesTheBufferUntouched) {
    startServer("urn:nfc:sn:other", 0, SNEP_SERVER_APPLICATION_RESPONDS);
    log.answer = pattern(20);
    SnepClientHandle client = connect(0x10);
    Bytes out(32, 0xEE);
    DWORD acceptable = 10;
    const Bytes request = pattern(3);
    EXPECT_EQ(snepGet(client, request.data(), 3, out.data(), &acceptable), nfcStatusBadParameter);
    EXPECT_EQ(log.get, request);
    EXPECT_EQ(log.answerStatus, nfcStatusOk);
    EXPECT_EQ(out, Bytes(32, 0xEE));
    EXPECT_EQ(acceptable, 10u);

    // One that fits arrives whole and its length is written back.
    acceptable = 20;
    EXPECT_EQ(snepGet(client, request.data(), 3, out.data(), &acceptable), nfcStatusOk);
    EXPECT_EQ(acceptable, 20u);
    EXPECT_TRUE(std::equal(log.answer.begin(), log.answer.end(), out.begin()));
    EXPECT_EQ(out[20], 0xEE);
    snepReleaseClient(client);
}

TEST_F(SnepOverFake, AFragmentedGetAnswerIsContinuedFromABufferThatLastsUntilItIsSent) {
    startServer("urn:nfc:sn:other", 0, SNEP_SERVER_APPLICATION_RESPONDS);
    log.answer = pattern(300);
    SnepClientHandle client = connect(0x10);
    Bytes out(300);
    DWORD acceptable = 300;
    EXPECT_EQ(snepGet(client, nullptr, 0, out.data(), &acceptable), nfcStatusOk);
    EXPECT_EQ(out, log.answer);
    ASSERT_TRUE(fake.last() && fake.peer(*fake.last()));
    const FakeP2p::Link& link = *fake.peer(*fake.last());   // the client's end
    ASSERT_EQ(link.sent.size(), 2u);
    EXPECT_EQ(link.sent[1], (Bytes{SNEP_VERSION, SNEP_REQ_CONTINUE, 0, 0, 0, 0}));
    EXPECT_EQ(link.confirmed, 2u);
    EXPECT_EQ(link.changedBeforeConfirmed, 0);
    snepReleaseClient(client);
}

TEST_F(SnepOverFake, AClientFailsAResponseLongerThanTheLimit) {
    startServer("urn:nfc:sn:other", 0, SNEP_SERVER_APPLICATION_RESPONDS);
    log.answer = pattern(200);
    SnepClientHandle client = connect(0x10);
    snepSetMaxLength(100);
    Bytes out(300, 0xEE);
    DWORD acceptable = 300;
    EXPECT_EQ(snepGet(client, nullptr, 0, out.data(), &acceptable), nfcStatusFailed);
    EXPECT_EQ(out, Bytes(300, 0xEE));
    snepReleaseClient(client);
}

TEST_F(SnepOverFake, ATimedOutConnectLivesUntilItsLinksLastEvent) {
    fake.onConnect = [](FakeP2p::Link&) {};
    fake.onDisconnect = [](FakeP2p::Link&) {};
    SnepClientHandle client = reinterpret_cast<SnepClientHandle>(1);
    EXPECT_EQ(snepConnect(&client, nullptr, nullptr, 4, 128, nullptr, nullptr, 0), nfcStatusFailed);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(fake.timeouts(), 1);
    FakeP2p::Link& link = *fake.last();
    EXPECT_EQ(link.disconnects, 1);
    // The late connection and its end find the record still there; the end frees it.
    fake.connected(link);
    fake.event(link, nfcEventDisconnected);
    fake.pump();
}

TEST_F(SnepOverFake, ReleasingARunningServerStopsItAndItsLinksEndFreesIt) {
    startServer(nullptr, 4);
    FakeP2p::Link& listener = *fake.listener();
    FakeP2p::Link& client = rawClient();
    FakeP2p::Link& accepted = *fake.last();
    const size_t seen = log.events.size();
    EXPECT_EQ(snepReleaseServer(log.server), nfcStatusOk);
    EXPECT_EQ(accepted.disconnects, 1);
    // The client's going and the listener's end still find the record; the end frees it,
    // without a word to the application that let go.
    fake.data(accepted, {SNEP_VERSION, SNEP_REQ_PUT, 0, 0, 0, 0});
    fake.pump();
    EXPECT_EQ(listener.disconnects, 1);
    EXPECT_TRUE(listener.ended);
    EXPECT_EQ(log.events.size(), seen);
    EXPECT_TRUE(client.sent.empty());
    log.server = nullptr;
    // The service is free for the next server.
    startServer(nullptr, 4);
}

// A client that answers the first fragment of a GET response with junk instead of CONTINUE is
// ended; that connection's end (its hangup, delivered) returns the server to waiting, and the
// client that comes next is served.
TEST_F(SnepOverFake, AClientAnsweringAResponseWithJunkIsEndedAndTheNextIsServed) {
    startServer("urn:nfc:sn:other", 0, SNEP_SERVER_APPLICATION_RESPONDS);
    log.answer = pattern(300);
    FakeP2p::Link& first = rawClient();
    fake.data(first, {SNEP_VERSION, SNEP_REQ_GET, 0, 0, 0, 4, 0, 0, 1, 0});
    fake.pump();
    ASSERT_EQ(first.sent.size(), 1u);  // the first fragment of the response
    fake.data(first, {0x42});
    fake.pump();
    EXPECT_EQ(first.disconnects, 1);
    EXPECT_TRUE(first.ended);
    EXPECT_EQ(count(log.events, snepEventClientDisconnected), 1u);
    FakeP2p::Link& next = rawClient();
    EXPECT_FALSE(next.refused);
    fake.data(next, {SNEP_VERSION, SNEP_REQ_PUT, 0, 0, 0, 3, 0xD0, 0, 0});
    fake.pump();
    EXPECT_EQ(log.put, (Bytes{0xD0, 0, 0}));
}

// Stopped or released while the client it ended is still going, the server waits for both of
// its links, and the service starts again.
TEST_F(SnepOverFake, StoppingOrReleasingWhileAClientIsEndingWaitsForBothLinks) {
    for (bool release : {false, true}) {
        SCOPED_TRACE(release ? "release" : "stop");
        startServer("urn:nfc:sn:other", 0);
        std::vector<FakeP2p::Link*> going;
        const auto disconnect = fake.onDisconnect;
        fake.onDisconnect = [&going](FakeP2p::Link& link) { going.push_back(&link); };
        FakeP2p::Link& client = rawClient();
        fake.data(client, {0x20, SNEP_REQ_PUT, 0, 0, 0, 0});  // answered 0xE1
        fake.dataResult = nfcStatusFailed;                     // which cannot be sent: the client is ended
        fake.pump();
        ASSERT_EQ(going, std::vector<FakeP2p::Link*>{&client});
        fake.dataResult = nfcStatusOk;
        const size_t seen = log.events.size();
        EXPECT_EQ(release ? snepReleaseServer(log.server) : snepStopServer(log.server), nfcStatusOk);
        fake.hangup(client);
        fake.pump();
        ASSERT_EQ(going.size(), 2u);  // then the listener
        fake.hangup(*going.back());
        fake.pump();
        if (release) {
            EXPECT_EQ(log.events.size(), seen);  // the application that let go hears nothing
        } else {
            EXPECT_EQ(log.events.back(), DWORD{snepEventEnded});
        }
        fake.onDisconnect = disconnect;
        log.server = nullptr;
    }
    startServer("urn:nfc:sn:other", 0);
}

// Data the server sends while the client asked nothing are dropped, not reported as the failure
// of a request: the connection goes on and the next request succeeds.
// The server's answer overtakes the confirmation of the request it answers (LLCP may hold its
// acknowledgement back): the next request is built apart from the one LLCP still sends.
TEST_F(SnepOverFake, ARequestStartedBeforeTheLastSendIsConfirmedLeavesThatSendAlone) {
    startServer(nullptr, 4);
    SnepClientHandle client = connect();
    ASSERT_NE(client, nullptr);
    FakeP2p::Link* clientLink = fake.peer(*fake.last());
    fake.onData = [this, clientLink](FakeP2p::Link& link, const Bytes& bytes) {
        if (&link != clientLink) fake.transmitted(link);
        if (FakeP2p::Link* other = fake.peer(link)) fake.data(*other, bytes);
    };
    const Bytes first = pattern(40), second(20, 0x55);
    EXPECT_EQ(snepPut(client, first.data(), 40), nfcStatusOk);
    EXPECT_EQ(snepPut(client, second.data(), 20), nfcStatusOk);
    ASSERT_EQ(clientLink->sent.size(), 2u);
    fake.transmitted(*clientLink);
    fake.transmitted(*clientLink);
    fake.pump();
    EXPECT_EQ(clientLink->confirmed, 2u);
    EXPECT_EQ(clientLink->changedBeforeConfirmed, 0);
    EXPECT_EQ(log.put, second);
    snepReleaseClient(client);
}

TEST_F(SnepOverFake, UnsolicitedDataFailNoRequest) {
    startServer(nullptr, 4);
    std::vector<DWORD> events;
    const auto cb = [](void* c, DWORD event, void*) -> DWORD {
        static_cast<std::vector<DWORD>*>(c)->push_back(event);
        return 0;
    };
    SnepClientHandle client = nullptr;
    ASSERT_EQ(snepConnect(&client, nullptr, nullptr, 4, 128, &events, cb, 1), nfcStatusPending);
    fake.pump();
    ASSERT_EQ(events, std::vector<DWORD>{snepEventConnected});
    FakeP2p::Link& clientLink = *fake.peer(*fake.last());
    fake.data(clientLink, {SNEP_VERSION, SNEP_RESP_SUCCESS, 0, 0, 0, 0});
    fake.pump();
    EXPECT_EQ(events, std::vector<DWORD>{snepEventConnected});
    EXPECT_EQ(clientLink.dataResponses, 1);
    const Bytes ndef = pattern(8);
    EXPECT_EQ(snepPut(client, ndef.data(), 8), nfcStatusPending);
    fake.pump();
    EXPECT_EQ(events.back(), DWORD{snepEventResponse});
    EXPECT_EQ(log.put, ndef);
    snepReleaseClient(client);
}

TEST_F(SnepOverFake, ReleasingAConnectedClientDisconnectsAndFreesOnTheFinalEvent) {
    startServer(nullptr, 4);
    SnepClientHandle client = connect();
    FakeP2p::Link& link = *fake.peer(*fake.last());
    EXPECT_EQ(snepReleaseClient(client), nfcStatusOk);
    EXPECT_EQ(link.disconnects, 1);
    fake.pump();
    EXPECT_EQ(count(log.events, snepEventClientDisconnected), 1u);
}

TEST_F(SnepOverFake, ASecondServerIsRefusedAndTheFirstStaysCurrent) {
    startServer(nullptr, 4);
    SnepServerHandle second = nullptr;
    ServerLog other;
    EXPECT_EQ(snepStartServer(&second, nullptr, nullptr, 5, 128, &other, serverCallback), nfcStatusFailed);
    EXPECT_EQ(second, nullptr);
    SnepClientHandle client = connect();
    const Bytes ndef = pattern(8);
    EXPECT_EQ(snepPut(client, ndef.data(), 8), nfcStatusOk);
    EXPECT_EQ(log.put, ndef);
    snepReleaseClient(client);
    fake.pump();
}

TEST_F(SnepOverFake, ASynchronousCallOnTheEventThreadIsRefused) {
    startServer(nullptr, 4);
    log.nestedConnect = true;
    SnepClientHandle client = connect();
    EXPECT_EQ(log.nestedStatus, nfcStatusWrongState);
    snepReleaseClient(client);
    fake.pump();
}

TEST_F(SnepOverFake, ATransferRunsItsEntriesInTurn) {
    startServer("urn:nfc:sn:other", 0, SNEP_SERVER_APPLICATION_RESPONDS);
    log.answer = pattern(5);
    SnepClientHandle client = connect(0x10);
    const Bytes put = pattern(7);
    Bytes out(8, 0);
    TSnepTransferEntry entries[] = {{put.data(), 7, SNEP_TRANSFER_PUT, nullptr, 0},
                                    {put.data(), 2, SNEP_TRANSFER_GET, out.data(), 8}};
    EXPECT_EQ(snepTransfer(client, entries, 2), nfcStatusFailed);  // the PUT is left to the application
    TSnepTransferEntry bad = {put.data(), 1, 3, nullptr, 0};
    EXPECT_EQ(snepTransfer(client, &bad, 1), nfcStatusBadParameter);
    snepReleaseClient(client);
    fake.pump();
}

}  // namespace
