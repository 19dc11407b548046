// Link management against the test peer: activation in both roles, symmetry and its timer,
// the link time-out, aggregation both ways, the checks on a link, and the ends of a link.
#include "llcp_harness.h"

namespace llcptest {
namespace {

using namespace llcpsim;

// Link parameters whose LTO (1000 ms) leaves the SYMM timer its own bases.
LinkParams slowPeer() {
    LinkParams params;
    params.lto = 100;
    return params;
}

class LlcpLink : public LlcpTest {
protected:
    // Virtual ms until the engine sends its next frame; limit + 10 when it sends none.
    uint32_t msUntilNextFrame(uint32_t limit = 2000) {
        const size_t before = framesSent();
        uint32_t t = 0;
        while (framesSent() == before && t <= limit) {
            advance(HW_TIMER_TICK_MS);
            t += HW_TIMER_TICK_MS;
        }
        return t;
    }
    void deliverQueued(const Bytes& frame) {
        void* buffer = nullptr;
        ASSERT_EQ(osBufferGet(rxPool, LLCP_DS_BUFFER, &buffer, nullptr, nullptr), OS_OK);
        std::memcpy(buffer, frame.data(), frame.size());
        OsMessage m = nfcllMsgMake<PH_DATA_IND>(
            kLayer1Name, {PH_DATA_OWNED, 0, static_cast<uint16_t>(frame.size()), static_cast<BYTE*>(buffer)});
        ASSERT_EQ(osMessageSend(p->ownQueue, &m), OS_OK);
    }
};

TEST_F(LlcpLink, TargetTakesThePeersParametersAndAnswersAtOnce) {
    activate(NFCMAN_LLCP_TARGET, slowPeer());
    EXPECT_EQ(down.last<TNfcllDeviceResp>(NFCLL_DEVICE_RESP).miu, 2048);
    EXPECT_EQ(down.count(NFCLL_ACT_CONF), 1u);
    EXPECT_EQ(p->remote.ltoMs, 1000);
    EXPECT_EQ(p->remote.wks, 0x13);
    EXPECT_EQ(p->remote.lcs, 3);
    EXPECT_EQ(framesSent(), 0u);
    deliver(symm());
    ASSERT_EQ(framesSent(), 1u);
    EXPECT_EQ(lastFrame(), symm());
}

TEST_F(LlcpLink, WithoutTheMagicTheResponseKeepsTheDefaultMiu) {
    deviceResponse({0x46, 0x66, 0x6E, 0x02, 0x02, 0x07, 0x80});
    EXPECT_EQ(down.last<TNfcllDeviceResp>(NFCLL_DEVICE_RESP).miu, 128);
    EXPECT_EQ(p->remote.miu, 128);
}

TEST_F(LlcpLink, InitiatorSpeaksFirstWhenItsFirstSymmTimerRuns) {
    activate(NFCMAN_LLCP_INITIATOR, slowPeer());
    EXPECT_EQ(msUntilNextFrame(), 100u);
    EXPECT_EQ(lastFrame(), symm());
}

struct TurnCase {
    const char* what;
    uint32_t role;
    Bytes frame;
    uint32_t waitMs;
};

void PrintTo(const TurnCase& c, std::ostream* os) { *os << c.what; }

class LlcpTurns : public LlcpLink, public ::testing::WithParamInterface<TurnCase> {};

TEST_P(LlcpTurns, FollowTheRoleAndWhatCame) {
    const TurnCase& c = GetParam();
    activate(c.role, slowPeer());
    if (c.role == NFCMAN_LLCP_INITIATOR) {
        ASSERT_EQ(msUntilNextFrame(), 100u);
    }
    deliver(c.frame);
    const uint32_t waited = framesSent() == (c.role == NFCMAN_LLCP_INITIATOR ? 2u : 1u) ? 0 : msUntilNextFrame();
    EXPECT_EQ(waited, c.waitMs) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, LlcpTurns,
    ::testing::Values(TurnCase{"target, SYMM", NFCMAN_LLCP_TARGET, symm(), 0},
                      TurnCase{"target, CONNECT", NFCMAN_LLCP_TARGET, connect(9, 0x20), 0},
                      TurnCase{"target, RR", NFCMAN_LLCP_TARGET, rr(9, 0x20, 0), 0},
                      TurnCase{"initiator, SYMM after its SYMM: remote LTO / 50", NFCMAN_LLCP_INITIATOR, symm(), 200},
                      TurnCase{"initiator, CONNECT: local LTO x 3 / 10", NFCMAN_LLCP_INITIATOR, connect(9, 0x20), 150},
                      TurnCase{"initiator, CC", NFCMAN_LLCP_INITIATOR, cc(9, 0x20), 150},
                      TurnCase{"initiator, RR", NFCMAN_LLCP_INITIATOR, rr(9, 0x20, 0), 150},
                      TurnCase{"initiator, DISC answers at once", NFCMAN_LLCP_INITIATOR, disc(9, 0x20), 0},
                      TurnCase{"initiator, UI answers at once", NFCMAN_LLCP_INITIATOR, ui(9, 0x20, {1}), 0}));

TEST_F(LlcpLink, SymmTimerIsBoundedByThePeersLinkTimeout) {
    LinkParams quick;
    quick.lto = 10; // 100 ms: at most 5 ticks
    activate(NFCMAN_LLCP_INITIATOR, quick);
    EXPECT_EQ(msUntilNextFrame(), 50u);
}

// This side answers within the link time-out it announced (500 ms), however long the peer's.
TEST_F(LlcpLink, TheSymmAnswerStaysWithinTheLocalLinkTimeout) {
    LinkParams patient;
    patient.lto = 255; // 2550 ms
    activate(NFCMAN_LLCP_INITIATOR, patient);
    ASSERT_EQ(msUntilNextFrame(), 100u);
    deliver(symm());
    EXPECT_EQ(msUntilNextFrame(), 250u);
}

TEST_F(LlcpLink, RawModeTwoUsesTheShortSymmTimer) {
    nfcmanSetStackBytes(LLCP_RAW_FAST_SYMM, 0);
    activate(NFCMAN_LLCP_INITIATOR, slowPeer());
    EXPECT_EQ(msUntilNextFrame(), 60u);
    EXPECT_EQ(lastFrame(), symm());
}

TEST_F(LlcpLink, WithLtoZeroTheLinkTimesOut750msAfterTheLastSend) {
    LinkParams params;
    params.lto = 0;
    activate(NFCMAN_LLCP_TARGET, params);
    EXPECT_EQ(p->remote.ltoMs, 400);
    connectedLink(0x20);
    advance(500);
    deliver(symm()); // answered at once: the link time-out runs from this send
    ASSERT_EQ(framesSent(), 1u);
    advance(740);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 0u);
    advance(10);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 1u);
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_DISC_IND).cause, 0x408);
    EXPECT_TRUE(cap.contains("!! LLCP: Link Timeout, LTO=400 msec"));
}

