// Several applications at once: the answer of a request reaches the application that asked it,
// whatever the others send meanwhile, and a request whose caller gave it up is not started, or
// ends without an answer once the tag has answered.
#include "mgr_harness.h"

using namespace mgrtest;

namespace {

// A request of the first application that waits for the tag's answer.
enum class Waiting { Format, Transaction, Test };

struct ReleaseCase {
    const char* name;
    Waiting waiting;
    uint32_t otherMask;         // what the second application listens for
    bool restarts;              // whether its release changes what the controller listens for
};

class MgrAppsTest : public MgrTest {
protected:
    // The first application holds a type 2 tag; the second listens for the mask.
    void startTwo(uint32_t otherMask) {
        start();
        registerApp(0);
        registerApp(1);
        listen(apps[0], TAG_ISO14443A);
        listen(apps[1], otherMask);
        detect(tag(TAG_ULTRALIGHT_TYPE2));
        ASSERT_EQ(apps[0].got(NFACE_DEVICE_IND).size(), 1u);
    }

    // Posts a request of the kind for the first application; the tag has not answered yet.
    uint16_t startWaiting(Waiting waiting) {
        TestApp& a = apps[0];
        switch (waiting) {
        case Waiting::Format:
            th.formatAsksTag = true;
            return request<NFACE_FORMAT_REQ>(a, {1, 0, 8});
        case Waiting::Transaction: return transaction(a, pdu, room);
        case Waiting::Test: return request<NFACE_TEST_REQ>(a);
        }
        return 0;
    }
    void tagAnswers(Waiting waiting) {
        if (waiting == Waiting::Test) l1.checkConfirmation(0);
        else l1.transactionIndication(0, {0x0A, 0x0B});
        run();
    }
    // The first application's answers of the kind, as {cause, identity}.
    std::vector<std::pair<uint16_t, uint16_t>> answers(Waiting waiting) const {
        const uint16_t code = waiting == Waiting::Format        ? NFACE_FORMAT_CONF
                              : waiting == Waiting::Transaction ? NFACE_TRANSACTION_IND
                                                                : NFACE_TEST_IND;
        std::vector<std::pair<uint16_t, uint16_t>> out;
        for (const TnfcapiMsg& m : apps[0].got(code)) out.emplace_back(nfaceMsgGet<NFACE_TEST_IND>(m).cause, m.request);
        return out;
    }
    // What the API core posts when its caller stops waiting for the request.
    void cancel(TestApp& a, uint16_t id) {
        OsMessage m{};
        m.command = NFACE_CANCEL_REQ;
        m.spare = id;
        m.source = NFCMAN_QUEUE_NAME | static_cast<uint32_t>(a.index + 1) << 19;
        ASSERT_EQ(osMessageSend(managerQueue, &m), OS_OK);
        run();
    }

    std::vector<uint8_t> pdu{0x30, 0x04}, room = std::vector<uint8_t>(16);
};

class ReleaseDuringRequest : public MgrAppsTest, public ::testing::WithParamInterface<ReleaseCase> {};

} // namespace

TEST_P(ReleaseDuringRequest, TheRequestGetsItsAnswerAndTheReleaseComesWhenItChangesNothingUnderIt) {
    const ReleaseCase c = GetParam();
    startTwo(c.otherMask);
    const uint16_t id = startWaiting(c.waiting);
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);

    ASSERT_EQ(nfaceRelease(apps[1].hApp), 0u);
    run();
    // A release that changes nothing the controller does is confirmed at once; one that does
    // waits for the request.
    EXPECT_EQ(apps[1].got(NFACE_RELEASE_CONF).size(), c.restarts ? 0u : 1u);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), listens);

    tagAnswers(c.waiting);
    EXPECT_EQ(answers(c.waiting), (std::vector<std::pair<uint16_t, uint16_t>>{{0, id}}));
    EXPECT_EQ(apps[1].got(NFACE_RELEASE_CONF).size(), 1u);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), listens + (c.restarts ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    MgrApps, ReleaseDuringRequest,
    ::testing::Values(ReleaseCase{"FormatSameMask", Waiting::Format, TAG_ISO14443A, false},
                      ReleaseCase{"FormatOtherMask", Waiting::Format, TAG_15693, true},
                      ReleaseCase{"TransactionSameMask", Waiting::Transaction, TAG_ISO14443A, false},
                      ReleaseCase{"TransactionOtherMask", Waiting::Transaction, TAG_15693, true},
                      ReleaseCase{"TestSameMask", Waiting::Test, TAG_ISO14443A, false},
                      ReleaseCase{"TestOtherMask", Waiting::Test, TAG_15693, true}),
    [](const ::testing::TestParamInfo<ReleaseCase>& info) { return std::string(info.param.name); });

