// SNEP, NPP and connection handover through the public API on the simulated controller's
// pseudo-terminal: the host polls an NFC-DEP target, or an NFC-DEP initiator polls the host, and
// the peer's LLCP runs the test-side services.
// An application pushes an NDEF message to the peer's default server, gets one from its plain
// server, takes the peer's PUT as a server, pushes two entries by NPP and completes a Bluetooth
// handover.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api_stack.h"
#include "peer_access.h"
#include "llcp/llcp_peer.h"
#include "peers/handover_peer.h"
#include "peers/npp_peer.h"
#include "peers/snep_peer.h"
#include "platform.h"
#include "tags/ndef_image.h"
#include "peers/remote_poller.h"
#include "tags/nfc_dep_target.h"

namespace {

using Bytes = std::vector<uint8_t>;
using simpeers::SnepServerPeer;

constexpr uint16_t kRfDiscover = 0x2103;
constexpr uint8_t kSnepSap = 4, kPlainSnepSap = 0x10, kNppSap = 0x11, kHandoverSap = 0x12, kPeerClientSap = 0x21;
constexpr const char* kPlainSnep = "urn:nfc:xsn:corvane.test:snep";

enum class HostRole { Initiator, Target };

class P2pServices : public ::testing::TestWithParam<HostRole> {
protected:
    bool hostInitiates() const { return GetParam() == HostRole::Initiator; }
    // The peer and its services, only touched on the controller's thread.
    template <typename F>
    auto withPeer(F f) { return peeraccess::with(stack, peer, f); }
    template <typename F>
    bool peerUntil(F done) { return peeraccess::until(stack, peer, done); }
    // Started, listening in the role, with the peer and its services met: an NFC-DEP target the
    // host polls, or an NFC-DEP initiator that polls the host.
    void meetPeer(std::vector<simpeers::ServicePeer*> services) {
        ASSERT_EQ(stack.start(), nfcStatusOk);
        listener = stack.listen(hostInitiates() ? P2P_INITIATOR : P2P_TARGET);
        ASSERT_NE(listener, nullptr);
        ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
        if (hostInitiates()) {
            target = std::make_shared<simtags::NfcDepTarget>(peer.activationBytes());
            target->onFrame = simpeers::carry(peer, std::move(services));
            stack.sim().rf().enter(target);
        } else {
            initiator = simpeers::RemotePoller::nfcDepInitiator(peer.activationBytes());
            initiator->log.toSend.push_back(*peer.opening());
            initiator->log.onFrame = simpeers::carry(peer, std::move(services));
            stack.sim().rf().approach(initiator);
        }
        ASSERT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
    }
    void TearDown() override {
        EXPECT_TRUE(withPeer([](llcpsim::Peer& p) { return p.mismatches; }).empty());
        EXPECT_TRUE(stack.sim().recorder().violations().empty()) << stack.sim().describe();
    }

    // The peer and its services outlive the stack: the host's last frames still reach them.
    llcpsim::Peer peer{hostInitiates() ? llcpsim::Role::Target : llcpsim::Role::Initiator};
    SnepServerPeer defaultServer{kSnepSap, SnepServerPeer::Kind::Default};
    SnepServerPeer plainServer{kPlainSnepSap, SnepServerPeer::Kind::Plain};
    simpeers::SnepClientPeer peerClient{kPeerClientSap};
    simpeers::NppServerPeer nppServer{kNppSap};
    simpeers::HandoverServerPeer handoverServer{kHandoverSap};
    ApiStack stack;
    std::shared_ptr<simtags::NfcDepTarget> target;
    simpeers::PollerPtr initiator;
    NfcListenerHandle listener = nullptr;
};

// The events of a SNEP server, with a copy of each NDEF message the server reports.
struct ServerEvents {
    static DWORD callback(void* context, DWORD event, void* report) {
        auto* self = static_cast<ServerEvents*>(context);
        std::lock_guard<std::mutex> g(self->m);
        self->events.push_back(event);
        if (event == snepEventPutReceived) {
            const TSnepPutReport& put = static_cast<TSnepServerReport*>(report)->put;
            self->puts.emplace_back(put.ndef, put.ndef + put.ndefLength);
        }
        self->cv.notify_all();
        return 0;
    }
    bool waitFor(DWORD event) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ApiStack::kBounded),
                           [&] { return std::find(events.begin(), events.end(), event) != events.end(); });
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<DWORD> events;
    std::vector<Bytes> puts;
};

