// I/O control, secure-element and RF-field indications, and the health monitor.
#include "mgr_harness.h"

using namespace mgrtest;

namespace {

constexpr uint32_t kHealthMonitor = NFC_CAP_HEALTH_MONITOR;
const std::vector<uint8_t> kEcho{0x06, 0x06, 0x06};

} // namespace

TEST_F(MgrTest, IoControlTravelsWithCopiesAndItsAnswerComesBackWithinTheRoom) {
    l1.onCommand(NFCLL_IOCONTROL_REQ, [](FakeLayer1&, const OsMessage&) {});
    start();
    TestApp& a = registerApp(0);
    std::vector<uint8_t> input{0x00, 0x84, 0x00, 0x00, 0x08}, output(16);
    a.transfer = TNfaceTransfer{output.data(), input.data(), 0, 5, 16};
    const uint16_t id = request<NFACE_IO_CONTROL_REQ>(a, {&a.transfer, 0x8003, 0x1234, 300});
    const auto sent = l1.received(NFCLL_IOCONTROL_REQ);
    ASSERT_EQ(sent.size(), 1u);
    const auto req = nfcllMsgGet<NFCLL_IOCONTROL_REQ>(sent[0]);
    EXPECT_EQ(req.code, 0x8003u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(req.instance), 0x1234u);
    EXPECT_EQ(req.timeout, 300u);
    EXPECT_NE(req.input, input.data());
    EXPECT_EQ(std::vector<uint8_t>(req.input, req.input + req.inputLength), input);
    EXPECT_NE(req.output, output.data());
    EXPECT_EQ(req.outputSize, 16);

    l1.ioControlConfirmation(0, {1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00});
    run();
    EXPECT_EQ(a.last<NFACE_IO_CONTROL_CONF>().cause, 0);
    EXPECT_EQ(a.lastIdentity<NFACE_IO_CONTROL_CONF>(), id);
    EXPECT_EQ(a.lastData(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00}));

    // An answer beyond the room is refused.
    ioControl(a, 0x8003, input, output);
    l1.ioControlConfirmation(0, std::vector<uint8_t>(17, 0xEE));
    run();
    EXPECT_EQ(a.last<NFACE_IO_CONTROL_CONF>().cause, nfcCauseNotEnoughInternalMemory);
    EXPECT_EQ(a.last<NFACE_IO_CONTROL_CONF>().length, 0);
}

TEST_F(MgrTest, SomeIoControlCodesAreAnsweredByTheManagerItself) {
    struct Case {
        uint32_t code;
        std::vector<uint8_t> input;
        uint16_t cause;
    };
    const Case cases[] = {
        {0x1008, {0xF4, 0x01}, 0}, {0x1008, {0xF4}, nfcCauseWrongParameter}, {0x1008, {1, 2, 3}, nfcCauseWrongParameter},
        {0x1103, {0x64, 0x00}, 0}, {0x1103, {}, nfcCauseWrongParameter},
        {0x120B, {0x01, 0x02}, 0}, {0x120B, {0x02}, nfcCauseWrongParameter},
    };
    start();
    TestApp& a = registerApp(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::vector<uint8_t> output;
        ioControl(a, c.code, c.input, output);
        EXPECT_EQ(a.last<NFACE_IO_CONTROL_CONF>().cause, c.cause);
    }
    EXPECT_EQ(l1.count(NFCLL_IOCONTROL_REQ), 0u);
    // The two stack-wide bytes kept the last good input; the short one changed nothing.
    EXPECT_EQ(nfcmanP2pRawMode(), 1);
    EXPECT_EQ(nfcmanOptionByte(), 2);
}

TEST_F(MgrTest, APollPeriodSetByIoControlTimesThePresenceCheck) {
    start();
    TestApp& a = registerApp(0);
    std::vector<uint8_t> none;
    ioControl(a, 0x1008, {0xF4, 0x01}, none);      // 500 ms
    listen(a, TAG_ISO14443A);
    detect(tag(TAG_ISO14443A));
    advance(490);
    EXPECT_EQ(l1.count(NFCLL_CHECK_REQ), 0u);
    advance(10);
    EXPECT_EQ(l1.count(NFCLL_CHECK_REQ), 1u);
}

