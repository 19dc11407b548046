// The LLCP primitives of an application through the real NFC manager and LLCP task, with the
// peer's frames carried by the fake layer 1: connect by name, data both ways, discovery and
// disconnection, every answer reaching the application that asked.
#include "mgr_harness.h"

#include "llcp/llcp.h"
#include "llcp/llcp_peer.h"

namespace mgrtest {
namespace {

using llcpsim::Bytes;

class MgrP2p : public MgrTest {
protected:
    // The host as initiator meets the peer; every frame LLCP sends is the peer's to answer.
    TestApp& meetPeer() {
        start(kNciFlags, kReaderNci, &llcpRegister);
        EXPECT_EQ(osPoolCreate(0xF3, 2052, 4, &rxPool), OS_OK);
        l1.onCommand(PH_DATA_REQ, [this](FakeLayer1& l, const OsMessage& m) {
            const auto f = nfcllMsgGet<PH_DATA_REQ>(m);
            const Bytes frame(f.buffer + f.offset, f.buffer + f.offset + f.length);
            if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.buffer);
            for (const llcpsim::Reply& r : peer.onFrame(frame)) {
                void* buffer = nullptr;
                if (osBufferGet(rxPool, 2052, &buffer, nullptr, nullptr) != OS_OK) return;
                std::memcpy(buffer, r.frame.data(), r.frame.size());
                l.indicate<PH_DATA_IND>({NFCLL_MSG_OWNS_BUFFER, 0, static_cast<uint16_t>(r.frame.size()),
                                         static_cast<BYTE*>(buffer)});
            }
        });
        TestApp& a = registerApp(0);
        listen(a, P2P_INITIATOR);
        TNfcTagInfo device = tag(P2P_INITIATOR);
        const Bytes general = peer.activationBytes();
        std::memcpy(reinterpret_cast<uint8_t*>(&device) + NFCLL_GENERAL_BYTES_OFFSET, general.data(), general.size());
        device.historicalBytesLength = static_cast<WORD>(general.size());
        detect(device);
        advance(200);
        return a;
    }

    llcpsim::Peer peer{llcpsim::Role::Target};
    uint16_t rxPool = 0;
    std::vector<uint8_t> area = std::vector<uint8_t>(4096);
    int upper = 0;
};

TEST_F(MgrP2p, AnApplicationConnectsExchangesDataResolvesANameAndDisconnects) {
    llcpsim::Endpoint& service = peer.listen(0x10, "urn:nfc:sn:svc", 2);
    TestApp& a = meetPeer();
    request<NFACE_NFC_LLCP_CON_REQ>(a, {&upper, area.data(), "urn:nfc:sn:svc", 4096, 14, 128, 2, 0});
    advance(200);
    ASSERT_EQ(a.last<NFACE_NFC_LLCP_CON_CONF>().cause, 0);
    ASSERT_EQ(a.got(NFACE_NFC_LLCP_CON_ACT_IND).size(), 1u);
    const auto active = a.last<NFACE_NFC_LLCP_CON_ACT_IND>();
    EXPECT_EQ(active.hApp, &upper);
    EXPECT_EQ(active.dsap, 0x10);
    EXPECT_EQ(active.remoteWindow, 2);
    ASSERT_TRUE(service.connected);
    request<NFACE_NFC_LLCP_CON_ACT_RESP>(a, {&upper, active.hLink});

    const Bytes out(100, 0x5A);
    request<NFACE_NFC_LLCP_DATA_REQ>(a, {active.hLink, out.data(), 100, 3, 0});
    peer.send(0x10, Bytes(20, 0xA5));
    advance(200);
    EXPECT_EQ(service.data, std::vector<Bytes>{out});
    ASSERT_EQ(a.got(NFACE_NFC_LLCP_DATA_CONF).size(), 1u);
    EXPECT_EQ(a.last<NFACE_NFC_LLCP_DATA_CONF>().handle, 3);
    ASSERT_EQ(a.got(NFACE_NFC_LLCP_DATA_IND).size(), 1u);
    EXPECT_EQ(a.last<NFACE_NFC_LLCP_DATA_IND>().length, 20);
    request<NFACE_NFC_LLCP_DATA_RESP>(a, {active.hLink, 0});

    peer.offer("urn:nfc:sn:other", 0x12);
    request<NFACE_NFC_LLCP_SDP_REQ>(a, {&upper, "urn:nfc:sn:other", 16});
    advance(200);
    ASSERT_EQ(a.got(NFACE_NFC_LLCP_SDP_CONF).size(), 1u);
    EXPECT_EQ(a.last<NFACE_NFC_LLCP_SDP_CONF>().sap, 0x12);

    request<NFACE_NFC_LLCP_DISC_REQ>(a, {&upper, active.hLink});
    advance(200);
    EXPECT_TRUE(service.closed);
    EXPECT_EQ(a.last<NFACE_NFC_LLCP_DISC_IND>().cause, 0);
    request<NFACE_NFC_LLCP_DISC_RESP>(a, {active.hLink});
    EXPECT_TRUE(peer.mismatches.empty());
}

} // namespace
} // namespace mgrtest
