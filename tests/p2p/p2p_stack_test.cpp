// The nfcP2P exports through the whole stack below them on the OS worker thread: the API core,
// the real NFC manager and LLCP task, and a fake layer 1 that carries every frame to the
// independent test peer and its answers back. An application finds the peer, connects by name,
// accepts the peer's connection, exchanges data on connections and a socket, resolves a name
// and sees each link end with its event.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <functional>
#include <mutex>

#include "api/nfcapi_modules.h"
#include "core/nfcmgr.h"
#include "fake_layer1.h"
#include "hw/hw_timer.h"
#include "llcp/llcp.h"
#include "llcp/llcp_peer.h"
#include "os/os_mem.h"
#include "p2p_events.h"
#include "util/trace.h"

namespace {

using llcpsim::Bytes;

constexpr uint32_t kRxPool = 0xF3;

OsResult registerTimer(uint16_t) { return hwTimerRegister(); }

constexpr NfcapiModule kModules[] = {{"hardware timer", &registerTimer},
                                     {"layer 1", &FakeLayer1::registerModules},
                                     {"LLCP", &llcpRegister},
                                     {"NFC manager", &nfcmanRegister}};
constexpr NfcapiServices kServices = {kModules, std::size(kModules), NfcapiComLayer{}, &nfcmanRegisterApplication};

class P2pStack : public ::testing::Test {
protected:
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        l1.capabilities.supportedMask = 0x00F3FFFFu;
        l1.capabilities.flags = 0x1000D;
        nfcapiSetServices(&kServices);
        // The peer answers each frame at once, on the worker, under its lock.
        l1.onCommand(PH_DATA_REQ, [this](FakeLayer1& l, const OsMessage& m) {
            const auto f = nfcllMsgGet<PH_DATA_REQ>(m);
            const Bytes frame(f.buffer + f.offset, f.buffer + f.offset + f.length);
            if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.buffer);
            std::vector<llcpsim::Reply> replies;
            {
                std::lock_guard<std::mutex> g(peerLock);
                replies = peer.onFrame(frame);
                if (onPeerFrame) onPeerFrame(peer);
            }
            uint16_t pool = 0;
            for (const llcpsim::Reply& r : replies) {
                void* buffer = nullptr;
                if (osPoolFindByName(kRxPool, &pool) != OS_OK ||
                    osBufferGet(pool, 2052, &buffer, nullptr, nullptr) != OS_OK)
                    return;
                std::memcpy(buffer, r.frame.data(), r.frame.size());
                l.indicate<PH_DATA_IND>({NFCLL_MSG_OWNS_BUFFER, 0, static_cast<uint16_t>(r.frame.size()),
                                         static_cast<BYTE*>(buffer)});
            }
        });
    }
    void TearDown() override {
        EXPECT_EQ(nfcDone(), nfcStatusOk);
        nfcapiSetServices(nullptr);
    }

    // Started, with an application listening as initiator that has met the peer.
    void meetPeer() {
        ASSERT_EQ(nfcInitialize("READERTYPE=NCI"), nfcStatusOk);
        uint16_t pool = 0;
        ASSERT_EQ(osPoolCreate(kRxPool, 2052, 4, &pool), OS_OK);
        ASSERT_EQ(nfcCreate(&events, &P2pEvents::callback, &app), nfcStatusOk);
        ASSERT_EQ(nfcRegisterListener(app, &listenerContext, P2P_INITIATOR, nullptr, &listener), nfcStatusOk);
        ASSERT_TRUE(l1.waitFor(NFCLL_LISTEN_REQ, 1, P2pEvents::kWait));
        TNfcTagInfo device{};
        device.tagType = P2P_INITIATOR;
        const Bytes general = peer.activationBytes();
        std::memcpy(reinterpret_cast<uint8_t*>(&device) + NFCLL_GENERAL_BYTES_OFFSET, general.data(), general.size());
        device.historicalBytesLength = static_cast<WORD>(general.size());
        l1.deviceIndication(device);
        ASSERT_TRUE(events.waitEvent(nfcEventTagDetected, 1));
    }
    template <typename F>
    auto withPeer(F f) {
        std::lock_guard<std::mutex> g(peerLock);
        return f(peer);
    }

    FakeLayer1 l1;
    std::function<void(llcpsim::Peer&)> onPeerFrame;  // runs after each frame, under the peer lock
    std::mutex peerLock;
    llcpsim::Peer peer{llcpsim::Role::Target};
    P2pEvents events;
    NfcHandle app = nullptr;
    NfcListenerHandle listener = nullptr;
    int listenerContext = 0;
};