TEST_P(P2pServices, AnApplicationPutsToThePeersDefaultServer) {
    peer.listen(kSnepSap, "urn:nfc:sn:snep", 2);
    SnepServerPeer& server = defaultServer;
    meetPeer({&server});

    SnepClientHandle client = nullptr;
    ASSERT_EQ(snepConnect(&client, listener, "urn:nfc:sn:snep", 0, 128, nullptr, nullptr, 0), nfcStatusOk);
    const Bytes small = simtags::mimeMessage(40, 1), large = simtags::mimeMessage(600, 7);
    EXPECT_EQ(snepPut(client, small.data(), static_cast<DWORD>(small.size())), nfcStatusOk);
    EXPECT_EQ(snepPut(client, large.data(), static_cast<DWORD>(large.size())), nfcStatusOk);
    // A default server takes no GET.
    Bytes output(64);
    DWORD acceptable = static_cast<DWORD>(output.size());
    EXPECT_NE(snepGet(client, small.data(), static_cast<DWORD>(small.size()), output.data(), &acceptable), nfcStatusOk);
    EXPECT_EQ(snepDisconnect(client), nfcStatusOk);
    EXPECT_EQ(snepReleaseClient(client), nfcStatusOk);

    withPeer([&](llcpsim::Peer& p) {
        EXPECT_EQ(server.puts, (std::vector<Bytes>{small, large}));
        // The long PUT came in fragments: its first was answered with CONTINUE.
        EXPECT_EQ(server.answered, (std::vector<uint8_t>{simpeers::snep::SUCCESS, simpeers::snep::CONTINUE,
                                                         simpeers::snep::SUCCESS, simpeers::snep::NOT_IMPLEMENTED}));
        EXPECT_TRUE(p.endpoint(kSnepSap)->closed);
        return 0;
    });
}

TEST_P(P2pServices, AnApplicationGetsFromThePeersServer) {
    peer.listen(kPlainSnepSap, kPlainSnep, 2);
    SnepServerPeer& server = plainServer;
    server.getAnswer = simtags::mimeMessage(300, 5);   // more than one fragment: the host asks on
    meetPeer({&server});

    SnepClientHandle client = nullptr;
    ASSERT_EQ(snepConnect(&client, listener, kPlainSnep, 0, 128, nullptr, nullptr, 0), nfcStatusOk);
    const Bytes request = simtags::mimeMessage(20, 3);
    Bytes output(1024, 0xEE);
    DWORD acceptable = static_cast<DWORD>(output.size());
    ASSERT_EQ(snepGet(client, request.data(), static_cast<DWORD>(request.size()), output.data(), &acceptable), nfcStatusOk);
    EXPECT_EQ(acceptable, server.getAnswer.size());
    EXPECT_EQ(Bytes(output.begin(), output.begin() + acceptable), server.getAnswer);
    EXPECT_EQ(output[acceptable], 0xEE);
    // An answer longer than what the application accepts does not reach its buffer.
    Bytes small(100, 0xEE);
    acceptable = static_cast<DWORD>(small.size());
    EXPECT_NE(snepGet(client, request.data(), static_cast<DWORD>(request.size()), small.data(), &acceptable), nfcStatusOk);
    EXPECT_EQ(small, Bytes(100, 0xEE));
    EXPECT_EQ(snepDisconnect(client), nfcStatusOk);
    EXPECT_EQ(snepReleaseClient(client), nfcStatusOk);
    withPeer([&](llcpsim::Peer&) {
        EXPECT_EQ(server.gets, (std::vector<Bytes>{request, request}));
        return 0;
    });
}

TEST_P(P2pServices, AnApplicationServerTakesThePeersPut) {
    meetPeer({&peerClient});
    ServerEvents events;
    SnepServerHandle server = nullptr;
    ASSERT_EQ(snepStartServer(&server, stack.handle(), "urn:nfc:sn:snep", 0, 128, &events, &ServerEvents::callback),
              nfcStatusOk);

    const Bytes ndef = simtags::mimeMessage(500, 9);
    withPeer([&](llcpsim::Peer& p) {
        peerClient.put(p, ndef);
        return 0;
    });
    ASSERT_TRUE(events.waitFor(snepEventPutReceived));
    ASSERT_TRUE(peerUntil([&](llcpsim::Peer&) { return !peerClient.responses.empty(); }));
    withPeer([&](llcpsim::Peer& p) {
        EXPECT_EQ(peerClient.responses.front().code, simpeers::snep::SUCCESS);
        p.disconnect(kPeerClientSap);
        return 0;
    });
    EXPECT_TRUE(events.waitFor(snepEventClientDisconnected));
    EXPECT_EQ(snepStopServer(server), nfcStatusOk);
    EXPECT_TRUE(events.waitFor(snepEventEnded));
    EXPECT_EQ(snepReleaseServer(server), nfcStatusOk);
    std::lock_guard<std::mutex> g(events.m);
    EXPECT_EQ(events.puts, std::vector<Bytes>{ndef});
    EXPECT_EQ(events.events.front(), DWORD{snepEventConnected});
}

