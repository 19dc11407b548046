// P2P connections through the public API on the simulated controller's pseudo-terminal: the host
// polls an NFC-DEP target, or an NFC-DEP initiator polls the host, and either carries the
// test-side LLCP peer frame by frame. An application
// finds the peer, connects by name, accepts the peer's connection, exchanges data on connections
// and a socket, resolves a name and sees each link end with its event.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "peer_access.h"
#include "llcp/llcp_peer.h"
#include "platform.h"
#include "peers/nfc_dep.h"
#include "peers/remote_poller.h"
#include "tags/nfc_dep_target.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kRfDiscover = 0x2103;

enum class HostRole { Initiator, Target };

class P2pConnection : public ::testing::TestWithParam<HostRole> {
protected:
    bool hostInitiates() const { return GetParam() == HostRole::Initiator; }
    template <typename F>
    auto withPeer(F f) { return peeraccess::with(stack, peer, f); }
    // Started, listening in the role, with the peer met.
    void meetPeer() {
        ASSERT_EQ(stack.start(), nfcStatusOk);
        listener = stack.listen(hostInitiates() ? P2P_INITIATOR : P2P_TARGET, &listenerContext);
        ASSERT_NE(listener, nullptr);
        ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
        if (hostInitiates()) {
            target = std::make_shared<simtags::NfcDepTarget>(peer.activationBytes());
            target->onFrame = simpeers::carry(peer);
            stack.sim().rf().enter(target);
        } else {
            initiator = simpeers::RemotePoller::nfcDepInitiator(peer.activationBytes());
            initiator->log.toSend.push_back(*peer.opening());
            initiator->log.onFrame = simpeers::carry(peer);
            stack.sim().rf().approach(initiator);
        }
        ASSERT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
    }
    // Waits (bounded) until the peer's state satisfies done.
    template <typename F>
    bool peerUntil(F done) { return peeraccess::until(stack, peer, done); }
    // The peer leaves. As initiator it falls silent first and goes once the host has answered its
    // last frame: no frame of the host then crosses the deactivation on the line.
    void losePeer() {
        if (hostInitiates()) return stack.sim().rf().leave(target);
        auto answered = std::make_shared<size_t>();
        stack.sim().call([&](ncisim::Controller&) {
            initiator->log.onFrame = nullptr;
            *answered = initiator->log.received.size() + 1;
        });
        EXPECT_TRUE(peerUntil([&](llcpsim::Peer&) { return initiator->log.received.size() >= *answered; }));
        stack.sim().rf().departPoller();
    }
    // The n-th event of the code (1-based, as the peer's counts go).
    AppEvent event(DWORD code, size_t n) {
        std::optional<AppEvent> e = stack.waitFor(code, n - 1);
        EXPECT_TRUE(e) << "event " << code << " #" << n << "\n" << stack.sim().describe();
        return e.value_or(AppEvent{});
    }

    llcpsim::Peer peer{hostInitiates() ? llcpsim::Role::Target : llcpsim::Role::Initiator};
    ApiStack stack;
    std::shared_ptr<simtags::NfcDepTarget> target;
    simpeers::PollerPtr initiator;
    NfcListenerHandle listener = nullptr;
    int listenerContext = 0;
};

