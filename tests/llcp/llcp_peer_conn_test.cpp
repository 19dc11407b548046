// The engine's connections and datagrams against the independent test peer: what one engine
// in loopback could get wrong the same way on both sides shows here.
#include <gtest/gtest.h>

#include "llcp_harness.h"

namespace llcptest {
namespace {

using namespace llcpsim;

class LlcpWithPeer : public LlcpTest {
protected:
    // The application above the engine: accepts connections and returns receive buffers.
    void converseServed(Peer& peer, uint32_t ms) {
        for (uint32_t t = 0; t < ms; t += 20) {
            converse(peer, 20);
            for (; served < up.messages.size(); ++served) {
                const OsMessage& m = up.messages[served];
                if (m.command == NFACE_NFC_LLCP_CON_ACT_IND) {
                    const auto f = osMsgFields<TNfaceLlcpConActInd>(m);
                    if (f.hLink != listener) request<NFACE_NFC_LLCP_CON_ACT_RESP>({f.hApp, f.hLink});
                    accepted = static_cast<TLlcpLink*>(f.hLink);
                } else if (m.command == NFACE_NFC_LLCP_DATA_IND) {
                    request<NFACE_NFC_LLCP_DATA_RESP>({osMsgFields<TNfaceLlcpDataInd>(m).hLink, 0});
                }
            }
        }
    }
    void listenOn(uint8_t sap, const char* name, uint8_t window, uint8_t mode) {
        area.assign(8192, 0);
        request<NFACE_NFC_LLCP_LISTEN_REQ>({&upper, area.data(), name, 8192,
                                            static_cast<uint16_t>(name ? std::strlen(name) : 0), 128, window, 1,
                                            sap, mode});
        listener = up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_LISTEN_CONF).hLink;
        ASSERT_NE(listener, nullptr);
    }

    std::vector<uint8_t> area;
    void* listener = nullptr;
    TLlcpLink* accepted = nullptr;
    size_t served = 0;
};

TEST_F(LlcpWithPeer, APeerConnectsByNameAndDataCrossBothWaysInFragments) {
    Peer peer(Role::Initiator);
    activate(peer);
    listenOn(0, "urn:nfc:sn:echo", 2, 1);
    Endpoint& e = peer.connect(0x20, 0, "urn:nfc:sn:echo", 2);
    converseServed(peer, 200);
    ASSERT_TRUE(e.connected);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->remoteWindow, 2);
    Bytes big(300);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    peer.send(0x20, big);
    const Bytes one(128, 0xA1), two(50, 0xA2), three(128, 0xA3);
    for (const Bytes* d : {&one, &two, &three})
        request<NFACE_NFC_LLCP_DATA_REQ>({accepted, d->data(), static_cast<uint16_t>(d->size()),
                                          static_cast<uint8_t>(d->front()), 0});
    converseServed(peer, 600);
    Bytes joined;
    for (const Bytes& d : up.data) joined.insert(joined.end(), d.begin(), d.end());
    EXPECT_EQ(up.data.size(), 3u);
    EXPECT_EQ(joined, big);
    EXPECT_EQ(e.data, (std::vector<Bytes>{one, two, three}));
    std::vector<uint8_t> handles;
    for (const OsMessage& m : up.got(NFACE_NFC_LLCP_DATA_CONF))
        handles.push_back(osMsgFields<TNfaceLlcpDataConf>(m).handle);
    EXPECT_EQ(handles, (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
    EXPECT_TRUE(peer.mismatches.empty());

    peer.disconnect(0x20);
    converseServed(peer, 100);
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_DISC_IND).cause, 0);
}

TEST_F(LlcpWithPeer, ABusyPeerHoldsTheEngineBackUntilItIsReady) {
    Peer peer(Role::Initiator);
    activate(peer);
    listenOn(0, "urn:nfc:sn:echo", 2, 1);
    Endpoint& e = peer.connect(0x20, 0, "urn:nfc:sn:echo", 4);
    converseServed(peer, 200);
    ASSERT_TRUE(e.connected);
    peer.setBusy(0x20, true);
    const Bytes d(10, 7);
    converseServed(peer, 60);
    for (uint8_t i = 0; i < 3; ++i) request<NFACE_NFC_LLCP_DATA_REQ>({accepted, d.data(), 10, i, 0});
    converseServed(peer, 200);
    EXPECT_TRUE(e.data.empty());
    EXPECT_TRUE(accepted->flags & LLCP_LINK_REMOTE_BUSY);
    peer.setBusy(0x20, false);
    converseServed(peer, 400);
    EXPECT_EQ(e.data.size(), 3u);
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DATA_CONF), 3u);
}

TEST_F(LlcpWithPeer, DatagramsCrossBetweenConnectionlessSaps) {
    Peer peer(Role::Initiator);
    activate(peer);
    listenOn(0x10, nullptr, 2, 0);
    Endpoint& e = peer.listen(0x11, {}, 1, false);
    peer.sendTo(0x11, 0x10, {1, 2, 3});
    converseServed(peer, 100);
    ASSERT_EQ(up.data.size(), 1u);
    EXPECT_EQ(up.data[0], (Bytes{1, 2, 3}));
    const Bytes back{9, 8};
    request<NFACE_NFC_LLCP_DATA_REQ>({listener, back.data(), 2, 4, 0x11});
    converseServed(peer, 100);
    EXPECT_EQ(e.data, std::vector<Bytes>{back});
    EXPECT_EQ(e.sources, std::vector<uint8_t>{0x10});
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DATA_CONF), 1u);
}

} // namespace
} // namespace llcptest
