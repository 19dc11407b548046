// Service discovery both ways against the test peer.
#include "llcp_harness.h"

namespace llcptest {
namespace {

using namespace llcpsim;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

class LlcpSnl : public LlcpTest {
protected:
    void offerServices() {
        TLlcpLink* link = nullptr;
        ASSERT_EQ(nfcllcpAllocListenLink(p, &link, kApp, &upper, 0, "urn:nfc:sn:snep", 15, true), LLCP_OK);
        ASSERT_EQ(nfcllcpAllocListenLink(p, &link, kApp, &upper, 20, "urn:nfc:xsvc", 12, false), LLCP_OK);
    }
    void ask(const char* name, uint16_t identity = 7) {
        request<NFACE_NFC_LLCP_SDP_REQ>({&requester, name, static_cast<uint16_t>(std::strlen(name))}, identity);
    }
    int requester = 0;
};

enum class EndOfPeer { LinkTimeout, DeviceGone, DiscAsInitiatorInRawModeTwo };

void PrintTo(EndOfPeer e, std::ostream* os) {
    *os << (e == EndOfPeer::LinkTimeout ? "link time-out" : e == EndOfPeer::DeviceGone ? "device gone" : "LM DISC");
}

class LlcpSnlEnd : public LlcpSnl, public ::testing::WithParamInterface<EndOfPeer> {};

// However the peer goes, a discovery request still waiting for this side's turn goes with it:
// it is answered as not active, no downstream buffer stays held, and the next device's first
// answer carries no SNL that would take the next peer's SDRES as this request's.
TEST_P(LlcpSnlEnd, AQueuedDiscoveryRequestGoesWithThePeer) {
    const bool byDisc = GetParam() == EndOfPeer::DiscAsInitiatorInRawModeTwo;
    if (byDisc) nfcmanSetStackBytes(LLCP_RAW_FAST_SYMM, 0);
    activate(byDisc ? NFCMAN_LLCP_INITIATOR : NFCMAN_LLCP_TARGET);
    deliver(symm());  // answered: the turn is the peer's
    const size_t sent = framesSent();
    ask("urn:nfc:sn:snep");
    ASSERT_EQ(framesSent(), sent);  // the SNL waits for the turn
    switch (GetParam()) {
    case EndOfPeer::LinkTimeout: advance(460); break;
    case EndOfPeer::DeviceGone: fromLayer1(nfcllMsgMake<NFCLL_DEVICE_IND>(kLayer1Name, {0, nullptr})); break;
    case EndOfPeer::DiscAsInitiatorInRawModeTwo: deliver(disc(0, 0)); break;
    }
    ASSERT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 1u);
    EXPECT_EQ(up.last<TNfaceLlcpSdpConf>(NFACE_NFC_LLCP_SDP_CONF).cause, 0x40A);
    EXPECT_EQ(p->queued, 0);
    EXPECT_EQ(osPoolFree(p->dsPool), LLCP_DS_BUFFERS);
    nfcmanSetStackBytes(0, 0);
    activate(NFCMAN_LLCP_TARGET);
    deliver(symm());
    advance(100);
    for (size_t i = sent; i < framesSent(); ++i) EXPECT_NE(ptypeOf(down.frames[i]), SNL) << "frame " << i;
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 1u);
}

INSTANTIATE_TEST_SUITE_P(Ways, LlcpSnlEnd,
                         ::testing::Values(EndOfPeer::LinkTimeout, EndOfPeer::DeviceGone,
                                           EndOfPeer::DiscAsInitiatorInRawModeTwo));

// A disconnection of the application's ends its open discovery: it is answered, not dropped.
TEST_F(LlcpSnl, ADiscoveryCutShortByADisconnectionIsAnswered) {
    activate(NFCMAN_LLCP_TARGET);
    deliver(symm());
    ask("urn:nfc:sn:snep");
    TLlcpLink* link = connectedLink(0x20);
    request<NFACE_NFC_LLCP_DISC_REQ>({nullptr, link});
    ASSERT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 1u);
    EXPECT_EQ(up.last<TNfaceLlcpSdpConf>(NFACE_NFC_LLCP_SDP_CONF).cause, 0x407);
    deliver(snl(sdres(1, 4)));  // the peer's late answer finds no request
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 1u);
}

