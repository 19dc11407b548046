// Two engines in one process on one OS layer, A as initiator and B as target: each frame one
// sends reaches the other on the next pump step, in virtual time. Stand-ins for the NFC manager
// above each engine record the primitives and answer them as an application would.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "llcp_pair.h"

namespace llcptest {
namespace {

using namespace llcpsim;

class LlcpLoopback : public LlcpPair {
protected:
    // The application above the engine: accepts connections, ends links, returns buffers.
    void answer(Side& s) override {
        while (s.answered < s.up.messages.size()) {
            const OsMessage m = s.up.messages[s.answered++];
            switch (m.command) {
                case NFACE_NFC_LLCP_CON_ACT_IND: {
                    const auto f = osMsgFields<TNfaceLlcpConActInd>(m);
                    request<NFACE_NFC_LLCP_CON_ACT_RESP>(s, {f.hApp, f.hLink});
                    break;
                }
                case NFACE_NFC_LLCP_DISC_IND:
                    request<NFACE_NFC_LLCP_DISC_RESP>(s, {osMsgFields<TNfaceLlcpLinkCause>(m).hLink});
                    break;
                case NFACE_NFC_LLCP_DATA_IND: {
                    const auto f = osMsgFields<TNfaceLlcpDataInd>(m);
                    s.received.emplace_back(f.data, f.data + f.length);
                    if (s.returnData) request<NFACE_NFC_LLCP_DATA_RESP>(s, {f.hLink, f.handle});
                    break;
                }
                case NFACE_NFC_LLCP_DATA_CONF:
                    s.handles.push_back(osMsgFields<TNfaceLlcpDataConf>(m).handle);
                    s.sendCauses.push_back(osMsgFields<TNfaceLlcpDataConf>(m).cause);
                    break;
                default: break;
            }
        }
    }
    TLlcpLink* listen(Side& s, const char* name, uint8_t window, uint8_t maxConnections = 1, uint16_t miu = 128) {
        request<NFACE_NFC_LLCP_LISTEN_REQ>(s, {&s.upper, s.area.data(), name, static_cast<uint32_t>(s.area.size()),
                                               static_cast<uint16_t>(name ? std::strlen(name) : 0), miu, window,
                                               maxConnections, 0, 1});
        return static_cast<TLlcpLink*>(s.up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_LISTEN_CONF).hLink);
    }
    TLlcpLink* connect(Side& s, const char* name, uint8_t window, uint8_t dsap = 0) {
        request<NFACE_NFC_LLCP_CON_REQ>(s, {&s.upper, s.area.data(), name, static_cast<uint32_t>(s.area.size()),
                                            static_cast<uint16_t>(name ? std::strlen(name) : 0), 128, window, dsap});
        return static_cast<TLlcpLink*>(s.up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_CON_CONF).hLink);
    }
    // B's connection accepted from its listener.
    TLlcpLink* acceptedOn(Side& s) {
        const auto all = s.up.got(NFACE_NFC_LLCP_CON_ACT_IND);
        return all.empty() ? nullptr : static_cast<TLlcpLink*>(osMsgFields<TNfaceLlcpConActInd>(all.back()).hLink);
    }
    // A connected to B's listener of the window (B's receive window) with A's own window.
    std::pair<TLlcpLink*, TLlcpLink*> connectedPair(uint8_t windowB, uint8_t windowA = 4) {
        activateBoth();
        listen(b, "urn:nfc:sn:loop", windowB);
        TLlcpLink* la = connect(a, "urn:nfc:sn:loop", windowA);
        pump(200);
        TLlcpLink* lb = acceptedOn(b);
        EXPECT_TRUE(la && la->state == LLCP_STATE_CONNECTED);
        EXPECT_TRUE(lb && lb->state == LLCP_STATE_CONNECTED);
        return {la, lb};
    }
    // The data stay the requester's until their confirmation: the fixture keeps a copy till the end.
    void send(Side& s, TLlcpLink* link, const Bytes& data, uint8_t handle, uint8_t dsap = 0) {
        const Bytes& kept = sent.emplace_back(data);
        request<NFACE_NFC_LLCP_DATA_REQ>(s, {link, kept.data(), static_cast<uint16_t>(kept.size()), handle, dsap});
    }

    std::deque<Bytes> sent;
};

