// The manager's side of a controller that recovers from its own faults: the activation that
// follows a re-initialisation under a listen, an I/O control that a reset overtakes, and the
// health monitor of a listen that ends with nobody listening.
#include "mgr_harness.h"

using namespace mgrtest;

TEST_F(MgrTest, ARenewedActivationWhileListeningResumesTheListen) {
    start();
    TestApp& a = registerApp(0);
    listen(a, TAG_ISO14443A);
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);
    // Layer 1 brought the controller up again by itself: nothing is listened for until asked again.
    l1.indicate<NFCLL_ACT_CONF>({0, &l1.capabilities});
    run();
    ASSERT_EQ(l1.count(NFCLL_LISTEN_REQ), listens + 1);
    EXPECT_EQ(l1.listenMasks().back() & TAG_ISO14443A, TAG_ISO14443A);
    EXPECT_FALSE(cap.contains("Unexpected event EV_NFCMAN_ACT_CONF"));
}

TEST_F(MgrTest, AResetAnswersAPendingIoControlAndTheNextOneReachesLayer1) {
    l1.onCommand(NFCLL_IOCONTROL_REQ, [](FakeLayer1&, const OsMessage&) {});
    start();
    TestApp& a = registerApp(0);
    listen(a, TAG_ISO14443A);
    std::vector<uint8_t> input{0x01}, output(4);
    ioControl(a, 0x8003, input, output);
    l1.indicate<NFCLL_ERROR_IND>({0x206});
    run();
    ASSERT_EQ(l1.count(PH_RESET_REQ), 1u);
    ASSERT_EQ(a.got(NFACE_IO_CONTROL_CONF).size(), 1u);
    EXPECT_EQ(a.last<NFACE_IO_CONTROL_CONF>().cause, nfcCauseRejected);
    // Layer 1's own answer for it comes later and is nobody's now.
    l1.ioControlConfirmation(0x206, {});
    run();
    EXPECT_EQ(a.got(NFACE_IO_CONTROL_CONF).size(), 1u);
    ioControl(a, 0x8003, input, output);
    EXPECT_EQ(l1.count(NFCLL_IOCONTROL_REQ), 2u);
    l1.ioControlConfirmation(0, {0x90, 0x00});
    run();
    EXPECT_EQ(a.lastData(), (std::vector<uint8_t>{0x90, 0x00}));
}

TEST_F(MgrTest, AListenThatEndsWithNobodyListeningStopsTheHealthMonitor) {
    start(kNciFlags | NFC_CAP_HEALTH_MONITOR);
    TestApp& a = registerApp(0);
    listen(a, TAG_ISO14443A);
    l1.answerListen = false;
    ASSERT_EQ(nfaceRelease(a.hApp), 0u);
    run();
    l1.indicate<NFCLL_LISTEN_CONF>({0, 0});
    run();
    ASSERT_EQ(a.got(NFACE_RELEASE_CONF).size(), 1u);
    const auto monitor = l1.received(NFCLL_HEALTHMON_REQ);
    ASSERT_FALSE(monitor.empty());
    EXPECT_EQ(nfcllMsgGet<NFCLL_HEALTHMON_REQ>(monitor.back()).on, 0);
}