TEST_F(P2pStack, AnApplicationConnectsAcceptsExchangesResolvesAndDisconnects) {
    withPeer([](llcpsim::Peer& p) { return &p.listen(0x10, "urn:nfc:sn:svc", 2); });
    withPeer([](llcpsim::Peer& p) { return &p.listen(0x12, {}, 1, false); });
    meetPeer();

    // Connect by name: proceeding, then connected.
    int context = 0;
    P2pLinkHandle connection = nullptr;
    ASSERT_EQ(nfcP2PConnectRequest(listener, &context, nullptr, 2, 128, 0, "urn:nfc:sn:svc", &connection),
              nfcStatusOk);
    P2pEvents::Event e{};
    ASSERT_TRUE(events.waitEvent(nfcEventConnected, 1, &e));
    EXPECT_EQ(e.context, &context);
    EXPECT_EQ(e.connected.remoteSap, 0x10);
    EXPECT_EQ(events.codes().at(1), static_cast<DWORD>(nfcEventConnectProceeding));

    // Data both ways, in several I-frames; each send confirmed once.
    const Bytes one(128, 1), two(128, 2), three(60, 3);
    for (const Bytes* d : {&one, &two, &three})
        ASSERT_EQ(nfcP2PDataRequest(connection, d->data(), static_cast<DWORD>(d->size())), nfcStatusOk);
    withPeer([](llcpsim::Peer& p) {
        p.send(0x10, Bytes(300, 0x77));
        return 0;
    });
    ASSERT_TRUE(events.waitEvent(nfcEventDataTransmitted, 3));
    std::string received;
    for (size_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(events.waitEvent(nfcEventDataIndication, n, &e));
        received += e.data;
        EXPECT_EQ(nfcP2PDataResponse(connection), nfcStatusOk);
    }
    EXPECT_EQ(received, std::string(300, 0x77));
    EXPECT_EQ(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x10)->data; }), (std::vector<Bytes>{one, two, three}));

    // The peer connects to an application listener, which answers the new connection.
    P2pLinkHandle server = nullptr;
    ASSERT_EQ(nfcP2PListenRequest(app, nullptr, nullptr, 1, 2, 128, 0, "urn:nfc:sn:app", &server), nfcStatusOk);
    withPeer([](llcpsim::Peer& p) { return &p.connect(0x21, 0, "urn:nfc:sn:app", 2); });
    ASSERT_TRUE(events.waitEvent(nfcEventConnectIndication, 1, &e));
    auto* accepted = static_cast<P2pLinkHandle>(e.context);
    int acceptedContext = 0;
    ASSERT_EQ(nfcP2PConnectResponse(accepted, &acceptedContext, nullptr), nfcStatusOk);
    const Bytes hello{'h', 'i'};
    ASSERT_EQ(nfcP2PDataRequest(accepted, hello.data(), 2), nfcStatusOk);
    ASSERT_TRUE(events.waitEvent(nfcEventDataTransmitted, 4));
    EXPECT_TRUE(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x21)->connected; }));
    EXPECT_EQ(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x21)->data; }), std::vector<Bytes>{hello});

    // A connectionless socket exchanges datagrams.
    P2pLinkHandle socket = nullptr;
    ASSERT_EQ(nfcP2POpenCLSocket(app, nullptr, nullptr, 0x11, &socket), nfcStatusOk);
    const Bytes datagram{5, 6, 7};
    ASSERT_EQ(nfcP2PDataRequestTo(socket, 0x12, datagram.data(), 3), nfcStatusOk);
    withPeer([](llcpsim::Peer& p) {
        p.sendTo(0x12, 0x11, {8, 9});
        return 0;
    });
    ASSERT_TRUE(events.waitEvent(nfcEventDataIndication, 4, &e));
    EXPECT_EQ(e.data, std::string("\x08\x09"));
    EXPECT_EQ(e.sourceSap, 0x12);  // the sender's SAP: where an answer goes
    ASSERT_TRUE(events.waitEvent(nfcEventDataTransmitted, 5));
    EXPECT_EQ(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x12)->data; }), std::vector<Bytes>{datagram});

    // A name resolves to the peer's SAP.
    BYTE sap = 0;
    EXPECT_EQ(nfcP2PSdpRequest(app, "urn:nfc:sn:svc", &sap), nfcStatusOk);
    EXPECT_EQ(sap, 0x10);

    // Disconnecting ends the first connection; losing the peer ends the accepted one.
    ASSERT_EQ(nfcP2PDisconnectRequest(connection), nfcStatusOk);
    ASSERT_TRUE(events.waitEvent(nfcEventHangupTerminated, 1, &e));
    EXPECT_EQ(e.context, &context);
    EXPECT_TRUE(withPeer([](llcpsim::Peer& p) { return p.endpoint(0x10)->closed; }));
    l1.indicate<NFCLL_DEACT_IND>({nullptr});
    ASSERT_TRUE(events.waitEvent(nfcEventDisconnected, 1, &e));
    EXPECT_EQ(e.context, &acceptedContext);
    EXPECT_TRUE(withPeer([](llcpsim::Peer& p) { return p.mismatches.empty(); }));
}

