// Data requests and received data of the links the upper interface holds, and raw mode 1.
#include "llcp_harness.h"

namespace llcptest {
namespace {

using namespace llcpsim;

class LlcpData : public LlcpTest {};

TEST_F(LlcpData, AUiLongerThanTheLinkMiuIsRefusedAndNothingSent) {
    deviceResponse({0x46, 0x66, 0x6D, 0x01, 0x01, 0x11}); // MIU 128
    setParameter(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectionlessLink(0x10, "urn:nfc:sn:x");
    const Bytes data(129, 0x44);
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 129, 3, 0x30});
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).cause, 0x411);
    EXPECT_EQ(p->queued, 0);
    deliver(symm());
    EXPECT_EQ(lastFrame(), symm());
}

TEST_F(LlcpData, AQueuedUiLeavesTheSendQueueWithItsLink) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectionlessLink(0x10, "urn:nfc:sn:x");
    auto data = std::make_unique<Bytes>(10, 0x11);
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data->data(), 10, 1, 0x30});
    request<NFACE_NFC_LLCP_DISC_REQ>({nullptr, link});
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).handle, 1);
    nfcllcpReleaseLink(p, link);
    data.reset(); // the requester's data are gone: nothing may read them now
    EXPECT_EQ(p->queued, 0);
    deliver(symm());
    EXPECT_EQ(lastFrame(), symm());
}

TEST_F(LlcpData, AUiStillQueuedWhenTheDeviceGoesIsConfirmedOnce) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectionlessLink(0x10, "urn:nfc:sn:x");
    const Bytes data(10, 0x11);
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 10, 4, 0x30});
    fromLayer1(nfcllMsgMake<NFCLL_TECH_REMOVE_IND>(kLayer1Name, {0}));
    const auto confs = up.got(NFACE_NFC_LLCP_DATA_CONF);
    ASSERT_EQ(confs.size(), 1u);
    EXPECT_EQ(osMsgFields<TNfaceLlcpDataConf>(confs[0]).handle, 4);
    EXPECT_EQ(p->queued, 0);
}

TEST_F(LlcpData, RequestsOnAWrongLinkOrStateAreRefused) {
    activate(NFCMAN_LLCP_TARGET);
    const Bytes data(10, 1);
    request<NFACE_NFC_LLCP_DATA_REQ>({&upper, data.data(), 10, 1, 0});
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).cause, 0x411);
    TLlcpLink* link = connectedLink(0x20);
    link->state = LLCP_STATE_IDLE;
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 10, 2, 0});
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).cause, 0x407);
    link->state = LLCP_STATE_CONNECTED;
    link->remoteMiu = 9;
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 10, 3, 0});
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).cause, 0x411);
    link->remoteMiu = 128;
    link->remoteWindow = 0;
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 10, 4, 0});
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).cause, 0x411);
    link->remoteWindow = 1;
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 10, 5, 0});
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DATA_CONF), 4u); // sent, confirmed at its acknowledgement
    EXPECT_EQ(link->outstanding, 1);
    EXPECT_EQ(link->unacked.count, 1);
}

TEST_F(LlcpData, AReceivedUiGoesUpInAReceiveBufferUntilItIsGivenBack) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectionlessLink(0x10, "urn:nfc:sn:x", 1);
    deliver(ui(0x10, 0x33, {1, 2, 3}));
    ASSERT_EQ(up.data.size(), 1u);
    EXPECT_EQ(up.data[0], (Bytes{1, 2, 3}));
    EXPECT_EQ(link->remoteSap, 0x33);
    deliver(ui(0x10, 0x33, {4})); // its only buffer is still up
    EXPECT_EQ(up.data.size(), 1u);
    EXPECT_TRUE(cap.contains("no receive buffer on link 0"));
    request<NFACE_NFC_LLCP_DATA_RESP>({link, 0});
    deliver(ui(0x10, 0x33, {4}));
    ASSERT_EQ(up.data.size(), 2u);
    request<NFACE_NFC_LLCP_DATA_RESP>({link, 1});
    request<NFACE_NFC_LLCP_DATA_RESP>({link, 2});
    EXPECT_TRUE(cap.contains("!! nfcllcpHandleNFCLLCPDataResp: rx buffer q empty"));
}

// After RR the peer may send a whole window: the link stays busy until as many buffers are free.
TEST_F(LlcpData, OnlyAWholeWindowOfFreeBuffersEndsTheBusyState) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(0x20);
    rxMemory.assign(4 * 128, 0);
    llcpLinkGiveRxBuffers(link, rxMemory.data(), 4, 128);
    TLlcpRxBuffer rx{};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(link->rxFree.pop(rx));
        link->rxInUse.push(rx);
    }
    link->flags |= LLCP_LINK_RNR_SENT;
    for (int returned = 1; returned < 4; ++returned) {
        request<NFACE_NFC_LLCP_DATA_RESP>({link, 0});
        EXPECT_TRUE(link->flags & LLCP_LINK_RNR_SENT) << returned << " of 4 back";
    }
    request<NFACE_NFC_LLCP_DATA_RESP>({link, 0});
    EXPECT_FALSE(link->flags & LLCP_LINK_RNR_SENT);
    deliver(symm());
    EXPECT_EQ(lastFrame(), rr(0x20, 32, 0));
}