class LlcpSymmetry : public LlcpLink, public ::testing::WithParamInterface<Role> {};

TEST_P(LlcpSymmetry, IsKeptWithAPeerOfEitherRoleUntilItFallsSilent) {
    Peer peer(GetParam());
    activate(peer);
    converse(peer, 2000);
    EXPECT_GT(peer.received.size(), 10u);
    for (const Pdu& pdu : peer.received) EXPECT_EQ(pdu.ptype, SYMM);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 0u);
    peer.script(Step{SYMM, {}, {}, {}, Fault::Drop});
    converse(peer, 500);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 1u);
    EXPECT_TRUE(cap.contains("!! LLCP: Link Timeout, LTO=100 msec"));
}

INSTANTIATE_TEST_SUITE_P(Roles, LlcpSymmetry, ::testing::Values(Role::Initiator, Role::Target),
                         [](const ::testing::TestParamInfo<Role>& info) {
                             return info.param == Role::Initiator ? "PeerInitiator" : "PeerTarget";
                         });

TEST_F(LlcpLink, ADelayedDuplicatedOrCorruptedAnswerKeepsTheLink) {
    Peer peer(Role::Initiator);
    activate(peer);
    peer.script(Step{SYMM, {}, {}, {}, Fault::Delay, 300});
    peer.script(Step{SYMM, {}, {}, {}, Fault::Duplicate});
    peer.script(Step{SYMM, {}, {}, snl(sdreq(1, "urn:nfc:sn:snep")), Fault::Corrupt});
    converse(peer, 1000);
    EXPECT_TRUE(peer.scriptDone());
    EXPECT_TRUE(peer.mismatches.empty());
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 0u);
}