TEST_F(MgrTest, SecureElementIndicationsReachTheirApplications) {
    l1.onCommand(NFCLL_IOCONTROL_REQ, [](FakeLayer1&, const OsMessage&) {});
    start();
    TestApp& a = registerApp(0);
    TestApp& virtualSe = registerApp(1);
    std::vector<uint8_t> none;
    ioControl(virtualSe, 0x8008, {}, none);
    l1.ioControlConfirmation(0, {});
    run();

    l1.indicate<NFC_SE_IND>({NFCLL_SE_ACTIVATED, 7, 0x11, nullptr});
    run();
    EXPECT_EQ(a.got(NFACE_NFC_SE_IND).size(), 1u);
    EXPECT_EQ(virtualSe.got(NFACE_NFC_SE_IND).size(), 1u);
    EXPECT_EQ(a.last<NFACE_NFC_SE_IND>().hSecure, 7u);
    EXPECT_EQ(a.last<NFACE_NFC_SE_IND>().flags, 0x11u);

    // A transaction goes only to the application that switched an SE to virtual mode.
    TNfcTransaction transaction{};
    transaction.aidLength = 16;
    transaction.paramLength = 2;
    l1.indicate<NFC_SE_IND>({NFCLL_SE_TRANSACTION, 7, 0, &transaction});
    run();
    EXPECT_EQ(a.got(NFACE_NFC_SE_IND).size(), 1u);
    ASSERT_EQ(virtualSe.got(NFACE_NFC_SE_IND).size(), 2u);
    EXPECT_EQ(virtualSe.last<NFACE_NFC_SE_IND>().transaction, &transaction);

    // A record whose lengths pass their fields goes nowhere.
    transaction.aidLength = 17;
    l1.indicate<NFC_SE_IND>({NFCLL_SE_TRANSACTION, 7, 0, &transaction});
    transaction.aidLength = 4;
    transaction.paramLength = 17;
    l1.indicate<NFC_SE_IND>({NFCLL_SE_TRANSACTION, 7, 0, &transaction});
    run();
    EXPECT_EQ(virtualSe.got(NFACE_NFC_SE_IND).size(), 2u);
    EXPECT_EQ(cap.count("nfcman: ! secure transaction refused"), 2u);

    // Mode 0 again: the application is out of the transactions.
    ioControl(virtualSe, 0x800A, {}, none);
    l1.ioControlConfirmation(0, {});
    transaction.paramLength = 2;
    l1.indicate<NFC_SE_IND>({NFCLL_SE_TRANSACTION, 7, 0, &transaction});
    run();
    EXPECT_EQ(virtualSe.got(NFACE_NFC_SE_IND).size(), 2u);
    EXPECT_TRUE(cap.contains("nfcman: No application with activated virtual SE mode found"));
}

TEST_F(MgrTest, RfFieldAndRemovalOfThePhysicalLayerAreSpread) {
    start();
    TestApp& field = registerApp(0);
    TestApp& other = registerApp(1);
    listen(field, TAG_ISO14443A | NFC_LISTEN_RF_FIELD);
    listen(other, TAG_15693);
    l1.indicate<NFCLL_RF_FIELD_IND>({1});
    run();
    EXPECT_EQ(field.last<NFACE_RF_FIELD_IND>().state, 1u);
    EXPECT_TRUE(other.got(NFACE_RF_FIELD_IND).empty());

    l1.indicate<NFCLL_RELEASE_IND>();
    run();
    EXPECT_EQ(field.got(NFACE_DEVICE_REMOVED_IND).size(), 1u);
    EXPECT_EQ(other.got(NFACE_DEVICE_REMOVED_IND).size(), 1u);
    // The manager halts: requests get the fatal cause.
    listen(other, TAG_15693 | TAG_14443B);
    EXPECT_EQ(other.last<NFACE_LISTEN_CONF>().cause, nfcCauseFatal);
}

TEST_F(MgrTest, AnErrorOfLayer1ResetsTheControllerAndListeningResumes) {
    TestApp& a = startWithTag(TAG_ISO14443A, TAG_ISO14443A);
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);
    l1.indicate<NFCLL_ERROR_IND>({nfcCauseRejected});
    run();
    EXPECT_EQ(l1.count(PH_RESET_REQ), 1u);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), listens + 1);
    // The reset ended the tag's link: the application learns it once.
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
    l1.indicate<NFCLL_TECH_REMOVE_IND>({0});
    run();
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
    // Cause 7 keeps the state.
    l1.indicate<NFCLL_ERROR_IND>({nfcCauseWrongState});
    run();
    EXPECT_EQ(l1.count(PH_RESET_REQ), 1u);
}