TEST_F(LlcpLoopback, AConnectionByNameCarriesDataBothWaysAndConfirmsEachSendOnce) {
    auto [la, lb] = connectedPair(4);
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_CON_CONF), std::vector<uint16_t>{0});
    EXPECT_EQ(la->remoteWindow, 4);
    EXPECT_EQ(lb->localSap, b.engine->links[0].localSap);
    std::vector<Bytes> data;
    for (uint8_t i = 0; i < 6; ++i) data.push_back(Bytes(100, i));
    for (uint8_t i = 0; i < 3; ++i) send(a, la, data[i], static_cast<uint8_t>(10 + i));
    for (uint8_t i = 3; i < 6; ++i) send(b, lb, data[i], static_cast<uint8_t>(20 + i));
    pump(300);
    EXPECT_EQ(b.received, std::vector<Bytes>(data.begin(), data.begin() + 3));
    EXPECT_EQ(a.received, std::vector<Bytes>(data.begin() + 3, data.end()));
    EXPECT_EQ(a.handles, (std::vector<uint8_t>{10, 11, 12}));
    EXPECT_EQ(b.handles, (std::vector<uint8_t>{23, 24, 25}));
}

TEST_F(LlcpLoopback, WithWindowOneTheSecondRequestWaitsForTheFirstAcknowledgement) {
    auto [la, lb] = connectedPair(1);
    ASSERT_EQ(la->remoteWindow, 1);
    const Bytes one(20, 1), two(20, 2);
    send(a, la, one, 1);
    send(a, la, two, 2);
    EXPECT_EQ(la->outstanding, 1);
    EXPECT_EQ(la->pending.count, 1);
    pump(300);
    EXPECT_EQ(b.received, (std::vector<Bytes>{one, two}));
    EXPECT_EQ(a.handles, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(lb->rxFree.count, 1);
}

TEST_F(LlcpLoopback, SequenceNumbersWrapOverFortyFramesEachWay) {
    auto [la, lb] = connectedPair(2, 2);
    std::vector<Bytes> toB, toA;
    for (uint8_t i = 0; i < 40; ++i) {
        toB.push_back(Bytes(8, i));
        toA.push_back(Bytes(9, static_cast<uint8_t>(0x80 + i)));
    }
    for (uint8_t i = 0; i < 40; ++i) {
        send(a, la, toB[i], i);
        send(b, lb, toA[i], i);
        if (la->pending.full() || lb->pending.full()) pump(40);
    }
    pump(2000);
    EXPECT_EQ(b.received, toB);
    EXPECT_EQ(a.received, toA);
    std::vector<uint8_t> expected;
    for (uint8_t i = 0; i < 40; ++i) expected.push_back(i);
    EXPECT_EQ(a.handles, expected);
    EXPECT_EQ(b.handles, expected);
    EXPECT_EQ(la->vs, 40 % 16);
}

// The application holds its buffers while window after window of small SDUs comes: the link
// turns busy, stays busy until a whole window of buffers is free again, and every SDU arrives;
// none is dropped and the connection does not end.
TEST_F(LlcpLoopback, WindowsOfDataSentWhileTheApplicationHoldsBuffersArriveWhole) {
    auto [la, lb] = connectedPair(4);
    b.returnData = false;
    std::vector<Bytes> data;
    for (uint8_t i = 0; i < 12; ++i) data.push_back(Bytes(30, i));
    for (uint8_t i = 0; i < 4; ++i) send(a, la, data[i], i);
    pump(300);
    EXPECT_EQ(b.received.size(), 4u);
    EXPECT_TRUE(lb->flags & LLCP_LINK_RNR_SENT);
    EXPECT_TRUE(la->flags & LLCP_LINK_REMOTE_BUSY);
    for (uint8_t i = 4; i < 12; ++i) send(a, la, data[i], i);
    pump(200);
    EXPECT_EQ(b.received.size(), 4u); // the peer holds back while busy
    for (int round = 0; round < 12 && b.received.size() < data.size(); ++round) {
        // Two buffers back at a time: never a whole window free while the peer sends.
        for (int n = 0; n < 2 && lb->rxInUse.count; ++n) request<NFACE_NFC_LLCP_DATA_RESP>(b, {lb, 0});
        pump(200);
    }
    EXPECT_EQ(b.received, data);
    EXPECT_TRUE(b.causes(NFACE_NFC_LLCP_DISC_IND).empty());
    EXPECT_EQ(a.sendCauses, std::vector<uint16_t>(12, 0));
}

TEST_F(LlcpLoopback, AnNrBeyondTheOutstandingFramesIsRejectedByteByByte) {
    auto [la, lb] = connectedPair(4);
    send(b, lb, Bytes(5, 1), 1);
    pump(100); // B: V(S) 1, V(SA) 1
    const uint8_t ns = la->vs;
    deliver(b, iframe(lb->localSap, lb->remoteSap, ns, 3, {7}));
    pump(50);
    Pdu pdu;
    bool found = false;
    for (const Bytes& frame : b.down.frames)
        if (decode(frame, pdu) && pdu.ptype == FRMR) {
            found = true;
            break;
        }
    ASSERT_TRUE(found);
    EXPECT_EQ(pdu.info, (Bytes{0x2C, static_cast<uint8_t>(ns << 4 | 3), 0x10, 0x10}));
    EXPECT_EQ(b.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0x40B});
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0});
}