TEST_F(LlcpLink, AnAgfIsRefusedWholeWhenAnInnerLengthRunsPastIt) {
    activate(NFCMAN_LLCP_TARGET);
    const Bytes good = connect(9, 0x20);
    Bytes frame = agf({good, good});
    frame.back() = 0; // cut: the second PDU's length now runs past the frame
    frame[frame.size() - 4] = 0x10;
    deliver(frame);
    EXPECT_TRUE(cap.contains("!! LLCP: AGF invalid length"));
    EXPECT_FALSE(cap.contains("no listener found"));
    EXPECT_EQ(lastFrame(), symm());
}

TEST_F(LlcpLink, AnAgfOfOnePduIsHandledWithAWarning) {
    activate(NFCMAN_LLCP_TARGET);
    deliver(agf({connect(9, 0x20)}));
    EXPECT_TRUE(cap.contains("!! LLCP: Warning, only 1 PDU in AGF frame !!"));
    EXPECT_EQ(lastFrame(), dm(0x20, 9, {2}));
}

TEST_F(LlcpLink, AnAgfInsideAnAgfIsRefused) {
    activate(NFCMAN_LLCP_TARGET);
    deliver(agf({symm(), agf({connect(9, 0x20), connect(9, 0x21)})}));
    EXPECT_TRUE(cap.contains("!! LLCP: AGF inside AGF refused"));
    EXPECT_FALSE(cap.contains("no listener found"));
}

TEST_F(LlcpLink, QueuedPdusAggregateWithinTheMiuAndWithOneUiAtMost) {
    activate(NFCMAN_LLCP_TARGET); // the peer's MIU is 2048
    TLlcpLink* link = connectionlessLink(0x10, "urn:nfc:sn:x");
    const Bytes one(10, 0x11), two(20, 0x22);
    request<NFACE_NFC_LLCP_DATA_REQ>({link, one.data(), 10, 1, 0x30});
    request<NFACE_NFC_LLCP_DATA_REQ>({link, two.data(), 20, 2, 0x30});
    EXPECT_EQ(framesSent(), 0u); // not this side's turn yet
    deliver(agf({connect(9, 0x20), connect(9, 0x21)}));
    ASSERT_EQ(framesSent(), 1u);
    EXPECT_EQ(lastFrame(), ui(0x30, 0x10, one));
    deliver(symm());
    ASSERT_EQ(framesSent(), 2u);
    EXPECT_EQ(lastFrame(), agf({ui(0x30, 0x10, two), dm(0x20, 9, {2}), dm(0x21, 9, {2})}));
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DATA_CONF), 2u);
    EXPECT_EQ(up.last<TNfaceLlcpDataConf>(NFACE_NFC_LLCP_DATA_CONF).handle, 2);
}

