// A link's answer to each PDU in each of its states, and the connect and listen requests'
// limits: one engine against hand-made frames.
#include <gtest/gtest.h>

#include <optional>

#include "llcp_harness.h"

namespace llcptest {
namespace {

using namespace llcpsim;

constexpr uint8_t kLocal = 0x20; // the first SAP an outgoing link takes
constexpr uint8_t kRemote = 0x30;

struct ReactionCase {
    const char* what;
    uint32_t state;
    Bytes frame; // from the peer's kRemote to kLocal
    std::optional<Bytes> answer; // the frame the link sends, when it sends one
    std::optional<uint16_t> indication; // the cause of its DISC_IND, when one goes up
    uint32_t after;
};

class LlcpReaction : public LlcpTest, public ::testing::WithParamInterface<ReactionCase> {};

TEST_P(LlcpReaction, FollowsTheTable) {
    const ReactionCase& c = GetParam();
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(kRemote);
    ASSERT_EQ(link->localSap, kLocal);
    rxMemory.assign(256, 0);
    llcpLinkGiveRxBuffers(link, rxMemory.data(), 2, 128);
    link->state = c.state;
    const size_t before = framesSent();
    deliver(c.frame);
    // As an application, it reads the data at once and gives the buffer back.
    for (const OsMessage& m : up.got(NFACE_NFC_LLCP_DATA_IND))
        request<NFACE_NFC_LLCP_DATA_RESP>({osMsgFields<TNfaceLlcpDataInd>(m).hLink, 0});
    if (c.answer) {
        EXPECT_EQ(lastFrame(), *c.answer) << c.what;
    } else {
        EXPECT_EQ(framesSent(), before + 1) << c.what;
        EXPECT_EQ(lastFrame(), symm()) << c.what;
    }
    const auto inds = up.got(NFACE_NFC_LLCP_DISC_IND);
    if (c.indication) {
        ASSERT_EQ(inds.size(), 1u) << c.what;
        EXPECT_EQ(osMsgFields<TNfaceLlcpLinkCause>(inds[0]).cause, *c.indication) << c.what;
    } else {
        EXPECT_TRUE(inds.empty()) << c.what;
    }
    EXPECT_EQ(link->state, c.after) << c.what;
}

void PrintTo(const ReactionCase& c, std::ostream* os) { *os << c.what; }

const Bytes kCcParams = tlv(RW, {2});
Bytes frmrOf(uint8_t flagsType, uint8_t sequence = 0) { return frmr(kRemote, kLocal, {flagsType, sequence, 0, 0}); }

INSTANTIATE_TEST_SUITE_P(
    Table, LlcpReaction,
    ::testing::Values(
        ReactionCase{"DISC in 1", 1, disc(kLocal, kRemote), dm(kRemote, kLocal, {0}), std::nullopt, 1},
        ReactionCase{"CC in 1", 1, cc(kLocal, kRemote), dm(kRemote, kLocal, {1}), std::nullopt, 1},
        ReactionCase{"FRMR in 1", 1, frmr(kLocal, kRemote, {0, 0, 0, 0}), dm(kRemote, kLocal, {1}), std::nullopt, 1},
        ReactionCase{"I in 1", 1, iframe(kLocal, kRemote, 0, 0, {1}), dm(kRemote, kLocal, {1}), std::nullopt, 1},
        ReactionCase{"RR in 1", 1, rr(kLocal, kRemote, 0), dm(kRemote, kLocal, {1}), std::nullopt, 1},
        ReactionCase{"DM in 1 is not answered", 1, dm(kLocal, kRemote, {2}), std::nullopt, std::nullopt, 1},
        ReactionCase{"CONNECT in 2", 2, connect(kLocal, kRemote), cc(kRemote, kLocal, tlv(RW, {2})), std::nullopt,
                     3},
        ReactionCase{"DISC in 2: DM with reason 0", 2, disc(kLocal, kRemote), dm(kRemote, kLocal, {0}), std::nullopt,
                     2},
        ReactionCase{"CC in 2", 2, cc(kLocal, kRemote, kCcParams), std::nullopt, std::nullopt, 3},
        ReactionCase{"DM in 2", 2, dm(kLocal, kRemote, {3}), std::nullopt, 0x403, 1},
        ReactionCase{"FRMR in 2", 2, frmr(kLocal, kRemote, {0, 0, 0, 0}), std::nullopt, std::nullopt, 2},
        ReactionCase{"I in 2", 2, iframe(kLocal, kRemote, 0, 0, {1}), std::nullopt, std::nullopt, 2},
        ReactionCase{"CONNECT in 3", 3, connect(kLocal, kRemote), frmrOf(0x84), 0x40B, 1},
        ReactionCase{"DISC in 3", 3, disc(kLocal, kRemote), dm(kRemote, kLocal, {0}), 0, 1},
        ReactionCase{"CC in 3", 3, cc(kLocal, kRemote), frmrOf(0x86), 0x40B, 1},
        ReactionCase{"DM in 3", 3, dm(kLocal, kRemote, {0}), std::nullopt, 0, 1},
        ReactionCase{"FRMR in 3", 3, frmr(kLocal, kRemote, {0, 0, 0, 0}), std::nullopt, 0, 1},
        ReactionCase{"I in 3", 3, iframe(kLocal, kRemote, 0, 0, {1}), rr(kRemote, kLocal, 1), std::nullopt, 3},
        ReactionCase{"CONNECT in 4", 4, connect(kLocal, kRemote), dm(kRemote, kLocal, {1}), 0, 1},
        ReactionCase{"DISC in 4", 4, disc(kLocal, kRemote), dm(kRemote, kLocal, {0}), 0, 1},
        ReactionCase{"CC in 4", 4, cc(kLocal, kRemote), std::nullopt, std::nullopt, 4},
        ReactionCase{"DM in 4", 4, dm(kLocal, kRemote, {0}), std::nullopt, 0, 1},
        ReactionCase{"I in 4", 4, iframe(kLocal, kRemote, 0, 0, {1}), std::nullopt, std::nullopt, 4},
        ReactionCase{"CONNECT in 5", 5, connect(kLocal, kRemote), std::nullopt, std::nullopt, 5},
        ReactionCase{"DISC in 5", 5, disc(kLocal, kRemote), std::nullopt, std::nullopt, 5},
        ReactionCase{"CC in 5", 5, cc(kLocal, kRemote), disc(kRemote, kLocal), std::nullopt, 4},
        ReactionCase{"DM in 5", 5, dm(kLocal, kRemote, {2}), std::nullopt, 0x402, 1},
        ReactionCase{"RR in 5", 5, rr(kLocal, kRemote, 0), std::nullopt, std::nullopt, 5}));

class LlcpRequests : public LlcpTest {
protected:
    uint16_t listenCause(uint8_t window, uint16_t miu, uint8_t maxConnections, uint8_t mode,
                         uint32_t size = 65536) {
        area.assign(65536, 0);
        request<NFACE_NFC_LLCP_LISTEN_REQ>(
            {&upper, area.data(), "urn:nfc:sn:x", size, 12, miu, window, maxConnections, 0, mode});
        return up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_LISTEN_CONF).cause;
    }
    std::vector<uint8_t> area;
};

TEST_F(LlcpRequests, ListenParametersOutsideTheLimitsLeaveNoLinkOrSap) {
    struct Case {
        const char* what;
        uint8_t window;
        uint16_t miu;
        uint8_t maxConnections;
        uint8_t mode;
        uint32_t size;
    };
    for (const Case& c : {Case{"window 5", 5, 128, 1, 1, 65536}, Case{"MIU 127", 1, 127, 1, 1, 65536},
                          Case{"MIU 2049", 1, 2049, 1, 1, 65536}, Case{"9 connections", 1, 128, 9, 1, 65536},
                          Case{"connection-oriented without connections", 1, 128, 0, 1, 65536},
                          Case{"an area too small", 4, 128, 2, 1, 4 * 128 * 2 - 1}}) {
        EXPECT_EQ(listenCause(c.window, c.miu, c.maxConnections, c.mode, c.size), 0x411) << c.what;
        EXPECT_EQ(p->linkCount, 0) << c.what;
        EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_LISTEN_CONF).hLink, nullptr) << c.what;
        for (int sap = 16; sap < LLCP_SAPS; ++sap) EXPECT_EQ(p->saps[sap].state, LLCP_SAP_FREE) << c.what;
    }
}

