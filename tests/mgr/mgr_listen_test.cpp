// Listen masks, the single request of a controller that polls itself, and the restart wheel.
#include "mgr_harness.h"

using namespace mgrtest;

struct WheelTest : MgrTest {
    // The dwell of the phase that runs now, as the next listen request shows it.
    uint32_t dwell(uint32_t limitMs = 7000) {
        const size_t before = l1.count(NFCLL_LISTEN_REQ);
        for (uint32_t ms = 10; ms <= limitMs; ms += 10) {
            advance(10);
            if (l1.count(NFCLL_LISTEN_REQ) > before) return ms;
        }
        return 0;
    }
    uint32_t lastMask() { return l1.listenMasks().back(); }
};

TEST_F(MgrTest, ListenMasksOfApplicationsAreJoinedAndEachIsConfirmedAtOnce) {
    start(kNciFlags);
    TestApp& a = registerApp(0);
    TestApp& b = registerApp(1);
    const uint16_t first = listen(a, TAG_ISO14443A);
    EXPECT_EQ(a.last<NFACE_LISTEN_CONF>().cause, 0);
    EXPECT_EQ(a.lastIdentity<NFACE_LISTEN_CONF>(), first);
    listen(b, P2P_INITIATOR | NFC_LISTEN_RF_FIELD);
    EXPECT_EQ(b.last<NFACE_LISTEN_CONF>().cause, 0);
    // The controller polls itself: one request with the whole mask, without bits 28 and 31.
    EXPECT_EQ(l1.listenMasks(), (std::vector<uint32_t>{TAG_ISO14443A, TAG_ISO14443A | P2P_INITIATOR | NFC_LISTEN_RF_FIELD}));

    // A mask that changes nothing of the union sends nothing new.
    listen(a, TAG_ISO14443A | NFCMAN_NDEF_LISTENER);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), 2u);
    // No wheel timer runs: time passes without a new request.
    advance(10000);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), 2u);

    // The last listener leaves: the controller stops listening.
    listen(a, 0);
    listen(b, 0);
    EXPECT_EQ(l1.listenMasks().back(), 0u);
    EXPECT_EQ(a.last<NFACE_LISTEN_CONF>().cause, 0);
}

TEST_F(MgrTest, RefusedListenRequestsAreAnsweredWithTheirCause) {
    struct Case {
        uint32_t capFlags;
        uint32_t mask;
        uint16_t cause;
    };
    const Case cases[] = {
        {kNciFlags & ~0x4u, CE_HOST_14443A_106, nfcCauseListenMaskConflict},   // HCE while an SE is virtual
        {kNciFlags, CE_HOST_14443A_106, nfcCauseOk},                           // ... allowed by flag bit 2
        {kNciFlags & ~0x4u, TAG_ISO14443A, nfcCauseOk},                        // no HCE bit asked for
        {kNciFlags, 0x08000000u, nfcCauseNotImplemented},                      // not supported
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mask);
        MgrTest::TearDown();
        TNfcInfoSE se{};
        se.mode = NFC_SE_MODE_VIRTUAL;
        l1.capabilities.secureElementCount = 1;
        l1.capabilities.secureElements[0] = &se;
        start(c.capFlags);
        TestApp& a = registerApp(0);
        listen(a, c.mask);
        EXPECT_EQ(a.last<NFACE_LISTEN_CONF>().cause, c.cause);
        EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), c.cause == 0 ? 1u : 0u);
        apps = {};
        l1.clearReceived();
    }
}

TEST_F(WheelTest, EachTechnologyGetsAPhaseOfItsOwnWithThePauseBetweenRounds) {
    start(kHostPolls);
    listen(registerApp(0), TAG_ISO14443A);
    ASSERT_EQ(lastMask(), TAG_ISO14443A);
    // A second technology joins the wheel at the next phase.
    listen(registerApp(1), P2P_INITIATOR);
    ASSERT_EQ(lastMask(), P2P_INITIATOR);
    std::vector<uint32_t> randomDwells;
    for (int round = 0; round < 3; ++round) {
        randomDwells.push_back(dwell());
        EXPECT_EQ(lastMask(), 0u);          // the pause
        EXPECT_EQ(dwell(), 100u);
        EXPECT_EQ(lastMask(), TAG_ISO14443A);
        EXPECT_EQ(dwell(), 200u);
        EXPECT_EQ(lastMask(), P2P_INITIATOR);
    }
    for (uint32_t ms : randomDwells) {
        EXPECT_GE(ms, 400u);
        EXPECT_LE(ms, 660u);
    }
}

TEST_F(WheelTest, HostCardEmulationAloneDwellsLongAfterThePause) {
    start(kHostPolls);
    listen(registerApp(0), CE_HOST_14443A_106);
    EXPECT_EQ(lastMask(), CE_HOST_14443A_106);
    EXPECT_EQ(dwell(), 5500u);
    EXPECT_EQ(lastMask(), 0u);
    EXPECT_EQ(dwell(), 100u);
    EXPECT_EQ(lastMask(), CE_HOST_14443A_106);
    EXPECT_EQ(dwell(), 5500u);
}

TEST_F(WheelTest, ThePausePhaseTakesTheDwellAnIoControlSets) {
    start(kHostPolls);
    TestApp& a = registerApp(0);
    std::vector<uint8_t> none;
    ioControl(a, 0x1103, {0x2C, 0x01}, none);       // 300 ms
    EXPECT_EQ(a.last<NFACE_IO_CONTROL_CONF>().cause, 0);
    listen(a, TAG_ISO14443A);
    EXPECT_EQ(dwell(), 200u);
    EXPECT_EQ(lastMask(), 0u);
    EXPECT_EQ(dwell(), 300u);
}