TEST_F(LlcpLink, AggregationStopsAtTheLinkMiu) {
    deviceResponse({0x46, 0x66, 0x6D, 0x01, 0x01, 0x11}); // MIU 128
    setParameter(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectionlessLink(0x10, "urn:nfc:sn:x");
    const Bytes big(120, 0x33);
    request<NFACE_NFC_LLCP_DATA_REQ>({link, big.data(), 120, 1, 0x30});
    deliver(agf({connect(9, 0x20), connect(9, 0x21)})); // 122 + 3 + 4 > 128: the UI goes alone
    EXPECT_EQ(lastFrame(), ui(0x30, 0x10, big));
    deliver(symm());
    EXPECT_EQ(lastFrame(), agf({dm(0x20, 9, {2}), dm(0x21, 9, {2})}));
}

struct LinkCheckCase {
    const char* what;
    Bytes frame;
    uint8_t flags;
};

void PrintTo(const LinkCheckCase& c, std::ostream* os) { *os << c.what; }

class LlcpLinkChecks : public LlcpLink, public ::testing::WithParamInterface<LinkCheckCase> {};

TEST_P(LlcpLinkChecks, AreAnsweredWithFrmrOnAConnectedLink) {
    const LinkCheckCase& c = GetParam();
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(0x20);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(link->localSap, 32);
    deliver(c.frame);
    Pdu pdu;
    ASSERT_TRUE(decode(lastFrame(), pdu));
    ASSERT_EQ(pdu.ptype, FRMR) << c.what;
    EXPECT_EQ(pdu.dsap, 0x20);
    EXPECT_EQ(pdu.ssap, 32);
    ASSERT_EQ(pdu.info.size(), 4u);
    EXPECT_EQ(pdu.info[0], c.flags | (ptypeOf(c.frame) & 0x0F)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, LlcpLinkChecks,
                         ::testing::Values(LinkCheckCase{"RR with N(S) 1", rr(32, 0x20, 0x10), LLCP_FRMR_W},
                                           LinkCheckCase{"DM of 2 bytes", dm(32, 0x20, {0, 0}), LLCP_FRMR_I},
                                           LinkCheckCase{"DM without reason", dm(32, 0x20, {}), LLCP_FRMR_I},
                                           LinkCheckCase{"FRMR of 3 bytes", frmr(32, 0x20, {1, 2, 3}), LLCP_FRMR_I},
                                           LinkCheckCase{"I over the MIU", iframe(32, 0x20, 0, 0, Bytes(129, 1)),
                                                         LLCP_FRMR_I},
                                           LinkCheckCase{"unknown type", Bytes{0x82, 0xA0}, LLCP_FRMR_W}));

TEST_F(LlcpLink, AConnectToTheDiscoverySapReachesTheNamedListener) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* listener = nullptr;
    ASSERT_EQ(nfcllcpAllocListenLink(p, &listener, kApp, &upper, 0, "urn:nfc:sn:snep", 15, true), LLCP_OK);
    listener->maxConnections = 1;
    EXPECT_EQ(listener->localSap, 4);
    deliver(
        connect(1, 0x20, tlv(SN, Bytes{'u', 'r', 'n', ':', 'n', 'f', 'c', ':', 's', 'n', ':', 's', 'n', 'e', 'p'})));
    EXPECT_TRUE(cap.contains("LLCP: given service name within SN param found"));
    EXPECT_EQ(p->linkCount, 2);
    const TLlcpLink& accepted = p->links[1];
    EXPECT_EQ(accepted.localSap, 4);
    EXPECT_EQ(accepted.remoteSap, 0x20);
    EXPECT_EQ(accepted.upper, &upper);
    EXPECT_EQ(listener->accepted, 1);

    deliver(connect(1, 0x21, tlv(SN, Bytes{'u', 'r', 'n', ':', 'x'})));
    EXPECT_TRUE(cap.contains("! LLCP: given service name within SN param NOT found"));
    EXPECT_EQ(lastFrame(), dm(0x21, 1, {2}));
}

TEST_F(LlcpLink, ACcFindsTheConnectingLinkAndBindsItToThePeersSap) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(1);
    link->state = LLCP_STATE_CONNECTING;
    deliver(cc(32, 0x25));
    EXPECT_EQ(link->remoteSap, 0x25);
    EXPECT_TRUE(cap.contains("LLCP: CC for link 0"));
    deliver(cc(33, 0x26));      // no link is connecting from SAP 33
    EXPECT_EQ(lastFrame(), dm(0x26, 33, {2}));
}

// A datagram has no one to refuse it, and a DM or FRMR for no link of this side is never
// answered: two stacks would bounce them for as long as the link lasts.
TEST_F(LlcpLink, AUnassignedUiDmOrFrmrGetsNoDm) {
    activate(NFCMAN_LLCP_TARGET);
    for (const Bytes& stray : {ui(9, 0x20, {1, 2}), dm(9, 0x20, {2}), frmr(9, 0x20, {0x8C, 0, 0, 0})}) {
        deliver(stray);
        EXPECT_EQ(lastFrame(), symm()) << "ptype " << int(ptypeOf(stray));
    }
}

// Its own parameters, the well-known services it offers among them, not the peer's.
TEST_F(LlcpLink, ATargetAnswersAPaxWithItsOwn) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* snep = nullptr;
    ASSERT_EQ(nfcllcpAllocListenLink(p, &snep, kApp, &upper, 0, "urn:nfc:sn:snep", 15, true), LLCP_OK);
    deliver(pax(tlv(WKS, {0x00, 0x81})));
    EXPECT_EQ(lastFrame(),
              (Bytes{0x00, 0x40, 0x01, 0x01, 0x11, 0x02, 0x02, 0x07, 0x80, 0x03, 0x02, 0x00, 0x13, 0x04, 0x01, 0x28}));
    EXPECT_EQ(p->remote.wks, 0x81);
}

TEST_F(LlcpLink, ADiscOnTheLinkManagementSapEndsEveryLink) {
    activate(NFCMAN_LLCP_TARGET);
    connectedLink(0x20);
    deliver(disc(0, 0));
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_DISC_IND).cause, 0);
    EXPECT_EQ(lastFrame(), dm(0, 0, {0}));
    EXPECT_FALSE(p->flags & LLCP_ACTIVE);
}