TEST_P(P2pServices, AnApplicationPushesTwoEntriesByNpp) {
    peer.listen(kNppSap, "com.android.npp", 2);
    simpeers::NppServerPeer& server = nppServer;
    meetPeer({&server});

    const Bytes first = simtags::mimeMessage(30, 2), second = simtags::mimeMessage(400, 11);
    const TNppEntry entries[] = {{first.data(), static_cast<DWORD>(first.size()), 1},
                                 {second.data(), static_cast<DWORD>(second.size()), 1}};
    ASSERT_EQ(nppPush(listener, 128, nullptr, nullptr, entries, 2, 0), DWORD{nppOk});
    ASSERT_TRUE(peerUntil([&](llcpsim::Peer& p) { return p.endpoint(kNppSap)->closed; }));
    withPeer([&](llcpsim::Peer&) {
        EXPECT_EQ(server.pushes, (std::vector<std::vector<simpeers::NppEntry>>{{{1, first}, {1, second}}}));
        EXPECT_TRUE(server.refusedVersions.empty());
        return 0;
    });
}

// A Handover Select with a Bluetooth carrier, as the peer would make it: the Hs record with its
// alternative carrier, then the carrier's out-of-band record (address, local name "peer").
Bytes bluetoothSelect(const Bytes& address) {
    const std::string mime = "application/vnd.bluetooth.ep.oob";
    Bytes oob{14, 0x00};
    oob.insert(oob.end(), address.begin(), address.end());   // BD_ADDR as carried
    oob.insert(oob.end(), {5, 0x09, 'p', 'e', 'e', 'r'});
    Bytes hs{0x91, 0x02, 0x0A, 'H', 's', 0x12, 0xD1, 0x02, 0x04, 'a', 'c', 0x01, 0x01, '0', 0x00};
    hs.insert(hs.end(), {0x5A, static_cast<uint8_t>(mime.size()), static_cast<uint8_t>(oob.size()), 0x01});
    hs.insert(hs.end(), mime.begin(), mime.end());
    hs.push_back('0');
    hs.insert(hs.end(), oob.begin(), oob.end());
    return hs;
}

TEST_P(P2pServices, AnApplicationCompletesABluetoothHandover) {
    peer.listen(kHandoverSap, "urn:nfc:sn:handover", 1);
    simpeers::HandoverServerPeer& server = handoverServer;
    const Bytes peerAddress{0x00, 0x1B, 0xDC, 0x0F, 0x10, 0x21};
    server.select = bluetoothSelect(peerAddress);
    meetPeer({&server});

    const Bytes ownAddress{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, ownName{'h', 'o', 's', 't'};
    TNdefBtSspInfo own{};
    own.deviceAddress = ownAddress.data();
    own.deviceAddressLength = 6;
    own.localName = ownName.data();
    own.localNameLength = 4;
    Bytes request(256);
    uint32_t requestLength = static_cast<uint32_t>(request.size());
    ASSERT_EQ(ndefCreateHandoverRequestBT(&own, 1, 0x1234, request.data(), &requestLength), NDEF_OK);
    request.resize(requestLength);

    Bytes select(512);
    WORD selectLength = static_cast<WORD>(select.size());
    ASSERT_EQ(handoverSendRequest(listener, stack.handle(), request.data(), requestLength, select.data(), &selectLength),
              nfcStatusOk);
    select.resize(selectLength);
    EXPECT_EQ(select, server.select);
    withPeer([&](llcpsim::Peer&) {
        EXPECT_EQ(server.requests, std::vector<Bytes>{request});
        return 0;
    });
    // The request names the host's carrier; the select gives the peer's address to the toolkit.
    const auto records = simtags::parseNdef(request);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ(records->front().type, (Bytes{'H', 'r'}));
    const auto answer = simtags::parseNdef(select);
    ASSERT_TRUE(answer && answer->size() == 2u);
    TNdefBtSspInfo theirs{};
    const Bytes& oob = answer->back().payload;
    ASSERT_EQ(ndefExtractBluetoothSsp(oob.data(), static_cast<uint32_t>(oob.size()), &theirs), NDEF_OK);
    ASSERT_EQ(theirs.deviceAddressLength, 6u);
    EXPECT_EQ(Bytes(theirs.deviceAddress, theirs.deviceAddress + 6), peerAddress);
    EXPECT_TRUE(peerUntil([](llcpsim::Peer& p) { return p.endpoint(kHandoverSap)->closed; }));
}

INSTANTIATE_TEST_SUITE_P(HostRoles, P2pServices, ::testing::Values(HostRole::Initiator, HostRole::Target),
                         [](const auto& info) { return info.param == HostRole::Initiator ? "HostInitiator" : "HostTarget"; });

} // namespace
