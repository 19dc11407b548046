// Bringing the controller up, applications coming and going.
#include "mgr_harness.h"

using namespace mgrtest;

TEST_F(MgrTest, BuildsTheStackBindsLlcpAndActivatesLayer1) {
    start();
    ASSERT_EQ(l1.count(NFCLL_ACT_REQ), 1u);
    // LLCP learns the manager's and layer 1's queues.
    const auto links = llcp.received(MM_LINK_PROTOCOL);
    ASSERT_EQ(links.size(), 1u);
    const auto f = osMsgFields<MmLinkProtocolFields>(links[0]);
    EXPECT_EQ(f.above, managerQueue);
    uint16_t l1Queue = 0;
    ASSERT_EQ(osQueueFindByName(mmModuleWord(FakeLayer1::kTask, 2, 0, 0, 0), &l1Queue), OS_OK);
    EXPECT_EQ(f.below, l1Queue);
    // The capability block is the manager's from now on: LLCP limits and the control bits.
    EXPECT_EQ(l1.capabilities.maxLlcpFrameSize, 2048);
    EXPECT_EQ(l1.capabilities.maxLlcpConnections, 5);
    EXPECT_EQ(l1.capabilities.maxLlcpWindow, 4);
    EXPECT_EQ(l1.capabilities.supportedMask, kSupported | 0xD1000000u);
    EXPECT_TRUE(cap.contains("nfcman: ACTIVATION complete, init status 0x0"));
}

TEST_F(MgrTest, ApplicationIsRegisteredAndToldOfTheActivation) {
    start();
    TestApp& a = registerApp(0);
    EXPECT_EQ(a.codes(), (std::vector<uint16_t>{NFACE_REGISTER_CONF, NFACE_ACT_IND}));
    EXPECT_EQ(a.last<NFACE_REGISTER_CONF>().cause, 0);
    const auto act = a.last<NFACE_ACT_IND>();
    EXPECT_EQ(act.cause, 0);
    EXPECT_EQ(act.controllerCount, 1);
    EXPECT_EQ(act.capabilities, &l1.capabilities);
    // Indications answer no request.
    EXPECT_EQ(a.lastIdentity<NFACE_ACT_IND>(), 0);
}

TEST_F(MgrTest, ApplicationsRegisteredBeforeTheActivationLearnItsOutcome) {
    l1.answerActivation = false;
    start();
    TestApp& a = registerApp(0);
    EXPECT_EQ(a.codes(), (std::vector<uint16_t>{NFACE_REGISTER_CONF}));

    // The activation times out in layer 1: the application gets the cause and no controller.
    l1.indicate<NFCLL_ACT_CONF>({nfcCauseAckMissing, nullptr});
    run();
    const auto act = a.last<NFACE_ACT_IND>();
    EXPECT_EQ(act.cause, nfcCauseAckMissing);
    EXPECT_EQ(act.controllerCount, 0);
    EXPECT_EQ(act.capabilities, nullptr);
    // A later application learns the same at once.
    EXPECT_EQ(registerApp(1).last<NFACE_ACT_IND>().cause, nfcCauseAckMissing);
}

TEST_F(MgrTest, AFifthApplicationFindsNoEntry) {
    start();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(registerApp(i).last<NFACE_REGISTER_CONF>().cause, 0);
    TestApp& fifth = registerApp(4);
    EXPECT_EQ(fifth.codes(), (std::vector<uint16_t>{NFACE_REGISTER_CONF}));
    EXPECT_EQ(fifth.last<NFACE_REGISTER_CONF>().cause, nfcCauseNoResources);
    EXPECT_EQ(fifth.last<NFACE_REGISTER_CONF>().hApp, nullptr);
}

TEST_F(MgrTest, ReleaseOfAListeningApplicationWaitsForLayer1AndFreesTheEntry) {
    start();
    TestApp& a = registerApp(0);
    listen(a, TAG_ISO14443A);
    l1.answerListen = false;

    // The API core's release goes through the link the manager attached.
    void* hApp = a.hApp;
    ASSERT_EQ(nfaceRelease(hApp), 0u);
    run();
    EXPECT_TRUE(a.got(NFACE_RELEASE_CONF).empty());
    EXPECT_EQ(l1.listenMasks().back(), 0u);            // nothing is listened for any more

    l1.indicate<NFCLL_LISTEN_CONF>({0, 0});
    run();
    EXPECT_EQ(a.last<NFACE_RELEASE_CONF>().cause, 0);
    // The entry is free: a new application takes it, and the old handle is unknown.
    EXPECT_NE(nfaceRelease(hApp), 0u);
    EXPECT_EQ(registerApp(2).hApp, hApp);
}

TEST_F(MgrTest, ReleaseOfAnApplicationHoldingATagIsConfirmedWhenTheControllerFailsMeanwhile) {
    TestApp& a = startWithTag(TAG_ISO14443A, TAG_ISO14443A);
    l1.answerListen = false;
    ASSERT_EQ(nfaceRelease(a.hApp), 0u);
    run();
    EXPECT_TRUE(a.got(NFACE_RELEASE_CONF).empty());

    // Instead of confirming the new listen mask the controller fails: the reset that follows
    // still ends the release.
    l1.indicate<NFCLL_ERROR_IND>({0x206});
    run();
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
    ASSERT_EQ(a.got(NFACE_RELEASE_CONF).size(), 1u);
    EXPECT_EQ(a.last<NFACE_RELEASE_CONF>().cause, 0);
}

TEST_F(MgrTest, AnApplicationThatDoesNotListenIsReleasedAtOnce) {
    start();
    TestApp& a = registerApp(0);
    ASSERT_EQ(nfaceRelease(a.hApp), 0u);
    run();
    EXPECT_EQ(a.last<NFACE_RELEASE_CONF>().cause, 0);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), 0u);
}

TEST_F(MgrTest, WithoutLayer1OfTheReaderTypeTheManagerHaltsAndAnswersFatal) {
    start(kNciFlags, 0x800);
    EXPECT_TRUE(cap.contains("nfcman: ! nfcapiBuildProtocolStack: Invalid nfcReaderType"));
    EXPECT_TRUE(cap.contains("nfcman: NFCManager halted"));
    EXPECT_EQ(l1.count(NFCLL_ACT_REQ), 0u);
    TestApp& a = registerApp(0);
    EXPECT_EQ(a.last<NFACE_REGISTER_CONF>().cause, nfcCauseFatal);
}

TEST_F(MgrTest, DeactivationReachesLlcp) {
    start();
    OsMessage deact{};
    deact.command = NFACE_DEACT_REQ;
    deact.source = NFCMAN_QUEUE_NAME;
    ASSERT_EQ(osMessageSend(managerQueue, &deact), OS_OK);
    run();
    EXPECT_EQ(llcp.received(DL_DEACT_REQ).size(), 1u);
}
