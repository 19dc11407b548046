// SNEP, NPP and connection handover once more, now over two real LLCP engines in loopback: the
// client on the initiator A, the server on the target B, every PDU between them carried in
// virtual time.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "loopback_p2p.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t from) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), from);
    return b;
}

// What a server application saw, and what it answers a GET with.
struct ServerApp {
    std::vector<DWORD> events;
    std::vector<Bytes> messages;
    Bytes answer;
    SnepServerHandle snep = nullptr;
    HandoverServerHandle handover = nullptr;

    static DWORD snepCallback(void* context, DWORD event, void* report) {
        auto* app = static_cast<ServerApp*>(context);
        app->events.push_back(event);
        auto* r = static_cast<TSnepServerReport*>(report);
        if (event == snepEventPutReceived) {
            app->messages.emplace_back(r->put.ndef, r->put.ndef + r->put.ndefLength);
            snepSendResponse(app->snep, SNEP_RESP_SUCCESS, nullptr, 0);
        }
        if (event == snepEventGetReceived) {
            app->messages.emplace_back(r->get.ndef, r->get.ndef + r->get.ndefLength);
            snepSendResponse(app->snep, SNEP_RESP_SUCCESS, app->answer.data(), static_cast<DWORD>(app->answer.size()));
        }
        return 0;
    }
    static DWORD bytesCallback(void* context, DWORD event, BYTE* data, DWORD length) {
        auto* app = static_cast<ServerApp*>(context);
        app->events.push_back(event);
        if (event == nppEventMessage || event == handoverEventRequestReceived) app->messages.emplace_back(data, data + length);
        if (event == handoverEventRequestReceived)
            handoverSendSelect(app->handover, app->answer.data(), static_cast<DWORD>(app->answer.size()));
        return 0;
    }
};

using ServicesLoopback = ServicesOverLoopback;

TEST_F(ServicesLoopback, SnepPutsAndGetsInFragmentsBetweenTwoEngines) {
    ServerApp app;
    app.answer = pattern(300, 40);   // more than one fragment back
    ASSERT_EQ(snepStartServer(&app.snep, side(b), "urn:nfc:sn:loop-snep", 0, 128, &app, &ServerApp::snepCallback),
              nfcStatusOk);
    snepServerSetFlag(app.snep, SNEP_SERVER_APPLICATION_RESPONDS);
    SnepClientHandle client = nullptr;
    ASSERT_EQ(snepConnect(&client, listenerOf(a), "urn:nfc:sn:loop-snep", 0, 128, nullptr, nullptr, 0), nfcStatusOk);
    const Bytes put = pattern(500, 1), request = pattern(10, 9);
    EXPECT_EQ(snepPut(client, put.data(), static_cast<DWORD>(put.size())), nfcStatusOk);
    Bytes output(400, 0xEE);
    DWORD acceptable = static_cast<DWORD>(output.size());
    EXPECT_EQ(snepGet(client, request.data(), static_cast<DWORD>(request.size()), output.data(), &acceptable), nfcStatusOk);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + acceptable), app.answer);
    EXPECT_EQ(app.messages, (std::vector<Bytes>{put, request}));
    EXPECT_EQ(snepDisconnect(client), nfcStatusOk);
    EXPECT_EQ(snepReleaseClient(client), nfcStatusOk);
    pump(200);
    EXPECT_EQ(app.events.back(), DWORD{snepEventClientDisconnected});
    EXPECT_EQ(snepStopServer(app.snep), nfcStatusOk);
    pump(200);
    EXPECT_EQ(app.events.back(), DWORD{snepEventEnded});
    EXPECT_EQ(snepReleaseServer(app.snep), nfcStatusOk);
}