// The application reads its data at once: the acknowledgement waits for the buffer instead of
// turning the link busy, and goes the moment the buffer is back.
TEST_F(LlcpData, AnAcknowledgementWaitsForTheBufferItNeeds) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(0x20);
    rxMemory.assign(2 * 128, 0);
    llcpLinkGiveRxBuffers(link, rxMemory.data(), 2, 128);
    const size_t before = framesSent();
    deliver(iframe(32, 0x20, 0, 0, {1}));
    EXPECT_EQ(framesSent(), before); // the answer waits
    request<NFACE_NFC_LLCP_DATA_RESP>({link, 0});
    EXPECT_EQ(lastFrame(), rr(0x20, 32, 1));
    EXPECT_FALSE(link->flags & LLCP_LINK_RNR_SENT);
}

// An application that keeps its buffers: within its link time-out this side answers, with RNR.
TEST_F(LlcpData, AHeldAcknowledgementTurnsIntoRnrWhenTheTimerRunsOut) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(0x20);
    rxMemory.assign(2 * 128, 0);
    llcpLinkGiveRxBuffers(link, rxMemory.data(), 2, 128);
    const size_t before = framesSent();
    deliver(iframe(32, 0x20, 0, 0, {1}));
    advance(90);
    EXPECT_EQ(framesSent(), before);
    advance(20);
    ASSERT_EQ(framesSent(), before + 1);
    EXPECT_EQ(ptypeOf(lastFrame()), RNR);
    EXPECT_EQ(lastFrame()[2], 1); // N(R): the frame is acknowledged
    request<NFACE_NFC_LLCP_DATA_RESP>({link, 0});
    deliver(symm());
    EXPECT_EQ(lastFrame(), rr(0x20, 32, 1));
}

TEST_F(LlcpData, RawModeOnePassesFramesUpBoundedByLinkZerosBuffer) {
    nfcmanSetStackBytes(LLCP_RAW_BYPASS, 0);
    setParameter(NFCMAN_LLCP_TARGET);
    deliver({0xDE, 0xAD});
    EXPECT_TRUE(up.data.empty());
    EXPECT_TRUE(cap.contains("no receive buffer on link 0, frame of 2 bytes dropped"));
    TLlcpLink* link = connectionlessLink(0x10, "urn:nfc:sn:x", 1, 16);
    ASSERT_EQ(link, &p->links[0]);
    deliver(Bytes(17, 0xEE));
    EXPECT_TRUE(up.data.empty());
    EXPECT_TRUE(cap.contains("longer than the receive buffer (16) of link 0, dropped"));
    deliver({0xDE, 0xAD});
    ASSERT_EQ(up.data.size(), 1u);
    EXPECT_EQ(up.data[0], (Bytes{0xDE, 0xAD}));
    EXPECT_EQ(link->remoteSap, 1);
}

TEST_F(LlcpData, RawModeOneSendsDataAsTheyAreWhileAReceiveBufferWaits) {
    nfcmanSetStackBytes(LLCP_RAW_BYPASS, 0);
    setParameter(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectionlessLink(0x10, "urn:nfc:sn:x", 1, 64);
    const Bytes data{0xD4, 0x40, 0x01};
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 3, 1, 0});
    EXPECT_EQ(lastFrame(), data);
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DATA_CONF), 0u);
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 3, 2, 0}); // no free receive buffer left
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).cause, 0x40D);
    EXPECT_EQ(framesSent(), 1u);
}

TEST_F(LlcpData, TechnologyRemovalAnswersTheRequestInFlight) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(0x20);
    const Bytes data(10, 1);
    request<NFACE_NFC_LLCP_DATA_REQ>({link, data.data(), 10, 6, 0}, 21);
    fromLayer1(nfcllMsgMake<NFCLL_TECH_REMOVE_IND>(kLayer1Name, {0}));
    const auto confs = up.got(NFACE_NFC_LLCP_DATA_CONF);
    ASSERT_EQ(confs.size(), 1u);
    EXPECT_EQ(osMsgFields<TNfaceLlcpDataConf>(confs[0]).handle, 6);
    EXPECT_EQ(confs[0].spare, 21);
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_DISC_IND).cause, 0x40A);
    EXPECT_EQ(up.count(NFCLL_TECH_REMOVE_IND), 1u);
    EXPECT_FALSE(p->flags & LLCP_ACTIVATED);
}

} // namespace
} // namespace llcptest