// A DM for a connection neither side has is dropped where it lands: it does not bounce.
TEST_F(LlcpLoopback, AStrayDmIsNotBouncedBetweenTwoEngines) {
    activateBoth();
    pump(100);
    deliver(b, dm(0x20, 0x21, {2}));
    pump(2000);
    size_t dms = 0;
    Pdu pdu;
    for (const Side* s : {&a, &b})
        for (const Bytes& frame : s->down.frames) dms += decode(frame, pdu) && pdu.ptype == DM;
    EXPECT_EQ(dms, 0u);
}

// A connection that this side accepted and closed leaves its service as it was: reachable by
// name and by discovery, its SAP not given to another listener.
TEST_F(LlcpLoopback, AnAcceptedConnectionClosedLocallyLeavesItsServiceReachable) {
    auto [la, lb] = connectedPair(2);
    const uint8_t sap = lb->localSap;
    request<NFACE_NFC_LLCP_DISC_REQ>(b, {&b.upper, lb});
    pump(200);
    ASSERT_EQ(b.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0});
    ASSERT_EQ(a.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0});
    EXPECT_EQ(b.engine->saps[sap].state, LLCP_SAP_USED);
    request<NFACE_NFC_LLCP_LISTEN_REQ>(b, {&b.upper, b.area.data() + 8192, nullptr, 4096, 0, 128, 1, 1, sap, 1});
    EXPECT_EQ(b.causes(NFACE_NFC_LLCP_LISTEN_CONF).back(), 0x418);  // the SAP is still its listener's
    BYTE found = 0;
    request<NFACE_NFC_LLCP_SDP_REQ>(a, {&found, "urn:nfc:sn:loop", 15});
    TLlcpLink* again = connect(a, "urn:nfc:sn:loop", 4);
    pump(300);
    ASSERT_EQ(a.up.count(NFACE_NFC_LLCP_SDP_CONF), 1u);
    EXPECT_EQ(a.up.last<TNfaceLlcpSdpConf>(NFACE_NFC_LLCP_SDP_CONF).sap, sap);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->state, LLCP_STATE_CONNECTED);
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_DISC_IND).size(), 1u);  // only the first connection's end
}

// A datagram reaches the application with the SAP it came from, where an answer goes.
TEST_F(LlcpLoopback, ADatagramCarriesItsSendersSap) {
    activateBoth();
    request<NFACE_NFC_LLCP_LISTEN_REQ>(a, {&a.upper, a.area.data(), nullptr, 8192, 0, 128, 2, 0, 0x11, 0});
    request<NFACE_NFC_LLCP_LISTEN_REQ>(b, {&b.upper, b.area.data(), nullptr, 8192, 0, 128, 2, 0, 0x12, 0});
    auto* socket = static_cast<TLlcpLink*>(a.up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_LISTEN_CONF).hLink);
    send(a, socket, {1, 2, 3}, 1, 0x12);
    pump(100);
    const auto inds = b.up.got(NFACE_NFC_LLCP_DATA_IND);
    ASSERT_EQ(inds.size(), 1u);
    EXPECT_EQ(osMsgFields<TNfaceLlcpDataInd>(inds[0]).ssap, 0x11);
}

TEST_F(LlcpLoopback, BothSidesConnectingAtOnceEndConnected) {
    activateBoth();
    TLlcpLink* la = connect(a, nullptr, 2, 0x20);
    TLlcpLink* lb = connect(b, nullptr, 2, 0x20);
    ASSERT_TRUE(la && lb);
    pump(300);
    EXPECT_EQ(la->state, LLCP_STATE_CONNECTED);
    EXPECT_EQ(lb->state, LLCP_STATE_CONNECTED);
    EXPECT_TRUE(a.causes(NFACE_NFC_LLCP_DISC_IND).empty());
    send(a, la, Bytes(4, 9), 3);
    pump(100);
    EXPECT_EQ(b.received, (std::vector<Bytes>{Bytes(4, 9)}));
    EXPECT_EQ(a.handles, std::vector<uint8_t>{3});
}