TEST_P(P2pConnection, AnApplicationConnectsAcceptsExchangesResolvesAndDisconnects) {
    peer.listen(0x10, "urn:nfc:sn:svc", 2);
    peer.listen(0x12, {}, 1, false);
    meetPeer();

    // Connect by name: proceeding, then connected.
    int context = 0;
    P2pLinkHandle connection = nullptr;
    ASSERT_EQ(nfcP2PConnectRequest(listener, &context, nullptr, 2, 128, 0, "urn:nfc:sn:svc", &connection), nfcStatusOk);
    AppEvent e = event(nfcEventConnected, 1);
    EXPECT_EQ(e.p2p.context, &context);
    EXPECT_EQ(e.p2p.connected.remoteSap, 0x10);
    EXPECT_EQ(stack.count(nfcEventConnectProceeding), 1u);

    // Data both ways, in several I-frames; each send confirmed once.
    const Bytes one(128, 1), two(128, 2), three(60, 3);
    for (const Bytes* d : {&one, &two, &three})
        ASSERT_EQ(nfcP2PDataRequest(connection, d->data(), static_cast<DWORD>(d->size())), nfcStatusOk);
    withPeer([](llcpsim::Peer& p) {
        p.send(0x10, Bytes(300, 0x77));
        return 0;
    });
    event(nfcEventDataTransmitted, 3);
    Bytes received;
    for (size_t n = 1; n <= 3; ++n) {
        e = event(nfcEventDataIndication, n);
        received.insert(received.end(), e.data.begin(), e.data.end());
        EXPECT_EQ(nfcP2PDataResponse(connection), nfcStatusOk);
    }
    EXPECT_EQ(received, Bytes(300, 0x77));
    EXPECT_EQ(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x10)->data; }), (std::vector<Bytes>{one, two, three}));

    // The peer connects to an application listener, which answers the new connection.
    P2pLinkHandle server = nullptr;
    ASSERT_EQ(nfcP2PListenRequest(stack.handle(), nullptr, nullptr, 1, 2, 128, 0, "urn:nfc:sn:app", &server), nfcStatusOk);
    withPeer([](llcpsim::Peer& p) { return p.connect(0x21, 0, "urn:nfc:sn:app", 2).sap; });
    e = event(nfcEventConnectIndication, 1);
    P2pLinkHandle accepted = e.p2p.newConnection;
    int acceptedContext = 0;
    ASSERT_EQ(nfcP2PConnectResponse(accepted, &acceptedContext, nullptr), nfcStatusOk);
    const Bytes hello{'h', 'i'};
    ASSERT_EQ(nfcP2PDataRequest(accepted, hello.data(), 2), nfcStatusOk);
    event(nfcEventDataTransmitted, 4);
    EXPECT_TRUE(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x21)->connected; }));
    EXPECT_EQ(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x21)->data; }), std::vector<Bytes>{hello});

    // A connectionless socket exchanges datagrams.
    P2pLinkHandle socket = nullptr;
    ASSERT_EQ(nfcP2POpenCLSocket(stack.handle(), nullptr, nullptr, 0x11, &socket), nfcStatusOk);
    const Bytes datagram{5, 6, 7};
    ASSERT_EQ(nfcP2PDataRequestTo(socket, 0x12, datagram.data(), 3), nfcStatusOk);
    withPeer([](llcpsim::Peer& p) {
        p.sendTo(0x12, 0x11, {8, 9});
        return 0;
    });
    e = event(nfcEventDataIndication, 4);
    EXPECT_EQ(e.data, (Bytes{8, 9}));
    event(nfcEventDataTransmitted, 5);
    // A datagram is confirmed once it leaves the host, perhaps before the peer has it.
    EXPECT_TRUE(peerUntil([](llcpsim::Peer& p) { return !p.endpoint(0x12)->data.empty(); }));
    EXPECT_EQ(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x12)->data; }), std::vector<Bytes>{datagram});

    // A name resolves to the peer's SAP.
    BYTE sap = 0;
    EXPECT_EQ(nfcP2PSdpRequest(stack.handle(), "urn:nfc:sn:svc", &sap), nfcStatusOk);
    EXPECT_EQ(sap, 0x10);

    // Disconnecting ends the first connection; losing the peer ends the accepted one.
    ASSERT_EQ(nfcP2PDisconnectRequest(connection), nfcStatusOk);
    e = event(nfcEventHangupTerminated, 1);
    EXPECT_EQ(e.p2p.context, &context);
    EXPECT_TRUE(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x10)->closed; }));
    losePeer();
    e = event(nfcEventDisconnected, 1);
    EXPECT_EQ(e.p2p.context, &acceptedContext);
    EXPECT_TRUE(withPeer([](llcpsim::Peer& p) { return p.mismatches; }).empty());
    EXPECT_EQ(stack.count(nfcEventDataTransmitted), 5u);
    EXPECT_TRUE(stack.sim().recorder().violations().empty()) << stack.sim().describe();
}

TEST_P(P2pConnection, UnregisteringItsListenerWhileThePeerIsLinkedTakesTheLinkDownAndCompletes) {
    peer.listen(0x10, {}, 2);
    meetPeer();
    P2pLinkHandle connection = nullptr;
    ASSERT_EQ(nfcP2PConnectRequest(listener, nullptr, nullptr, 2, 128, 0x10, nullptr, &connection), nfcStatusOk);
    event(nfcEventConnected, 1);
    const uint32_t start = platTickMs();
    EXPECT_EQ(nfcUnregisterListener(listener), nfcStatusOk);
    // The link goes within its shutdown time; nothing is left to wait out a request time-out.
    EXPECT_LT(platTickMs() - start, ApiStack::kBounded);
}

// The host polls the same target again after each application: the test is about the links,
// not about a remote initiator coming back.
class P2pReconnect : public P2pConnection {};

// Each application goes with a connection still open; the next one, on the same library and
// the same peer, still finds a link for its own. One more round than LLCP has links.
TEST_P(P2pReconnect, ApplicationsDestroyedWithAnOpenConnectionLeaveTheirLinksFree) {
    constexpr uint8_t kRounds = 6;
    for (uint8_t k = 0; k < kRounds; ++k) peer.listen(static_cast<uint8_t>(0x10 + k), {}, 2);
    meetPeer();
    for (uint8_t k = 0; k < kRounds; ++k) {
        SCOPED_TRACE(k);
        if (k > 0) {
            const NfcApiStatus created = stack.recreate();
            ASSERT_TRUE(created == nfcStatusOk || created == nfcStatusPending) << created;
            listener = stack.listen(hostInitiates() ? P2P_INITIATOR : P2P_TARGET, &listenerContext);
            ASSERT_NE(listener, nullptr);
            ASSERT_TRUE(stack.waitFor(nfcEventTagDetected, k)) << stack.sim().describe();
        }
        P2pLinkHandle connection = nullptr;
        ASSERT_EQ(nfcP2PConnectRequest(listener, nullptr, nullptr, 2, 128, static_cast<uint8_t>(0x10 + k), nullptr,
                                       &connection),
                  nfcStatusOk);
        event(nfcEventConnected, k + 1u);
        ASSERT_EQ(stack.count(nfcEventConnectFailed), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(HostRoles, P2pConnection, ::testing::Values(HostRole::Initiator, HostRole::Target),
                         [](const auto& info) { return info.param == HostRole::Initiator ? "HostInitiator" : "HostTarget"; });

INSTANTIATE_TEST_SUITE_P(HostInitiator, P2pReconnect, ::testing::Values(HostRole::Initiator));

} // namespace