TEST_F(LlcpSnl, ThePeersRequestsAreAnsweredInOneSnl) {
    activate(NFCMAN_LLCP_TARGET);
    offerServices();
    deliver(snl(cat({sdreq(1, "urn:nfc:sn:snep"), sdreq(2, "urn:nfc:xsvc"), sdreq(3, "urn:nfc:none")})));
    EXPECT_EQ(lastFrame(), snl(cat({sdres(1, 4), sdres(2, 20), sdres(3, 0)})));
    EXPECT_TRUE(cap.contains("TID 1 uri 'urn:nfc:sn:snep'"));
}

TEST_F(LlcpSnl, TheEnginesRequestIsConfirmedWithThePeersSap) {
    Peer peer;
    peer.offer("urn:nfc:sn:snep", 4);
    activate(peer);
    ask("urn:nfc:sn:snep", 11);
    converse(peer, 300);
    ASSERT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 1u);
    const auto conf = up.last<TNfaceLlcpSdpConf>(NFACE_NFC_LLCP_SDP_CONF);
    EXPECT_EQ(conf.cause, 0);
    EXPECT_EQ(conf.sap, 4);
    EXPECT_EQ(conf.hApp, &requester);
    EXPECT_EQ(up.got(NFACE_NFC_LLCP_SDP_CONF)[0].spare, 11);
    EXPECT_EQ(mmWordInstance(up.got(NFACE_NFC_LLCP_SDP_CONF)[0].source), kApp);

    ask("urn:nfc:sn:unknown");
    converse(peer, 300);
    ASSERT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 2u);
    EXPECT_EQ(up.last<TNfaceLlcpSdpConf>(NFACE_NFC_LLCP_SDP_CONF).cause, LLCP_SDP_NOT_FOUND);
    EXPECT_TRUE(peer.mismatches.empty());
}

TEST_F(LlcpSnl, APeerOfVersionOnePointZeroGetsNoAnswer) {
    LinkParams old;
    old.version = 0x10;
    activate(NFCMAN_LLCP_TARGET, old);
    offerServices();
    deliver(snl(sdreq(1, "urn:nfc:sn:snep")));
    EXPECT_NE(ptypeOf(lastFrame()), SNL);
    EXPECT_TRUE(cap.contains("remote LLCP does not support SNL, do not respond!"));
}

TEST_F(LlcpSnl, RequestsAreRefusedBeforeActivationOverlongOrBeyondFourAtOnce) {
    ask("urn:nfc:sn:snep");
    EXPECT_EQ(up.last<TNfaceLlcpSdpConf>(NFACE_NFC_LLCP_SDP_CONF).cause, 0x407);
    activate(NFCMAN_LLCP_TARGET);
    const std::string longName(255, 'n');
    request<NFACE_NFC_LLCP_SDP_REQ>({&requester, longName.c_str(), 255});
    EXPECT_EQ(up.last<TNfaceLlcpSdpConf>(NFACE_NFC_LLCP_SDP_CONF).cause, 0x411);
    for (int i = 0; i < 4; ++i) {
        ask("urn:nfc:sn:snep");
        deliver(symm()); // the SNL goes out; the peer never answers it
    }
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 2u);
    ask("urn:nfc:sn:snep");
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 3u);
    EXPECT_EQ(up.last<TNfaceLlcpSdpConf>(NFACE_NFC_LLCP_SDP_CONF).cause, 0x40D);
    EXPECT_TRUE(cap.contains("LLCP: NO free TID!"));
}