TEST_F(LlcpLoopback, ADisconnectEndsBothSidesOnceAndFreesTheLinks) {
    auto [la, lb] = connectedPair(4);
    request<NFACE_NFC_LLCP_DISC_REQ>(a, {&a.upper, la});
    pump(200);
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_DISC_CONF), std::vector<uint16_t>{0});
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0});
    EXPECT_EQ(b.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0});
    EXPECT_EQ(a.engine->linkCount, 0);
    EXPECT_EQ(b.engine->linkCount, 1); // the listener stays
    EXPECT_EQ(b.engine->links[0].blocksUsed, 0);
}

TEST_F(LlcpLoopback, ADroppedFrameEndsEveryConnectionWithTheLinkTimeout) {
    auto [la, lb] = connectedPair(4);
    fault = [](Side&, Bytes&) { return Carry::Drop; };
    send(a, la, Bytes(3, 1), 1);
    pump(1500);
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0x408});
    EXPECT_EQ(b.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0x408});
    EXPECT_EQ(a.handles, std::vector<uint8_t>{1}); // answered once, before the indication,
    EXPECT_EQ(a.sendCauses, std::vector<uint16_t>{0x408}); // and not as sent: it never got through
}

TEST_F(LlcpLoopback, ADuplicatedIFrameIsASequenceErrorThatEndsTheConnection) {
    auto [la, lb] = connectedPair(4);
    fault = [](Side& from, Bytes& frame) {
        Pdu pdu;
        return from.word == 0xB1 && decode(frame, pdu) && pdu.ptype == I ? Carry::Duplicate : Carry::Deliver;
    };
    send(a, la, Bytes(3, 1), 1);
    pump(200);
    EXPECT_EQ(b.received.size(), 1u);
    EXPECT_EQ(b.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0x40B});
    EXPECT_EQ(a.handles, std::vector<uint8_t>{1});
}

TEST_F(LlcpLoopback, TechnologyRemovalConfirmsEveryHeldRequestOnceBeforeTheIndication) {
    auto [la, lb] = connectedPair(1);
    fault = [](Side&, Bytes&) { return Carry::Drop; };
    for (uint8_t i = 0; i < 3; ++i) send(a, la, Bytes(3, i), i);
    OsMessage removal = nfcllMsgMake<NFCLL_TECH_REMOVE_IND>(kLayer1Name, {0});
    post(a, removal);
    answer(a);
    EXPECT_EQ(a.handles, (std::vector<uint8_t>{0, 1, 2}));
    size_t lastConf = 0, firstInd = a.up.messages.size();
    for (size_t i = 0; i < a.up.messages.size(); ++i) {
        if (a.up.messages[i].command == NFACE_NFC_LLCP_DATA_CONF) lastConf = i;
        if (a.up.messages[i].command == NFACE_NFC_LLCP_DISC_IND && i < firstInd) firstInd = i;
    }
    EXPECT_LT(lastConf, firstInd);
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0x40A});
}

TEST_F(LlcpLoopback, ACorruptedTypeIsRejectedAndEndsTheConnectionOnBothSides) {
    auto [la, lb] = connectedPair(4);
    fault = [](Side& from, Bytes& frame) {
        Pdu pdu;
        if (from.word == 0xB1 && decode(frame, pdu) && pdu.ptype == I) frame[1] |= 0xC0; // PTYPE 15
        return Carry::Deliver;
    };
    send(a, la, Bytes(3, 1), 1);
    pump(200);
    Pdu pdu;
    bool rejected = false;
    for (const Bytes& frame : b.down.frames) rejected = rejected || (decode(frame, pdu) && pdu.ptype == FRMR);
    EXPECT_TRUE(rejected);
    EXPECT_TRUE(b.received.empty());
    EXPECT_EQ(b.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0x40B});
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0});
    EXPECT_EQ(a.handles, std::vector<uint8_t>{1});
}

TEST_F(LlcpLoopback, DeactivationEndsTheConnectionsOfBothSides) {
    connectedPair(4);
    OsMessage deact = nfcllMsgMake<DL_DEACT_REQ>(NFCMAN_QUEUE_NAME, {nullptr});
    post(a, deact);
    EXPECT_EQ(a.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0});
    pump(1500);
    EXPECT_EQ(b.causes(NFACE_NFC_LLCP_DISC_IND), std::vector<uint16_t>{0x408});
    EXPECT_EQ(a.up.count(LLCP_DL_DEACT_IND), 1u);
}

} // namespace
} // namespace llcptest
