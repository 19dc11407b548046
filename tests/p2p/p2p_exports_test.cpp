// The nfcP2P exports against the real API core and worker thread, with a scripted stand-in for
// the NFC manager answering the LLCP primitives as the LLCP task would.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api_harness.h"
#include "p2p_events.h"
#include "core/nfaceapi.h"
#include "core/nfcmgr.h"
#include "core/nfaceregistry.h"
#include "p2p/nfcp2p.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kWait = 5000;

class P2pExports : public ::testing::Test {
protected:
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        ASSERT_EQ(nfcCreate(&events, &P2pEvents::callback, &app), nfcStatusOk);
        ASSERT_EQ(nfcRegisterListener(app, &listenerContext, P2P_TARGET, nullptr, &listener), nfcStatusOk);
        // LLCP opens every link it is asked for, on its own record.
        manager().onRequest(NFACE_NFC_LLCP_CON_REQ, [this](FakeNfcManager& f, const FakeNfcManager::Request& r) {
            const auto q = nfaceMsgGet<NFACE_NFC_LLCP_CON_REQ>(r.message);
            const uint16_t cause = q.window > 4 ? 0x411 : 0;
            f.answer(r, nfaceMsgMake<NFACE_NFC_LLCP_CON_CONF>({q.context, cause ? nullptr : nextLower(), cause}));
        });
        manager().onRequest(NFACE_NFC_LLCP_LISTEN_REQ, [this](FakeNfcManager& f, const FakeNfcManager::Request& r) {
            const auto q = nfaceMsgGet<NFACE_NFC_LLCP_LISTEN_REQ>(r.message);
            void* lower = nextLower();
            f.answer(r, nfaceMsgMake<NFACE_NFC_LLCP_LISTEN_CONF>({q.context, lower, 0}));
            if (!q.mode)
                f.deliver(r.app, nfaceMsgMake<NFACE_NFC_LLCP_CON_ACT_IND>({q.context, lower, 2048, 0x10, 0, 2}));
        });
    }
    FakeNfcManager& manager() { return harness.manager(); }
    void* nextLower() { return &lowers[used++ % 8]; }
    void deliver(const TnfcapiMsg& m) {
        manager().inject(manager().appOf(static_cast<TNfcApiInstance*>(static_cast<void*>(app))), m);
        ASSERT_TRUE(manager().sync(kWait));
    }
    // A connection in state 4 with the peer's window 2 and MIU 200.
    P2pLinkHandle connected(void* context = nullptr) {
        P2pLinkHandle h = nullptr;
        const size_t before = events.events.size();
        EXPECT_EQ(nfcP2PConnectRequest(listener, context, nullptr, 2, 128, 0, "urn:nfc:sn:x", &h), nfcStatusOk);
        EXPECT_TRUE(events.waitCount(before + 1));
        deliver(nfaceMsgMake<NFACE_NFC_LLCP_CON_ACT_IND>({h, h->lower, 200, 0x20, 0x30, 2}));
        EXPECT_TRUE(events.waitCount(before + 2));
        return h;
    }
    size_t sent(uint16_t code) { return manager().received(code).size(); }
    // The payload of the first request of the code the manager took.
    template <uint16_t Code>
    typename NfacePayloadOf<Code>::type first() {
        return nfaceMsgGet<Code>(manager().received(Code).at(0).message);
    }

    TraceCapture cap;
    ApiHarness harness;
    P2pEvents events;
    NfcHandle app = nullptr;
    NfcListenerHandle listener = nullptr;
    int listenerContext = 0;
    int lowers[8] = {};
    std::atomic<int> used{0};
};