TEST_F(LlcpSnl, QueuedDiscoveryFramesHoldingTheWholePoolStillGoOut) {
    activate(NFCMAN_LLCP_TARGET);
    offerServices();
    ask("urn:nfc:sn:snep");
    deliver(snl(sdreq(5, "urn:nfc:xsvc"))); // both downstream buffers are now queued PDUs
    EXPECT_EQ(lastFrame(), agf({snl(sdreq(1, "urn:nfc:sn:snep")), snl(sdres(5, 20))}));
    deliver(symm());
    EXPECT_EQ(lastFrame(), symm());
}

TEST_F(LlcpSnl, AResponseForNoOpenRequestIsTracedOnly) {
    activate(NFCMAN_LLCP_TARGET);
    deliver(snl(sdres(3, 4)));
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 0u);
    EXPECT_TRUE(cap.contains("response -- no TID found!"));
}

struct SnlCase {
    const char* what;
    Bytes frame;
    Bytes answer; // the SNL the engine answers with; empty for none
};

void PrintTo(const SnlCase& c, std::ostream* os) { *os << c.what; }

class LlcpSnlMalformed : public LlcpSnl, public ::testing::WithParamInterface<SnlCase> {};

TEST_P(LlcpSnlMalformed, IsSkippedAndTheRestServed) {
    const SnlCase& c = GetParam();
    activate(NFCMAN_LLCP_TARGET);
    offerServices();
    ask("urn:nfc:sn:snep"); // tid 1 is open
    deliver(symm());
    ASSERT_EQ(lastFrame(), snl(sdreq(1, "urn:nfc:sn:snep")));
    deliver(c.frame);
    if (c.answer.empty())
        EXPECT_NE(ptypeOf(lastFrame()), SNL) << c.what;
    else
        EXPECT_EQ(lastFrame(), c.answer) << c.what;
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_SDP_CONF), 0u) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, LlcpSnlMalformed,
    ::testing::Values(
        SnlCase{"SDREQ of length 0", snl(cat({Bytes{SDREQ, 0}, sdreq(2, "urn:nfc:xsvc")})), snl(sdres(2, 20))},
        SnlCase{"SDRES of length 1", snl(cat({Bytes{SDRES, 1, 1}, sdreq(2, "urn:nfc:xsvc")})), snl(sdres(2, 20))},
        SnlCase{"SDRES of length 3", snl(Bytes{SDRES, 3, 1, 4, 0}), {}},
        SnlCase{"TLV past the end", snl(cat({sdreq(2, "urn:nfc:xsvc"), Bytes{SDREQ, 9, 3}})), snl(sdres(2, 20))},
        SnlCase{"SSAP not 1", Bytes{0x06, 0x42, SDRES, 2, 1, 4}, {}},
        SnlCase{"unknown parameter", snl(cat({Bytes{0x20, 1, 0}, sdreq(2, "urn:nfc:xsvc")})), snl(sdres(2, 20))}));

TEST_F(LlcpSnl, TheAnswerStaysWithinThePeersMiu) {
    deviceResponse({0x46, 0x66, 0x6D, 0x01, 0x01, 0x11}); // MIU 128
    setParameter(NFCMAN_LLCP_TARGET);
    Bytes requests;
    for (uint8_t tid = 0; tid < 40; ++tid) requests = cat({requests, sdreq(tid, "a")});
    deliver(snl(requests));
    Pdu pdu;
    ASSERT_TRUE(decode(lastFrame(), pdu));
    EXPECT_EQ(pdu.ptype, SNL);
    EXPECT_EQ(pdu.info.size(), 128u);
}

TEST_F(LlcpSnl, ACountedNameIsTracedWithinItsLength) {
    activate(NFCMAN_LLCP_TARGET);
    deliver(snl(cat({sdreq(1, "urn:nfc:ab"), Bytes{'T', 'A', 'I', 'L'}})));
    EXPECT_TRUE(cap.contains("TID 1 uri 'urn:nfc:ab'"));
    EXPECT_FALSE(cap.contains("TAIL"));
}

} // namespace
} // namespace llcptest