TEST_F(LlcpRequests, AConnectionlessListenWithoutConnectionsIsActiveAtOnce) {
    EXPECT_EQ(listenCause(2, 2048, 0, 0), 0);
    ASSERT_EQ(up.messages.back().command, NFACE_NFC_LLCP_CON_ACT_IND);
    EXPECT_EQ(up.messages[up.messages.size() - 2].command, NFACE_NFC_LLCP_LISTEN_CONF);
}

TEST_F(LlcpRequests, AConnectBeforeActivationOrOutsideTheLimitsOpensNothing) {
    area.assign(4096, 0);
    request<NFACE_NFC_LLCP_CON_REQ>({&upper, area.data(), nullptr, 4096, 0, 128, 1, 4});
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_CON_CONF).cause, 0x40A);
    activate(NFCMAN_LLCP_TARGET);
    for (const TNfaceLlcpConReq& r : {TNfaceLlcpConReq{&upper, area.data(), nullptr, 4096, 0, 128, 5, 4},
                                      TNfaceLlcpConReq{&upper, area.data(), nullptr, 4096, 0, 2049, 1, 4},
                                      TNfaceLlcpConReq{&upper, area.data(), nullptr, 511, 0, 128, 4, 4}}) {
        request<NFACE_NFC_LLCP_CON_REQ>(r);
        EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_CON_CONF).cause, 0x411);
        EXPECT_EQ(p->linkCount, 0);
        EXPECT_EQ(p->saps[kLocal].state, LLCP_SAP_FREE);
    }
}

TEST_F(LlcpRequests, ADisconnectResponseBeforeTheIndicationChangesNothing) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(kRemote);
    link->state = LLCP_STATE_IDLE;
    request<NFACE_NFC_LLCP_DISC_RESP>({link});
    EXPECT_EQ(p->linkCount, 1);
    EXPECT_TRUE(link->flags & LLCP_LINK_IN_USE);
}

TEST_F(LlcpRequests, ConnectionParametersAreBoundedByTheirFields) {
    activate(NFCMAN_LLCP_TARGET, LinkParams{0x11, 0x0080, 0x13, 10, 3}); // data link MIU 256
    TLlcpLink* link = connectedLink(kRemote);
    link->state = LLCP_STATE_CONNECTING;
    deliver(cc(kLocal, kRemote, [] {
        Bytes params = tlv(MIUX, {0xFF, 0xFF});
        const Bytes rw = tlv(RW, {0xF7});
        params.insert(params.end(), rw.begin(), rw.end());
        return params;
    }()));
    EXPECT_EQ(link->remoteMiu, 256);
    EXPECT_EQ(link->remoteWindow, 7);
    EXPECT_TRUE(cap.contains("LLCP: reduced value for remote connection miu from 2175 to 256"));
}

} // namespace
} // namespace llcptest