TEST_F(P2pExports, ConnectArgumentsOutsideTheirRangesAreRefusedWithNothingSent) {
    const std::string longName(129, 'a');
    struct Case {
        const char* what;
        DWORD window, miu;
        const char* name;
    };
    for (const Case& c : {Case{"window 0", 0, 128, nullptr}, Case{"window 16", 16, 128, nullptr},
                          Case{"MIU 127", 1, 127, nullptr}, Case{"MIU 2049", 1, 2049, nullptr},
                          Case{"a 129-byte name", 1, 128, longName.c_str()}}) {
        P2pLinkHandle h = reinterpret_cast<P2pLinkHandle>(&used);
        EXPECT_EQ(nfcP2PConnectRequest(listener, nullptr, nullptr, c.window, c.miu, 0, c.name, &h),
                  nfcStatusBadParameter)
            << c.what;
        EXPECT_EQ(h, nullptr) << c.what;
    }
    EXPECT_EQ(nfcP2PConnectRequest(listener, nullptr, nullptr, 1, 128, 0, nullptr, nullptr), nfcStatusBadParameter);
    EXPECT_EQ(nfcP2PConnectRequest(nullptr, nullptr, nullptr, 1, 128, 0, nullptr, nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(sent(NFACE_NFC_LLCP_CON_REQ), 0u);
}

TEST_F(P2pExports, AConnectionIsAnnouncedCarriesDataAndEndsWithItsEvent) {
    int context = 0;
    P2pLinkHandle h = connected(&context);
    EXPECT_EQ(events.codes(), (std::vector<DWORD>{nfcEventConnectProceeding, nfcEventConnected}));
    EXPECT_EQ(events.at(1).context, &context);
    EXPECT_EQ(events.at(1).connected.remoteMiu, 200);
    EXPECT_EQ(events.at(1).connected.remoteSap, 0x30);
    EXPECT_TRUE(manager().waitFor(NFACE_NFC_LLCP_CON_ACT_RESP, 1, kWait));
    const auto request = nfaceMsgGet<NFACE_NFC_LLCP_CON_REQ>(manager().received(NFACE_NFC_LLCP_CON_REQ)[0].message);
    EXPECT_EQ(std::string(request.name, request.nameLength), "urn:nfc:sn:x");
    EXPECT_EQ(request.bufferSize, 2u * 2 * 128);

    const BYTE data[201] = {1, 2, 3};
    EXPECT_EQ(nfcP2PDataRequest(h, data, 201), nfcStatusBadParameter);
    EXPECT_EQ(nfcP2PDataRequest(h, nullptr, 3), nfcStatusBadParameter);
    EXPECT_EQ(nfcP2PDataRequestTo(h, 4, data, 3), nfcStatusBadParameter);
    EXPECT_EQ(nfcP2PDataRequest(h, data, 200), nfcStatusOk);
    EXPECT_EQ(nfcP2PDataRequest(h, data, 3), nfcStatusOk);
    ASSERT_TRUE(manager().waitFor(NFACE_NFC_LLCP_DATA_REQ, 2, kWait));
    const auto reqs = manager().received(NFACE_NFC_LLCP_DATA_REQ);
    EXPECT_EQ(nfaceMsgGet<NFACE_NFC_LLCP_DATA_REQ>(reqs[0].message).handle, 0);
    EXPECT_EQ(nfaceMsgGet<NFACE_NFC_LLCP_DATA_REQ>(reqs[1].message).handle, 1);
    EXPECT_EQ(nfaceMsgGet<NFACE_NFC_LLCP_DATA_REQ>(reqs[1].message).dsap, 0x30);
    deliver(nfaceMsgMake<NFACE_NFC_LLCP_DATA_CONF>({h, h->lower, 0, 0}));
    const BYTE peer[] = {'h', 'i'};
    deliver(nfaceMsgMake<NFACE_NFC_LLCP_DATA_IND>({h, h->lower, peer, 2, 0x30, 0}));
    ASSERT_TRUE(events.waitCount(4));
    EXPECT_EQ(events.at(2).event, static_cast<DWORD>(nfcEventDataTransmitted));
    EXPECT_EQ(events.at(3).data, "hi");

    EXPECT_EQ(nfcP2PDisconnectRequest(h), nfcStatusOk);
    ASSERT_TRUE(manager().waitFor(NFACE_NFC_LLCP_DISC_REQ, 1, kWait));
    deliver(nfaceMsgMake<NFACE_NFC_LLCP_DISC_IND>({h, h->lower, 0x400}));
    ASSERT_TRUE(events.waitCount(5));
    EXPECT_EQ(events.at(4).event, static_cast<DWORD>(nfcEventHangupTerminated));
    EXPECT_TRUE(manager().waitFor(NFACE_NFC_LLCP_DISC_RESP, 1, kWait));
}

TEST_F(P2pExports, AFreedHandleIsRefusedByEveryExport) {
    P2pLinkHandle h = connected();
    deliver(nfaceMsgMake<NFACE_NFC_LLCP_DISC_IND>({h, h->lower, 0}));
    ASSERT_TRUE(events.waitCount(3));
    EXPECT_EQ(events.at(2).event, static_cast<DWORD>(nfcEventDisconnected));
    const BYTE data[1] = {};
    for (int pass = 0; pass < 2; ++pass) { // marked freed, then deleted by the next entry
        EXPECT_EQ(nfcP2PConnectResponse(h, nullptr, nullptr), nfcStatusInvalidHandle);
        EXPECT_EQ(nfcP2PCloseCLSocket(h), nfcStatusInvalidHandle);
        EXPECT_EQ(nfcP2PDisconnectRequest(h), nfcStatusInvalidHandle);
        EXPECT_EQ(nfcP2PDataRequest(h, data, 1), nfcStatusInvalidHandle);
        EXPECT_EQ(nfcP2PDataRequestTo(h, 1, data, 1), nfcStatusInvalidHandle);
        EXPECT_EQ(nfcP2PDataResponse(h), nfcStatusInvalidHandle);
        P2pLinkHandle other = nullptr;
        EXPECT_EQ(nfcP2PConnectRequest(listener, nullptr, nullptr, 16, 128, 0, nullptr, &other),
                  nfcStatusBadParameter);
    }
    EXPECT_TRUE(cap.contains("p2pDeferredLinkFree: link"));
}

TEST_F(P2pExports, ARefusedConnectFailsWithTheCauseAndFreesItsRecord) {
    P2pLinkHandle h = nullptr;
    ASSERT_EQ(nfcP2PConnectRequest(listener, nullptr, nullptr, 5, 128, 0, nullptr, &h), nfcStatusOk);
    ASSERT_TRUE(events.waitCount(1));
    EXPECT_EQ(events.at(0).event, static_cast<DWORD>(nfcEventConnectFailed));
    EXPECT_EQ(events.at(0).cause, 0x411u);
    ASSERT_TRUE(manager().sync(kWait)); // the record is freed once its callback has returned
    EXPECT_EQ(nfcP2PDisconnectRequest(h), nfcStatusInvalidHandle);
}

TEST_F(P2pExports, AListenerAnnouncesEachConnectionAsANewRecordToAnswer) {
    P2pLinkHandle server = nullptr;
    ASSERT_EQ(nfcP2PListenRequest(app, nullptr, nullptr, 2, 1, 128, 0, "urn:nfc:sn:srv", &server), nfcStatusOk);
    const auto listen = first<NFACE_NFC_LLCP_LISTEN_REQ>();
    EXPECT_EQ(listen.bufferSize, 2u * 2 * 1 * 128);
    EXPECT_EQ(listen.mode, 1);
    int accepted = 0;
    deliver(nfaceMsgMake<NFACE_NFC_LLCP_CON_ACT_IND>({server, &accepted, 128, 0x10, 0x21, 1}));
    ASSERT_TRUE(events.waitCount(1));
    EXPECT_EQ(events.at(0).event, static_cast<DWORD>(nfcEventConnectIndication));
    auto* connection = static_cast<P2pLinkHandle>(events.at(0).context);
    ASSERT_NE(connection, server);
    int context = 0;
    EXPECT_EQ(nfcP2PConnectResponse(connection, &context, nullptr), nfcStatusOk);
    ASSERT_TRUE(manager().waitFor(NFACE_NFC_LLCP_CON_ACT_RESP, 1, kWait));
    const auto resp = first<NFACE_NFC_LLCP_CON_ACT_RESP>();
    EXPECT_EQ(resp.hApp, connection);
    EXPECT_EQ(resp.hLink, &accepted);
    // Data before the answer belong to the connection, not to its listener.
    const BYTE peer[] = {'x'};
    deliver(nfaceMsgMake<NFACE_NFC_LLCP_DATA_IND>({server, &accepted, peer, 1, 0x21, 0}));
    ASSERT_TRUE(events.waitCount(2));
    EXPECT_EQ(events.at(1).context, &context);
}

TEST_F(P2pExports, ListeningNeedsAP2pListener) {
    NfcHandle other = nullptr;
    ASSERT_EQ(nfcCreate(&events, &P2pEvents::callback, &other), nfcStatusOk);
    P2pLinkHandle server = nullptr;
    EXPECT_EQ(nfcP2PListenRequest(other, nullptr, nullptr, 1, 1, 128, 0, nullptr, &server), nfcStatusNotImplemented);
    EXPECT_EQ(nfcP2PListenRequest(app, nullptr, nullptr, 1, 1, 128, 0, nullptr, nullptr), nfcStatusBadParameter);
    ASSERT_EQ(nfcP2PListenRequestEx(app, nullptr, nullptr, P2P_MODE_CONNECTIONLESS, 0, 2, 128, 0x11, nullptr, &server),
              nfcStatusOk);
    const auto listen = first<NFACE_NFC_LLCP_LISTEN_REQ>();
    EXPECT_EQ(listen.bufferSize, 2u * 2 * 128); // room for its receive window
    EXPECT_EQ(nfcDestroy(other), nfcStatusOk);
}

TEST_F(P2pExports, AConnectionlessSocketSendsToAnySapAndClosesOnce) {
    P2pLinkHandle socket = nullptr;
    ASSERT_EQ(nfcP2POpenCLSocket(app, nullptr, nullptr, 0x10, &socket), nfcStatusOk);
    ASSERT_TRUE(events.waitCount(1));
    EXPECT_EQ(events.at(0).event, static_cast<DWORD>(nfcEventConnected));
    const BYTE data[2049] = {};
    EXPECT_EQ(nfcP2PDataRequest(socket, data, 3), nfcStatusBadParameter);
    EXPECT_EQ(nfcP2PDataRequestTo(socket, 0x22, data, 2049), nfcStatusBadParameter);
    EXPECT_EQ(nfcP2PDataRequestTo(socket, 0x22, data, 2048), nfcStatusOk);
    ASSERT_TRUE(manager().waitFor(NFACE_NFC_LLCP_DATA_REQ, 1, kWait));
    EXPECT_EQ(nfaceMsgGet<NFACE_NFC_LLCP_DATA_REQ>(manager().received(NFACE_NFC_LLCP_DATA_REQ)[0].message).dsap, 0x22);
    EXPECT_EQ(nfcP2PCloseCLSocket(socket), nfcStatusOk);
    EXPECT_EQ(nfcP2PCloseCLSocket(socket), nfcStatusWrongState);
}

TEST_F(P2pExports, DataOutsideTheConnectedStateGiveTheirBufferBack) {
    P2pLinkHandle h = connected();
    ASSERT_EQ(nfcP2PDisconnectRequest(h), nfcStatusOk);
    const BYTE peer[] = {'x'};
    deliver(nfaceMsgMake<NFACE_NFC_LLCP_DATA_IND>({h, h->lower, peer, 1, 0x30, 5}));
    ASSERT_TRUE(manager().waitFor(NFACE_NFC_LLCP_DATA_RESP, 1, kWait));
    EXPECT_EQ(nfcP2PDataResponse(h), nfcStatusWrongState);
}

TEST_F(P2pExports, AServiceNameResolvesToThePeersSap) {
    manager().onRequest(NFACE_NFC_LLCP_SDP_REQ, [](FakeNfcManager& f, const FakeNfcManager::Request& r) {
        const auto q = nfaceMsgGet<NFACE_NFC_LLCP_SDP_REQ>(r.message);
        f.answer(r, nfaceMsgMake<NFACE_NFC_LLCP_SDP_CONF>({q.hApp, 0, 0x23}));
    });
    BYTE sap = 0;
    EXPECT_EQ(nfcP2PSdpRequest(app, "urn:nfc:sn:x", &sap), nfcStatusOk);
    EXPECT_EQ(sap, 0x23);
    EXPECT_EQ(nfcP2PSdpRequest(app, "urn:nfc:sn:x", nullptr), nfcStatusBadParameter);
}

TEST_F(P2pExports, DestroyingTheApplicationDisconnectsAndFreesItsConnections) {
    connected();
    connected();
    ASSERT_EQ(nfcDestroy(app), nfcStatusOk);
    app = nullptr;
    EXPECT_TRUE(manager().waitFor(NFACE_NFC_LLCP_DISC_REQ, 2, kWait));
    EXPECT_TRUE(cap.contains("p2pFreeListenersFromInstance: cleanup done"));
    EXPECT_EQ(cap.count("p2pDeferredLinkFree: link"), 2u);
}

// The worker ends a link while its going application frees what it has left: both free it.
TEST_F(P2pExports, ALinkFreedFromBothSidesIsDeletedOnce) {
    P2pLinkHandle h = connected();
    p2pFreeLink(h);
    p2pFreeLink(h);
    p2pDeferredLinkFree();
    EXPECT_EQ(cap.count("p2pDeferredLinkFree: link"), 1u);
    EXPECT_EQ(nfcP2PDisconnectRequest(h), nfcStatusInvalidHandle);
}

TEST_F(P2pExports, ACallbackDisconnectingItsEndedLinkGetsWrongStateWhileAnotherThreadConnects) {
    P2pLinkHandle h = connected();
    std::atomic<NfcApiStatus> inside{0};
    events.inside = [&](const P2pEvents::Event& e) {
        if (e.event == nfcEventDisconnected) inside = nfcP2PDisconnectRequest(h);
    };
    std::atomic<bool> stop{false};
    std::thread other([&] {
        for (int i = 0; i < 50 && !stop; ++i) {
            P2pLinkHandle c = nullptr;
            nfcP2PConnectRequest(listener, nullptr, nullptr, 16, 128, 0, nullptr, &c);
        }
    });
    deliver(nfaceMsgMake<NFACE_NFC_LLCP_DISC_IND>({h, h->lower, 0}));
    stop = true;
    other.join();
    ASSERT_TRUE(events.waitCount(3));
    EXPECT_EQ(inside.load(), nfcStatusWrongState);
}

} // namespace

namespace {

TEST_F(P2pExports, InRawModeOneADisconnectFreesTheRecordAtOnce) {
    P2pLinkHandle h = connected();
    nfcmanSetStackBytes(1, 0);
    EXPECT_EQ(nfcP2PDisconnectRequest(h), nfcStatusOk);
    nfcmanSetStackBytes(0, 0);
    EXPECT_EQ(nfcP2PDisconnectRequest(h), nfcStatusInvalidHandle);
    EXPECT_EQ(sent(NFACE_NFC_LLCP_DISC_REQ), 0u);
}

struct WaitingCall {
    const char* name;
    uint16_t request; // what the call waits on, left unanswered
    std::function<NfcApiStatus(NfcHandle)> call;
};

void PrintTo(const WaitingCall& c, std::ostream* os) { *os << c.name; }

class P2pCallOfADestroyedApplication : public P2pExports, public ::testing::WithParamInterface<WaitingCall> {};

uint32_t holdsOf(NfcHandle h) {
    PlatLockGuard g(nfcapiApiLock());
    return h->holds;
}

// A call waiting for its answer holds its application: the destroy on another thread answers
// it, and a next application's create (which frees what destroyed ones left) frees nothing the
// call still reads on its way out.
TEST_P(P2pCallOfADestroyedApplication, IsAnsweredAndUsesNothingFreed) {
    const WaitingCall& c = GetParam();
    manager().onRequest(NFACE_NFC_LLCP_LISTEN_REQ, [](FakeNfcManager&, const FakeNfcManager::Request&) {});
    NfcHandle second = nullptr;
    NfcListenerHandle secondListener = nullptr;
    ASSERT_EQ(nfcCreate(&events, &P2pEvents::callback, &second), nfcStatusOk);
    ASSERT_EQ(nfcRegisterListener(second, nullptr, P2P_TARGET, nullptr, &secondListener), nfcStatusOk);
    auto call = std::async(std::launch::async, [&] { return c.call(second); });
    ASSERT_TRUE(manager().waitFor(c.request, 1, kWait));
    EXPECT_EQ(holdsOf(second), 1u);
    EXPECT_EQ(nfcDestroy(second), nfcStatusOk);
    NfcHandle third = nullptr;
    ASSERT_EQ(nfcCreate(&events, &P2pEvents::callback, &third), nfcStatusOk);
    ASSERT_EQ(call.wait_for(std::chrono::milliseconds(kWait)), std::future_status::ready);
    EXPECT_NE(call.get(), nfcStatusOk);
    EXPECT_EQ(nfcDestroy(third), nfcStatusOk);
}

INSTANTIATE_TEST_SUITE_P(
    P2pExports, P2pCallOfADestroyedApplication,
    ::testing::Values(
        WaitingCall{"listen", NFACE_NFC_LLCP_LISTEN_REQ,
                    [](NfcHandle h) {
                        P2pLinkHandle server = nullptr;
                        return nfcP2PListenRequest(h, nullptr, nullptr, 1, 1, 128, 0, "urn:nfc:sn:x", &server);
                    }},
        WaitingCall{"socket", NFACE_NFC_LLCP_LISTEN_REQ,
                    [](NfcHandle h) {
                        P2pLinkHandle socket = nullptr;
                        return nfcP2POpenCLSocket(h, nullptr, nullptr, 0x10, &socket);
                    }},
        WaitingCall{"discovery", NFACE_NFC_LLCP_SDP_REQ,
                    [](NfcHandle h) {
                        BYTE sap = 0;
                        return nfcP2PSdpRequest(h, "urn:nfc:sn:x", &sap);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