// A SNEP default server on the peer: it asks for the rest of a long PUT with CONTINUE and answers
// each complete one with SUCCESS.
struct PeerSnepServer {
    size_t taken = 0;      // payloads of the endpoint already seen
    Bytes request;
    std::vector<Bytes> puts;
    void operator()(llcpsim::Peer& p) {
        llcpsim::Endpoint* e = p.endpoint(4);
        if (!e) return;
        for (; taken < e->data.size(); ++taken) {
            const bool first = request.empty();
            request.insert(request.end(), e->data[taken].begin(), e->data[taken].end());
            if (request.size() < 6) continue;
            const size_t length = size_t{request[2]} << 24 | size_t{request[3]} << 16 | size_t{request[4]} << 8 | request[5];
            if (request.size() < 6 + length) {
                if (first) p.send(4, {0x10, 0x80, 0, 0, 0, 0});
                continue;
            }
            puts.emplace_back(request.begin() + 6, request.end());
            request.clear();
            p.send(4, {0x10, 0x81, 0, 0, 0, 0});
        }
    }
};

TEST_F(P2pStack, ASnepClientPutsToThePeersDefaultServer) {
    withPeer([](llcpsim::Peer& p) { return &p.listen(4, "urn:nfc:sn:snep", 2); });
    PeerSnepServer snepServer;
    onPeerFrame = [&snepServer](llcpsim::Peer& p) { snepServer(p); };
    meetPeer();
    SnepClientHandle client = nullptr;
    ASSERT_EQ(snepConnect(&client, listener, "urn:nfc:sn:snep", 0, 128, nullptr, nullptr, 0), nfcStatusOk);
    Bytes small(40), large(500);
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
    for (size_t i = 0; i < small.size(); ++i) small[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(snepPut(client, small.data(), static_cast<DWORD>(small.size())), nfcStatusOk);
    EXPECT_EQ(snepPut(client, large.data(), static_cast<DWORD>(large.size())), nfcStatusOk);
    EXPECT_EQ(snepDisconnect(client), nfcStatusOk);
    EXPECT_EQ(snepReleaseClient(client), nfcStatusOk);
    withPeer([&](llcpsim::Peer& p) {
        onPeerFrame = nullptr;  // the link's last frames come after the server is gone
        EXPECT_EQ(snepServer.puts, (std::vector<Bytes>{small, large}));
        EXPECT_TRUE(p.endpoint(4)->closed);
        EXPECT_TRUE(p.mismatches.empty());
        return 0;
    });
}

} // namespace