TEST_F(ServicesLoopback, AnNppPushOfTwoEntriesArrivesAsTwoMessages) {
    ServerApp app;
    NppServerHandle server = nullptr;
    ASSERT_EQ(nppStartServer(&server, side(b), nullptr, &app, &ServerApp::bytesCallback), DWORD{nppOk});
    const Bytes first = pattern(30, 1), second = pattern(400, 2);
    const TNppEntry entries[] = {{first.data(), static_cast<DWORD>(first.size()), 1},
                                 {second.data(), static_cast<DWORD>(second.size()), 1}};
    EXPECT_EQ(nppPush(listenerOf(a), 128, nullptr, nullptr, entries, 2, 0), DWORD{nppOk});
    pump(200);
    EXPECT_EQ(app.messages, (std::vector<Bytes>{first, second}));
    EXPECT_EQ(app.events.back(), DWORD{nppEventClientDisconnected});
    EXPECT_EQ(nppStopServer(server), DWORD{nppOk});
    pump(200);
    EXPECT_EQ(app.events.back(), DWORD{nppEventServerEnded});   // and the server record is gone with it
}

// A raw client of A sends the NPP server on B an entry longer than it takes: the server ends the
// connection, its end goes through both engines, and the next client's push is served.
TEST_F(ServicesLoopback, AnNppClientSendingAnOversizedEntryThenReconnectingIsServed) {
    ServerApp app;
    NppServerHandle server = nullptr;
    ASSERT_EQ(nppStartServer(&server, side(b), nullptr, &app, &ServerApp::bytesCallback), DWORD{nppOk});
    std::vector<DWORD> rawEvents;
    const auto raw = [](void*, DWORD event, void*, void* record) -> DWORD {
        auto* c = static_cast<TP2pConnection*>(record);
        static_cast<std::vector<DWORD>*>(c->context)->push_back(event);
        return 0;
    };
    P2pLinkHandle rawLink = nullptr;
    ASSERT_EQ(p2pOps().connectRequest(listenerOf(a), &rawEvents, raw, 2, 128, 1, "com.android.npp", &rawLink),
              nfcStatusOk);
    pump(200);
    ASSERT_EQ(rawEvents.back(), DWORD{nfcEventConnected});
    const Bytes oversized{1, 0, 0, 0, 1, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xD1};
    ASSERT_EQ(p2pOps().dataRequest(rawLink, oversized.data(), static_cast<DWORD>(oversized.size())), nfcStatusOk);
    pump(300);
    EXPECT_EQ(rawEvents.back(), DWORD{nfcEventDisconnected});
    EXPECT_EQ(app.events.back(), DWORD{nppEventClientDisconnected});
    const Bytes entry = pattern(200, 5);
    const TNppEntry entries[] = {{entry.data(), static_cast<DWORD>(entry.size()), 1}};
    EXPECT_EQ(nppPush(listenerOf(a), 128, nullptr, nullptr, entries, 1, 0), DWORD{nppOk});
    pump(200);
    EXPECT_EQ(app.messages, std::vector<Bytes>{entry});
    EXPECT_EQ(nppStopServer(server), DWORD{nppOk});
    pump(200);
    EXPECT_EQ(app.events.back(), DWORD{nppEventServerEnded});
}

TEST_F(ServicesLoopback, AHandoverRequestGetsTheServersSelect) {
    ServerApp app;
    app.answer = pattern(60, 0x30);
    ASSERT_TRUE(handoverStartServer(&app.handover, side(b), &app, &ServerApp::bytesCallback));
    const Bytes request = pattern(40, 0x10);
    Bytes select(128);
    WORD length = static_cast<WORD>(select.size());
    ASSERT_EQ(handoverSendRequest(listenerOf(a), side(a), request.data(), static_cast<DWORD>(request.size()), select.data(),
                                  &length),
              nfcStatusOk);
    select.resize(length);
    EXPECT_EQ(select, app.answer);
    EXPECT_EQ(app.messages, std::vector<Bytes>{request});
    pump(200);
    EXPECT_TRUE(handoverReleaseServer(app.handover));
    pump(200);
    EXPECT_EQ(app.events.back(), DWORD{handoverEventServerEnded});
}

} // namespace