struct HealthMonitorTest : MgrTest {
    void SetUp() override {
        MgrTest::SetUp();
        // The controller answers every listen; the echo is the test's to answer.
        l1.onCommand(NFCLL_IOCONTROL_REQ, [](FakeLayer1&, const OsMessage&) {});
    }
    size_t echoes() const {
        size_t n = 0;
        for (const OsMessage& m : l1.received(NFCLL_IOCONTROL_REQ)) {
            const auto r = nfcllMsgGet<NFCLL_IOCONTROL_REQ>(m);
            n += r.code == 0x1004 && std::vector<uint8_t>(r.input, r.input + r.inputLength) == kEcho;
        }
        return n;
    }
    void idle() {
        l1.indicate<NFCLL_HEALTHMON_IND>();
        run();
    }
};

TEST_F(HealthMonitorTest, RunsOnlyWithItsCapabilityAndWithoutTheMaskBit) {
    struct Case {
        uint32_t capFlags;
        uint32_t mask;
        bool runs;
    };
    const Case cases[] = {{kHostPolls | kHealthMonitor, TAG_ISO14443A, true},
                          {kHostPolls, TAG_ISO14443A, false},
                          {kHostPolls | kHealthMonitor, TAG_ISO14443A | NFCMAN_NO_HEALTH_MONITOR, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capFlags);
        l1.capabilities.supportedMask = kSupported;
        start(c.capFlags);
        listen(registerApp(0), c.mask);
        idle();
        EXPECT_EQ(l1.count(NFCLL_HEALTHMON_REQ) > 0, c.runs);
        EXPECT_EQ(echoes(), c.runs ? 1u : 0u);
        MgrTest::TearDown();
        apps = {};
        l1.clearReceived();
    }
}

TEST_F(HealthMonitorTest, AnEchoInTimeKeepsTheWheelRunningAMissingOneResetsTheController) {
    start(kHostPolls | kHealthMonitor);
    // Host card emulation alone: phases of 5500 ms, longer than the echo may take.
    listen(registerApp(0), CE_HOST_14443A_106);
    const auto on = l1.received(NFCLL_HEALTHMON_REQ);
    ASSERT_FALSE(on.empty());
    EXPECT_EQ(nfcllMsgGet<NFCLL_HEALTHMON_REQ>(on.front()).on, 1);

    idle();
    ASSERT_EQ(echoes(), 1u);
    advance(100);
    l1.ioControlConfirmation(0, kEcho);
    run();
    EXPECT_TRUE(cap.contains("nfcman: HM response received"));
    advance(2000);
    EXPECT_EQ(l1.count(PH_RESET_REQ), 0u);

    // The next round's echo is not answered: 1200 ms later the controller is reset, and
    // listening resumes after its confirmation.
    cap.clear();
    idle();     // finished -> idle
    idle();     // idle -> echo
    ASSERT_EQ(echoes(), 2u);
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);
    advance(1190);
    EXPECT_EQ(l1.count(PH_RESET_REQ), 0u);
    advance(10);
    EXPECT_EQ(l1.count(PH_RESET_REQ), 1u);
    EXPECT_GT(l1.count(NFCLL_LISTEN_REQ), listens);
}

TEST_F(HealthMonitorTest, AnApplicationsIoControlWaitsForTheEcho) {
    start(kHostPolls | kHealthMonitor);
    TestApp& a = registerApp(0);
    listen(a, TAG_ISO14443A);
    idle();
    std::vector<uint8_t> input{0x01}, output(4);      // the caller's, alive while it waits
    const uint16_t id = ioControl(a, 0x8003, input, output);
    EXPECT_EQ(l1.count(NFCLL_IOCONTROL_REQ), 1u);       // only the echo
    l1.ioControlConfirmation(0, kEcho);
    run();
    ASSERT_EQ(l1.count(NFCLL_IOCONTROL_REQ), 2u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_REQ>(l1.received(NFCLL_IOCONTROL_REQ)[1]).code, 0x8003u);
    EXPECT_TRUE(a.got(NFACE_IO_CONTROL_CONF).empty());  // the echo's answer is not the application's
    l1.ioControlConfirmation(0, {0x90, 0x00});
    run();
    EXPECT_EQ(a.lastIdentity<NFACE_IO_CONTROL_CONF>(), id);
    EXPECT_EQ(a.lastData(), (std::vector<uint8_t>{0x90, 0x00}));
}