struct DiscCase {
    const char* what;
    uint8_t rawMode;
    uint32_t role;
    Bytes answer; // the frame sent at once; empty for none
    size_t deactivations;
};

void PrintTo(const DiscCase& c, std::ostream* os) { *os << c.what; }

class LlcpDisc : public LlcpLink, public ::testing::WithParamInterface<DiscCase> {};

TEST_P(LlcpDisc, EndsLlcpAsTheRawModeSays) {
    const DiscCase& c = GetParam();
    nfcmanSetStackBytes(c.rawMode, 0);
    activate(c.role, slowPeer());
    if (c.role == NFCMAN_LLCP_INITIATOR) {
        ASSERT_EQ(msUntilNextFrame(), c.rawMode == LLCP_RAW_FAST_SYMM ? 60u : 100u);
    }
    const size_t before = framesSent();
    deliver(disc(0, 0));
    EXPECT_FALSE(p->flags & LLCP_ACTIVE);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), c.deactivations) << c.what;
    if (c.answer.empty())
        EXPECT_EQ(framesSent(), before) << c.what;
    else
        EXPECT_EQ(lastFrame(), c.answer) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, LlcpDisc,
                         ::testing::Values(DiscCase{"raw 0 target", 0, NFCMAN_LLCP_TARGET, dm(0, 0, {0}), 0},
                                           DiscCase{"raw 0 initiator", 0, NFCMAN_LLCP_INITIATOR, dm(0, 0, {0}), 0},
                                           DiscCase{"raw 2 target", 2, NFCMAN_LLCP_TARGET, symm(), 0},
                                           DiscCase{"raw 2 initiator", 2, NFCMAN_LLCP_INITIATOR, {}, 1}));

struct UframeCase {
    const char* what;
    uint8_t option;
    uint16_t miu;
    Bytes params;
};

void PrintTo(const UframeCase& c, std::ostream* os) { *os << c.what; }

class LlcpUframes : public LlcpLink, public ::testing::WithParamInterface<UframeCase> {};

TEST_P(LlcpUframes, CarryTheLinksMiuAndWindowUnlessTheOptionSaysNo) {
    const UframeCase& c = GetParam();
    nfcmanSetStackBytes(0, c.option);
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(1);
    link->miu = c.miu;
    link->window = 4;
    ASSERT_EQ(nfcllcpSendUFRAME(p, link, LLCP_CONNECT, "urn:nfc:sn:snep", 15, nullptr), LLCP_OK);
    deliver(symm());
    const Bytes sn = tlv(SN, Bytes{'u', 'r', 'n', ':', 'n', 'f', 'c', ':', 's', 'n', ':', 's', 'n', 'e', 'p'});
    Bytes expected = sn;
    expected.insert(expected.end(), c.params.begin(), c.params.end());
    EXPECT_EQ(lastFrame(), connect(1, 32, expected)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, LlcpUframes,
                         ::testing::Values(UframeCase{"MIU 2048", 0, 2048, {MIUX, 2, 0x07, 0x80, RW, 1, 4}},
                                           UframeCase{"MIU 128: no MIUX", 0, 128, {RW, 1, 4}},
                                           UframeCase{"option bit 0", 1, 2048, {}}));

TEST_F(LlcpLink, TheAcknowledgeTimerSendsRrOrRnrWhenBusy) {
    activate(NFCMAN_LLCP_TARGET);
    TLlcpLink* link = connectedLink(0x20);
    link->vr = 5;
    llcpStartTimer(p, LLCP_TIMER_ACK, 100, llcpLinkIndex(link));
    run();
    advance(100);
    deliver(symm());
    EXPECT_EQ(lastFrame(), rr(0x20, 32, 5));
    link->flags |= LLCP_LINK_RNR_SENT;
    llcpStartTimer(p, LLCP_TIMER_ACK, 100, llcpLinkIndex(link));
    run();
    advance(100);
    deliver(symm());
    Pdu pdu;
    ASSERT_TRUE(decode(lastFrame(), pdu));
    EXPECT_EQ(pdu.ptype, RNR);
}

TEST_F(LlcpLink, APeersDmOnTheLinkManagementSapGoesDown) {
    activate(NFCMAN_LLCP_TARGET);
    deliver(dm(0, 0, {0}));
    EXPECT_EQ(down.count(LLCP_DL_DM), 1u);
}

TEST_F(LlcpLink, EveryPduIsTracedWithItsDirection) {
    activate(NFCMAN_LLCP_TARGET);
    deliver(rr(9, 0x20, 0x03));
    EXPECT_TRUE(cap.contains("/\\ L03 RR sSAP 20 dSAP 09 NR 3"));
    EXPECT_TRUE(cap.contains("\\/ L03 DM sSAP 09 dSAP 20 reason 02"));
    deliver(connect(9, 0x20, tlv(MIUX, {0x00, 0x80})));
    EXPECT_TRUE(cap.contains("MIUX 0x02"));
}

TEST_F(LlcpLink, RawModeOneAnswersTheDeviceItselfAndGivesTheLinkMoreTime) {
    nfcmanSetStackBytes(LLCP_RAW_BYPASS, 0);
    setParameter(NFCMAN_LLCP_TARGET);
    EXPECT_TRUE(cap.contains("LLCP: Start LTO (2) timer 0, (6040 ticks)")); // 400 + 350 + 59650 ms
    TNfcTagInfo found{};
    found.tagType = P2P_TARGET;
    fromLayer1(nfcllMsgMake<NFCLL_DEVICE_IND>(kLayer1Name, {0, &found}));
    ASSERT_EQ(down.count(NFCLL_DEVICE_RESP), 1u);
    EXPECT_EQ(down.last<TNfcllDeviceResp>(NFCLL_DEVICE_RESP).device, &found);
    advance(60390);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 0u);
    advance(10);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 1u);
}