TEST_F(MgrAppsTest, ACheckIsAnsweredToItsCallerWhateverAnotherApplicationSendsMeanwhile) {
    startTwo(TAG_ISO14443A);
    const uint16_t id = startWaiting(Waiting::Test);
    std::vector<uint8_t> out(4);
    ioControl(apps[1], 0x1004, {0x06, 0x06, 0x06}, out);
    listen(apps[1], TAG_ISO14443A | TAG_15693);
    ASSERT_EQ(apps[1].got(NFACE_IO_CONTROL_CONF).size(), 1u);

    tagAnswers(Waiting::Test);
    EXPECT_EQ(answers(Waiting::Test), (std::vector<std::pair<uint16_t, uint16_t>>{{0, id}}));
    EXPECT_TRUE(apps[1].got(NFACE_TEST_IND).empty());
}

// The second application's I/O control waits behind the first one's; its caller gives it up
// there, or before the manager has even taken it. It never reaches layer 1, and nothing it
// points at is read: its input is gone by then.
class GivenUpWaiting : public MgrAppsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(GivenUpWaiting, TheRequestIsNotStarted) {
    const bool beforeTaken = GetParam();
    startTwo(TAG_ISO14443A);
    l1.onCommand(NFCLL_IOCONTROL_REQ, [](FakeLayer1&, const OsMessage&) {});
    std::vector<uint8_t> out(4);
    ioControl(apps[0], 0x800E, {}, out);
    ASSERT_EQ(l1.count(NFCLL_IOCONTROL_REQ), 1u);

    TestApp& b = apps[1];
    TNfaceTransfer gone{nullptr, reinterpret_cast<const uint8_t*>(0x10), 0, 5, 0};
    OsMessage m{};
    m.command = NFACE_IO_CONTROL_REQ;
    m.spare = ++b.lastRequest;
    m.source = NFCMAN_QUEUE_NAME | static_cast<uint32_t>(b.index + 1) << 19;
    osMsgSetFields(m, TNfaceIoControlReq{&gone, 0x1203, 0, 0});
    ASSERT_EQ(osMessageSend(managerQueue, &m), OS_OK);
    if (!beforeTaken) {
        run();
        EXPECT_TRUE(cap.contains("nfcman: Queueing request"));
    }
    nfaceGiveUp(b.hApp, &b, m.spare);
    cancel(b, m.spare);
    l1.ioControlConfirmation(0, {});
    run();
    EXPECT_EQ(apps[0].got(NFACE_IO_CONTROL_CONF).size(), 1u);
    EXPECT_EQ(l1.count(NFCLL_IOCONTROL_REQ), 1u);
    EXPECT_TRUE(b.got(NFACE_IO_CONTROL_CONF).empty());
}

INSTANTIATE_TEST_SUITE_P(MgrApps, GivenUpWaiting, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "BeforeItWasTaken" : "WhileParked");
                         });

TEST_F(MgrAppsTest, AGivenUpRequestTheTagServesEndsWithoutAnswerAndTheTagServesTheNext) {
    startTwo(TAG_ISO14443A);
    const uint16_t id = startWaiting(Waiting::Transaction);
    cancel(apps[0], id);
    tagAnswers(Waiting::Transaction);
    EXPECT_TRUE(answers(Waiting::Transaction).empty());
    l1.onCommand(NFCLL_CHECK_REQ, [](FakeLayer1& f, const OsMessage&) { f.checkConfirmation(0); });
    const uint16_t next = request<NFACE_TEST_REQ>(apps[0]);
    EXPECT_EQ(answers(Waiting::Test), (std::vector<std::pair<uint16_t, uint16_t>>{{0, next}}));
}

// Requests that wait behind a transaction are all served once it is through, not one per state
// the manager enters: none of them changes the state again.
TEST_F(MgrAppsTest, EveryRequestParkedBehindTheTagsRequestIsServedOnceItEnds) {
    start();
    for (int i = 0; i < 3; ++i) registerApp(i);
    listen(apps[0], TAG_ISO14443A);
    detect(tag(TAG_ULTRALIGHT_TYPE2));
    startWaiting(Waiting::Transaction);
    const uint16_t b = listen(apps[1], TAG_ISO14443A);
    const uint16_t c = listen(apps[2], TAG_ISO14443A);
    EXPECT_TRUE(apps[1].got(NFACE_LISTEN_CONF).empty());
    tagAnswers(Waiting::Transaction);
    EXPECT_EQ(apps[1].lastIdentity<NFACE_LISTEN_CONF>(), b);
    EXPECT_EQ(apps[2].lastIdentity<NFACE_LISTEN_CONF>(), c);
}