TEST_F(LlcpLink, DeactivationRequestEndsTheLinksThenTheShutdownTimer) {
    activate(NFCMAN_LLCP_TARGET);
    connectedLink(0x20);
    fromManager(nfcllMsgMake<DL_DEACT_REQ>(NFCMAN_QUEUE_NAME, {&device}));
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DISC_IND), 1u);
    advance(190);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 0u);
    advance(10);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 1u);
    EXPECT_TRUE(cap.contains("LLCP: llcpTimerIDShutdown fired"));
}

enum class LinkEnd { Shutdown, Layer1Deactivation, Layer1Error };

class LlcpLinkEnd : public LlcpLink, public ::testing::WithParamInterface<LinkEnd> {};

// Whatever ends the link, its connection learns so once, and nothing sends into layer 1 until
// the next device: the peer's last SYMM had given the initiator its turn, yet neither its SYMM
// timer, nor a frame still on its way, nor a connect or a datagram of the application speaks.
TEST_P(LlcpLinkEnd, EndsItsConnectionOnceAndLeavesNothingToSpeakForIt) {
    activate(NFCMAN_LLCP_INITIATOR, slowPeer());
    connectedLink(0x20);
    TLlcpLink* socket = connectionlessLink(0x11, nullptr);
    ASSERT_EQ(msUntilNextFrame(), 100u);
    if (GetParam() == LinkEnd::Shutdown) {
        fromManager(nfcllMsgMake<DL_DEACT_REQ>(NFCMAN_QUEUE_NAME, {&device}));
        advance(150);
    }
    deliver(symm());
    switch (GetParam()) {
    case LinkEnd::Shutdown: advance(50); break;
    case LinkEnd::Layer1Deactivation: fromLayer1(nfcllMsgMake<NFCLL_DEACT_IND>(kLayer1Name, {nullptr})); break;
    case LinkEnd::Layer1Error: fromLayer1(nfcllMsgMake<NFCLL_ERROR_IND>(kLayer1Name, {5})); break;
    }
    ASSERT_EQ(up.count(LLCP_DL_DEACT_IND), 1u);
    const size_t sent = framesSent();
    advance(1000);
    deliver(symm());
    const Bytes datagram{1, 2};
    request<NFACE_NFC_LLCP_DATA_REQ>({socket, datagram.data(), 2, 1, 0x30});
    std::vector<uint8_t> area(4096);
    request<NFACE_NFC_LLCP_CON_REQ>({&upper, area.data(), nullptr, 4096, 0, 128, 1, 0x10});
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_CON_CONF).cause, 0x40A);
    advance(1000);
    EXPECT_EQ(framesSent(), sent);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 1u);
    EXPECT_EQ(up.count(NFACE_NFC_LLCP_DISC_IND), 1u);
    activate(NFCMAN_LLCP_INITIATOR, slowPeer());
    EXPECT_EQ(msUntilNextFrame(), 100u);
}

INSTANTIATE_TEST_SUITE_P(Ways, LlcpLinkEnd,
                         ::testing::Values(LinkEnd::Shutdown, LinkEnd::Layer1Deactivation, LinkEnd::Layer1Error));

TEST_F(LlcpLink, DeviceLossEndsTheLinksAndReportsTheTechnologyGone) {
    activate(NFCMAN_LLCP_TARGET);
    connectedLink(0x20);
    deliver(symm());
    fromLayer1(nfcllMsgMake<NFCLL_DEVICE_IND>(kLayer1Name, {0, nullptr}));
    EXPECT_EQ(up.last<TNfaceLlcpLinkCause>(NFACE_NFC_LLCP_DISC_IND).cause, 0x40A);
    EXPECT_EQ(up.count(NFCLL_TECH_REMOVE_IND), 1u);
    advance(2000); // the link time-out was stopped with it
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 0u);
}

TEST_F(LlcpLink, ALayerOneConfirmationForTheManagerPassesUp) {
    activate(NFCMAN_LLCP_TARGET);
    fromLayer1(nfcllMsgMake<NFCLL_LISTEN_CONF>(kLayer1Name, {0, 0x1000}));
    EXPECT_EQ(up.count(NFCLL_LISTEN_CONF), 1u);
    EXPECT_EQ(up.count(NFCLL_TECH_REMOVE_IND), 0u);
    fromManager(nfcllMsgMake<NFCLL_LISTEN_REQ>(NFCMAN_QUEUE_NAME, {0x1000, nullptr}));
    EXPECT_EQ(down.count(NFCLL_LISTEN_REQ), 1u);
}

TEST_F(LlcpLink, ChipFailureAsksForAResetAndOtherErrorsEndTheLink) {
    activate(NFCMAN_LLCP_TARGET);
    fromLayer1(nfcllMsgMake<NFCLL_ERROR_IND>(kLayer1Name, {LLCP_CHIP_FAILURE}));
    EXPECT_EQ(down.count(PH_RESET_REQ), 1u);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 0u);
    fromLayer1(nfcllMsgMake<NFCLL_ERROR_IND>(kLayer1Name, {5}));
    EXPECT_EQ(down.count(PH_RESET_REQ), 1u);
    EXPECT_EQ(up.count(LLCP_DL_DEACT_IND), 1u);
}

TEST_F(LlcpLink, FramesBeforeActivationAreRequeuedThreeTimesThenDropped) {
    for (int i = 0; i < 4; ++i) deliverQueued(symm());
    setParameter(NFCMAN_LLCP_TARGET);
    EXPECT_EQ(cap.count("handle PH_DATA_IND, put message back in our own queue!"), 3u);
    EXPECT_EQ(cap.count("PH_DATA_IND before activation dropped"), 1u);
    EXPECT_EQ(p->rxSymm, 3u);
    EXPECT_EQ(p->requeued, 0);
}

TEST_F(LlcpLink, MalformedFramesNeverHurtTheEngine) {
    activate(NFCMAN_LLCP_TARGET);
    connectionlessLink(0x10, "urn:nfc:sn:x");
    connectedLink(0x20);
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, static_cast<uint8_t>(seed >> 16); };
    for (int i = 0; i < 3000; ++i) {
        Bytes frame(next() % 40, 0);
        for (uint8_t& b : frame) b = next();
        if (frame.size() >= 2) {
            // A third goes to link management, a third to the links' SAPs, with any type.
            const uint8_t ptype = next() & 0x0F;
            const uint8_t dsap = i % 3 == 0 ? 0 : i % 3 == 1 ? 32 : 0x10;
            const uint8_t ssap = i % 3 == 0 ? 0 : 0x20;
            if (i % 3 != 2 || next() & 1) {
                frame[0] = static_cast<uint8_t>(dsap << 2 | ptype >> 2);
                frame[1] = static_cast<uint8_t>((ptype & 3) << 6 | ssap);
            }
        }
        deliver(frame);
        if (!(p->flags & LLCP_ACTIVE)) setParameter(NFCMAN_LLCP_TARGET); // after a DISC
    }
    EXPECT_TRUE(p->ready);
    EXPECT_GT(framesSent(), 2000u);
}

} // namespace
} // namespace llcptest
