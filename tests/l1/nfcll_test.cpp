// Layer 1's own rules with a recording driver in place of the chip driver: the module manager
// builds it below a test task, a stub com task answers the PH_ primitives, and time is virtual.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "L1/common/nfcll.h"
#include "api/nfcapi_init.h"
#include "hw/hw_timer.h"
#include "manual_clock.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "stub_modules.h"
#include "trace_capture.h"
#include "transport/com.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCom = 0x33;
constexpr uint8_t kManager = 0xB2;
constexpr uint16_t kReaderPn53x = 0x107;
constexpr uint16_t kReaderNci = 0x40B;
constexpr char kNoLeak[] = "osMemoryDone(), exit 0 bytes memory allocated (count 0)";

// What the recording driver saw; the driver part of the segment only points here.
struct Recorder {
    TNfcllContext* ll = nullptr;
    uint16_t stepResult = 0;
    int steps = 0;
    std::vector<Bytes> transactions;    // data of each transaction request, in order
    std::vector<uint8_t> expiredTimers;
};
Recorder* g_recorder = nullptr;

uint16_t fakeStep(TNfcllContext*, TNfcCapabilityBlock*) {
    ++g_recorder->steps;
    return g_recorder->stepResult;
}
void fakeTransaction(TNfcllContext*, const uint8_t* data, uint16_t length, uint32_t) {
    g_recorder->transactions.emplace_back(data, data + length);
}
void fakeTimer(TNfcllContext*, uint8_t id) { g_recorder->expiredTimers.push_back(id); }
// I/O controls are answered by the test, as the driver would later.
void fakeIoControl(TNfcllContext*, uint32_t, void*, uint32_t, const uint8_t*, uint16_t, uint8_t*, uint16_t) {}
int32_t fakeInit(TNfcllContext* ll) {
    g_recorder->ll = ll;
    ll->miniport.ioControlRequest = &fakeIoControl;
    ll->miniport.initializationStep = &fakeStep;
    ll->miniport.transactionRequest = &fakeTransaction;
    ll->miniport.timerExpired = &fakeTimer;
    return 1;
}

struct NfcllTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        g_recorder = &driver;
        osInit();
        ASSERT_EQ(osPoolCreate(0xF1, 128, 2, &globalPool), OS_OK);
        mmInit();
        nfcllSetDriverInit(&fakeInit, 0);
        stubs.add(kCom).onMessage = [this](const OsMessage& m) { comAnswers(m); };
        stubs.add(kManager);
    }
    void TearDown() override {
        osDone();
        nfcllSetDriverInit(nullptr, 0);
        g_recorder = nullptr;
        EXPECT_TRUE(cap.contains(kNoLeak));
    }

    // The com layer as far as activation needs it; frames sent down are only counted.
    void comAnswers(const OsMessage& m) {
        OsMessage answer{};
        answer.source = kCom;
        if (m.command == PH_ACT_REQ) answer.command = PH_ACT_IND;
        else if (m.command == PH_RESET_REQ) answer.command = PH_RESET_CONF;
        else return;
        osMessageSend(layer1Queue(), &answer);
    }

    void build(uint16_t readerType) {
        ASSERT_EQ(hwTimerRegister(), OS_OK);
        ASSERT_EQ(stubs.registerModule(kCom, 0, MM_TYPE_STACK_LAYER), OS_OK);
        ASSERT_EQ(nfcllRegister(readerType), OS_OK);
        ASSERT_EQ(stubs.registerModule(kManager, 0, MM_TYPE_TASK), OS_OK);
        osRunUntilIdle();
        task = (readerType & NFCLL_FAMILY_PN53X) ? NFCLL_TASK_PN53X : NFCLL_TASK_NCI;
        uint8_t bytes[sizeof(MmStackDescriptor)] = {0x01, 0x00, 0x02, 0x00, 0x00, 0x00, task, 0x00, 0x00, 0x00, 0, 0, 0x00,
                                                    0x00, 0x0A, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x08};
        uint16_t requester = 0;
        ASSERT_EQ(osQueueFindByName(kManager, &requester), OS_OK);
        std::memcpy(bytes + 10, &requester, 2);
        void* buffer = nullptr;
        ASSERT_EQ(osBufferGet(globalPool, sizeof bytes, &buffer, nullptr, nullptr), OS_OK);
        std::memcpy(buffer, bytes, sizeof bytes);
        OsMessage message{};
        message.command = MM_BUILD_REQ;
        message.source = kManager;
        osMsgSetFields(message, MmBuildFields{task, 0, static_cast<MmStackDescriptor*>(buffer)});
        uint16_t mm = 0;
        ASSERT_EQ(osQueueFindByName(MM_QUEUE_NAME, &mm), OS_OK);
        ASSERT_EQ(osMessageSend(mm, &message), OS_OK);
        osRunUntilIdle();
        osBufferRelease(buffer);
        ASSERT_NE(driver.ll, nullptr);
        ASSERT_EQ(osPoolFindByName(0x201F7, &rxPool), OS_OK);
        fullPool = osPoolFree(rxPool);
    }

    void activate(uint16_t readerType = kReaderNci) {
        build(readerType);
        send(nfcllMsgMake<NFCLL_ACT_REQ>(kManager));
        ASSERT_EQ(received(NFCLL_ACT_CONF).size(), 1u);
    }

    uint16_t layer1Queue() {
        uint16_t id = 0;
        osQueueFindByName(0x20000u | task, &id);
        return id;
    }
    void send(const OsMessage& message) {
        ASSERT_EQ(osMessageSend(layer1Queue(), &message), OS_OK);
        osRunUntilIdle();
    }
    // What the driver's calls posted (timer commands among them) is handled before time moves.
    void advance(uint32_t ms) {
        osRunUntilIdle();
        clock.advance(ms);
        osRunUntilIdle();
    }
    std::vector<OsMessage> received(uint16_t command) {
        std::vector<OsMessage> result;
        for (const OsMessage& m : stubs[kManager].received())
            if (m.command == command) result.push_back(m);
        return result;
    }
    std::vector<uint16_t> upward() {
        std::vector<uint16_t> result;
        for (const OsMessage& m : stubs[kManager].received())
            if (m.command != MM_BUILD_ANSWER) result.push_back(m.command);
        return result;
    }
    // The result a transaction indication or check confirmation carries; its buffer goes back.
    struct Result {
        uint16_t cause;
        Bytes data;
    };
    Result take(const OsMessage& m) {
        const auto f = osMsgFields<TNfcllTransactionInd>(m);
        Result r{f.result->cause, {}};
        if (f.result->dataLength) r.data.assign(f.result->data, f.result->data + f.result->dataLength);
        if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.result);
        return r;
    }
    void pushFrame(size_t length, uint8_t fill) {
        void* buffer = nullptr;
        ASSERT_EQ(osBufferGet(rxPool, static_cast<uint16_t>(length), &buffer, nullptr, nullptr), OS_OK);
        std::memset(buffer, fill, length);
        send(nfcllMsgMake<PH_DATA_REQ>(kManager, {NFCLL_MSG_OWNS_BUFFER, 0, static_cast<uint16_t>(length),
                                                   static_cast<uint8_t*>(buffer)}));
    }

    ManualClock clock;
    TraceCapture cap;
    StubModules stubs;
    Recorder driver;
    uint16_t globalPool = 0;
    uint16_t rxPool = 0;
    uint16_t fullPool = 0;
    uint8_t task = 0;
};

TEST_F(NfcllTest, ActivationGoesThroughReaderResetAndTheDriversSteps) {
    driver.stepResult = 0;
    activate();
    const auto conf = nfcllMsgGet<NFCLL_ACT_CONF>(received(NFCLL_ACT_CONF)[0]);
    EXPECT_EQ(conf.cause, 0);
    EXPECT_EQ(conf.capabilities, &driver.ll->capabilities);
    EXPECT_EQ(stubs[kCom].count(PH_ACT_REQ), 1u);
    EXPECT_EQ(stubs[kCom].count(PH_RESET_REQ), 1u);
    EXPECT_EQ(driver.ll->state, NFCLL_STATE_ACTIVE);
    EXPECT_FALSE(driver.ll->timers[NFCLL_TIMER_ACTIVATION].running);
}

TEST_F(NfcllTest, Pn53xActivationIsTriedOnceMoreThenTimesOut) {
    driver.stepResult = NFCLL_CAUSE_PENDING;
    build(kReaderPn53x);
    send(nfcllMsgMake<NFCLL_ACT_REQ>(kManager));
    EXPECT_EQ(driver.steps, 1);
    advance(490);
    EXPECT_EQ(driver.steps, 1);
    advance(20);
    EXPECT_EQ(driver.steps, 2);
    EXPECT_TRUE(received(NFCLL_ACT_CONF).empty());
    advance(510);
    const auto confs = received(NFCLL_ACT_CONF);
    ASSERT_EQ(confs.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_ACT_CONF>(confs[0]).cause, NFCLL_CAUSE_ACT_TIMEOUT);
    EXPECT_EQ(driver.ll->state, NFCLL_STATE_IDLE);
}

TEST_F(NfcllTest, NciActivationTimesOutOnceAfterTwoSeconds) {
    driver.stepResult = NFCLL_CAUSE_PENDING;
    build(kReaderNci);
    send(nfcllMsgMake<NFCLL_ACT_REQ>(kManager));
    advance(1990);
    EXPECT_TRUE(received(NFCLL_ACT_CONF).empty());
    advance(20);
    ASSERT_EQ(received(NFCLL_ACT_CONF).size(), 1u);
    EXPECT_EQ(driver.steps, 1);
}

struct EndedActivation {
    const char* name;
    bool linkLost;      // else the activation time-out
    uint16_t cause;
};

void PrintTo(const EndedActivation& c, std::ostream* os) { *os << c.name; }

struct NfcllEndedActivationTest : NfcllTest, ::testing::WithParamInterface<EndedActivation> {};

TEST_P(NfcllEndedActivationTest, ADriverThatFinishesLateConfirmsNothingMore) {
    const EndedActivation& c = GetParam();
    driver.stepResult = NFCLL_CAUSE_PENDING;
    build(kReaderNci);
    send(nfcllMsgMake<NFCLL_ACT_REQ>(kManager));
    if (c.linkLost) {
        OsMessage lost{};
        lost.command = PH_DEACT_IND;
        lost.source = kCom;
        send(lost);
    } else {
        advance(2010);
    }
    ASSERT_EQ(received(NFCLL_ACT_CONF).size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_ACT_CONF>(received(NFCLL_ACT_CONF)[0]).cause, c.cause);
    // The driver's start-up ends after all: the activation was answered already.
    driver.stepResult = 0;
    nfcllSendUsActConf(driver.ll);
    advance(10);
    EXPECT_EQ(received(NFCLL_ACT_CONF).size(), 1u);
    EXPECT_NE(driver.ll->state, NFCLL_STATE_ACTIVE);
}

INSTANTIATE_TEST_SUITE_P(Endings, NfcllEndedActivationTest,
                         ::testing::Values(EndedActivation{"TimeOut", false, NFCLL_CAUSE_ACT_TIMEOUT},
                                           EndedActivation{"LinkLost", true, NFCLL_CAUSE_LINK_LOST}),
                         [](const ::testing::TestParamInfo<EndedActivation>& info) { return std::string(info.param.name); });

TEST_F(NfcllTest, Pn53xP2pFrameLeavesInFragmentsAndTheNextFrameWaits) {
    driver.stepResult = 0;
    activate(kReaderPn53x);
    pushFrame(600, 0xA1);
    pushFrame(10, 0xB2);
    ASSERT_EQ(driver.transactions.size(), 1u);
    for (int ack = 0; ack < 4; ++ack) nfcllPushNextP2PFragment(driver.ll);
    std::vector<size_t> lengths;
    for (const Bytes& t : driver.transactions) lengths.push_back(t.size());
    // The second frame begins once the first is acknowledged; an empty push ends the queue.
    EXPECT_EQ(lengths, (std::vector<size_t>{240, 240, 120, 10, 0}));
    EXPECT_EQ(driver.transactions[3], Bytes(10, 0xB2));
    EXPECT_EQ(osPoolFree(rxPool), fullPool);
}

TEST_F(NfcllTest, HandingTheUpperQueueOverReleasesEveryWaitingFrame) {
    driver.stepResult = 0;
    activate();
    pushFrame(300, 1);
    pushFrame(20, 2);
    pushFrame(20, 3);
    EXPECT_LT(osPoolFree(rxPool), fullPool);
    uint16_t manager = 0;
    ASSERT_EQ(osQueueFindByName(kManager, &manager), OS_OK);
    send(nfcllMsgMake<NFCLL_US_QUEUE_REQ>(kManager, {manager}));
    EXPECT_EQ(received(NFCLL_US_QUEUE_CONF).size(), 1u);
    EXPECT_EQ(osPoolFree(rxPool), fullPool);
}

TEST_F(NfcllTest, AnswersWaitInOrderWhileADeviceIndicationIsUnanswered) {
    driver.stepResult = 0;
    activate();
    nfcllSendUsDeviceInd(driver.ll);
    const uint8_t first[] = {0x01};
    const uint8_t second[] = {0x02, 0x03};
    nfcllSendUsTransactionInd(driver.ll, first, 0, sizeof first);
    nfcllSendUsTransactionInd(driver.ll, second, 0, sizeof second);
    nfcllStoreP2pRxData(driver.ll, 2, second, false);
    osRunUntilIdle();
    EXPECT_EQ(upward(), (std::vector<uint16_t>{NFCLL_ACT_CONF, NFCLL_DEVICE_IND}));

    send(nfcllMsgMake<NFCLL_DEVICE_RESP>(kManager));
    EXPECT_EQ(upward(), (std::vector<uint16_t>{NFCLL_ACT_CONF, NFCLL_DEVICE_IND, NFCLL_TRANSACTION_IND,
                                               NFCLL_TRANSACTION_IND, PH_DATA_IND}));
    const auto inds = received(NFCLL_TRANSACTION_IND);
    EXPECT_EQ(take(inds[0]).data, Bytes(first, first + 1));
    EXPECT_EQ(take(inds[1]).data, Bytes(second, second + 2));
    const auto frame = nfcllMsgGet<PH_DATA_IND>(received(PH_DATA_IND)[0]);
    EXPECT_EQ(Bytes(frame.buffer, frame.buffer + frame.length), Bytes(second, second + 2));
    osBufferRelease(frame.buffer);
    nfcllDone(driver.ll);   // gives back the receive buffer kept for the next frame
    EXPECT_EQ(osPoolFree(rxPool), fullPool);
}

TEST_F(NfcllTest, DeferredAnswersThatFindNoRoomGiveTheirBuffersBack) {
    driver.stepResult = 0;
    activate();
    nfcllSendUsDeviceInd(driver.ll);
    const uint8_t data[] = {0x55};
    for (int i = 0; i < NFCLL_DEFERRED_MAX + 2; ++i) nfcllSendUsTransactionInd(driver.ll, data, 0, sizeof data);
    EXPECT_TRUE(cap.contains("too many deferred messages"));
    EXPECT_EQ(osPoolFree(rxPool), fullPool - NFCLL_DEFERRED_MAX);
    nfcllDone(driver.ll);
    EXPECT_EQ(osPoolFree(rxPool), fullPool);
}

TEST_F(NfcllTest, AnswerTooLongForTheIndicationIsRefusedWithoutData) {
    driver.stepResult = 0;
    activate();
    const Bytes big(NFCLL_RX_BUFFER_SIZE, 0x77);
    nfcllSendUsTransactionInd(driver.ll, big.data(), 0, static_cast<uint32_t>(big.size()));
    nfcllSendUsTransactionInd(driver.ll, big.data(), 0, 0x10000);
    osRunUntilIdle();
    const auto inds = received(NFCLL_TRANSACTION_IND);
    ASSERT_EQ(inds.size(), 2u);
    for (const OsMessage& m : inds) {
        const Result r = take(m);
        EXPECT_EQ(r.cause, NFCLL_CAUSE_INVALID_DATA);
        EXPECT_TRUE(r.data.empty());
    }
    EXPECT_EQ(osPoolFree(rxPool), fullPool);
}

TEST_F(NfcllTest, IoControlAnswerTravelsInTheRequestersOutputAndOneThatDoesNotFitIsRefused) {
    struct Case {
        const char* name;
        bool withOutput;
        uint16_t room;
        uint16_t cause;       // of the confirmation
        uint16_t length;
    };
    const Case cases[] = {
        {"fits", true, 8, 0, 5},
        {"exactly fits", true, 5, 0, 5},
        {"too long", true, 4, NFCLL_CAUSE_INVALID_DATA, 0},
        {"no output", false, 8, NFCLL_CAUSE_INVALID_DATA, 0},
    };
    activate();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t output[8];
        std::memset(output, 0xAA, sizeof output);
        send(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(kManager, {nullptr, nullptr, c.withOutput ? output : nullptr, 0x1300, 0, 0, c.room}));
        // The driver answers from a buffer of its own, which it reuses before the manager reads.
        Bytes answer{1, 2, 3, 4, 5};
        nfcllSendUsIoControlConf(driver.ll, 0, answer.data(), static_cast<uint16_t>(answer.size()));
        std::fill(answer.begin(), answer.end(), 0xEE);
        osRunUntilIdle();
        const auto conf = nfcllMsgGet<NFCLL_IOCONTROL_CONF>(received(NFCLL_IOCONTROL_CONF).back());
        EXPECT_EQ(conf.cause, c.cause);
        ASSERT_EQ(conf.length, c.length);
        if (c.length) {
            EXPECT_EQ(conf.data, output);
            EXPECT_EQ(Bytes(conf.data, conf.data + conf.length), (Bytes{1, 2, 3, 4, 5}));
        } else {
            EXPECT_EQ(conf.data, nullptr);
            EXPECT_EQ(output[0], 0xAA) << "a refused answer writes nothing";
        }
    }
}

TEST_F(NfcllTest, FailedReadAfterMifareAuthenticationIsAnAuthenticationFailure) {
    driver.stepResult = 0;
    activate();
    driver.ll->device.tagType = 0x10;
    const uint8_t auth[] = {0x60, 0x04, 1, 2, 3, 4, 5, 6};
    send(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, {auth, sizeof auth, 0}));
    nfcllSendUsTransactionInd(driver.ll, nullptr, 0x206, 0);
    osRunUntilIdle();
    EXPECT_EQ(driver.ll->mfAuthBlock, 4);
    EXPECT_EQ(take(received(NFCLL_TRANSACTION_IND).at(0)).cause, NFCLL_CAUSE_AUTH_FAILED);

    // Another tag type forgets the authentication.
    driver.ll->device.tagType = 0x80;
    const uint8_t read[] = {0x30, 0x04};
    send(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, {read, sizeof read, 0}));
    nfcllSendUsTransactionInd(driver.ll, nullptr, 0x206, 0);
    osRunUntilIdle();
    EXPECT_EQ(take(received(NFCLL_TRANSACTION_IND).at(1)).cause, 0x206);
}

TEST_F(NfcllTest, UltralightSectorSelectEndsWithTheResponseTimeout) {
    driver.stepResult = 0;
    activate();
    driver.ll->device.tagType = NFCLL_TAG_ULTRALIGHT;
    const uint8_t select[] = {0xC2, 0xFF};
    const uint8_t sector[] = {0x01, 0x00, 0x00, 0x00};
    send(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, {select, sizeof select, 0}));
    const uint8_t ack[] = {0x0A};
    nfcllSendUsTransactionInd(driver.ll, ack, 0, sizeof ack);
    send(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, {sector, sizeof sector, 0}));
    EXPECT_EQ(driver.ll->ulSectorSelect, 3);
    // The tag does not answer the second packet: the driver's response timer expiring is success.
    nfcllSetTimer(driver.ll, 7, 50);
    advance(60);
    EXPECT_TRUE(driver.expiredTimers.empty());
    const auto inds = received(NFCLL_TRANSACTION_IND);
    ASSERT_EQ(inds.size(), 2u);
    EXPECT_EQ(take(inds[0]).data, Bytes{0x0A});
    const Result done = take(inds[1]);
    EXPECT_EQ(done.cause, 0);
    EXPECT_TRUE(done.data.empty());
    EXPECT_EQ(driver.ll->ulSectorSelect, 0);
}

TEST_F(NfcllTest, UltralightSectorSelectIsAcknowledgedWhenTheDriverReportsTheMissingAnswerFirst) {
    driver.stepResult = 0;
    activate();
    driver.ll->device.tagType = NFCLL_TAG_ULTRALIGHT;
    const uint8_t select[] = {0xC2, 0xFF};
    const uint8_t sector[] = {0x01, 0x00, 0x00, 0x00};
    const uint8_t ack[] = {0x0A};
    send(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, {select, sizeof select, 0}));
    nfcllSendUsTransactionInd(driver.ll, ack, 0, sizeof ack);
    send(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, {sector, sizeof sector, 0}));
    // An NCI controller reports the tag's silence itself, before layer 1's timer runs out.
    nfcllSendUsTransactionInd(driver.ll, nullptr, NFCLL_CAUSE_LINK_LOST, 0);
    advance(0);
    const auto inds = received(NFCLL_TRANSACTION_IND);
    ASSERT_EQ(inds.size(), 2u);
    take(inds[0]);
    const Result done = take(inds[1]);
    EXPECT_EQ(done.cause, 0);
    EXPECT_TRUE(done.data.empty());
    EXPECT_EQ(driver.ll->ulSectorSelect, 0);
    // Any other exchange keeps its failure.
    send(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, {sector, sizeof sector, 0}));
    nfcllSendUsTransactionInd(driver.ll, nullptr, NFCLL_CAUSE_LINK_LOST, 0);
    advance(0);
    const auto after = received(NFCLL_TRANSACTION_IND);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(take(after[2]).cause, NFCLL_CAUSE_LINK_LOST);
}

TEST_F(NfcllTest, CheckIsConfirmedAsACheckAndReachesTheDriverAsATransaction) {
    driver.stepResult = 0;
    activate();
    const uint8_t probe[] = {0x30, 0x00};
    send(nfcllMsgMake<NFCLL_CHECK_REQ>(kManager, {probe, sizeof probe, 0}));
    ASSERT_EQ(driver.transactions.size(), 1u);
    nfcllSendUsTransactionInd(driver.ll, nullptr, NFCLL_CAUSE_AUTH_FAILED, 0);
    osRunUntilIdle();
    ASSERT_EQ(received(NFCLL_CHECK_CONF).size(), 1u);
    EXPECT_EQ(take(received(NFCLL_CHECK_CONF)[0]).cause, 0);
    EXPECT_FALSE(driver.ll->flags & NFCLL_FLAG_CHECK_PENDING);
}

TEST_F(NfcllTest, ListenForADriverThatCannotListenIsRefusedAtOnce) {
    driver.stepResult = 0;
    activate();
    TNfcListenParam params{};
    send(nfcllMsgMake<NFCLL_LISTEN_REQ>(kManager, {0x1, &params}));
    const auto confirmations = received(NFCLL_LISTEN_CONF);
    ASSERT_EQ(confirmations.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_LISTEN_CONF>(confirmations[0]).cause, NFCLL_CAUSE_NO_DRIVER);
    EXPECT_FALSE(driver.ll->flags & NFCLL_FLAG_LISTEN_PENDING);
}

TEST_F(NfcllTest, TransactionWithTheLinkDownIsRefusedAtOnce) {
    driver.stepResult = 0;
    build(kReaderNci);
    const uint8_t pdu[] = {0x30, 0x00};
    send(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(kManager, {pdu, sizeof pdu, 0}));
    EXPECT_TRUE(driver.transactions.empty());
    EXPECT_EQ(take(received(NFCLL_TRANSACTION_IND).at(0)).cause, NFCLL_CAUSE_WRONG_STATE);
}

TEST_F(NfcllTest, P2pFrameThatOverflowsIsDroppedWholeAndTheNextStartsClean) {
    driver.stepResult = 0;
    activate();
    const Bytes part(2000, 0x11);
    nfcllStoreP2pRxData(driver.ll, static_cast<uint32_t>(part.size()), part.data(), true);
    nfcllStoreP2pRxData(driver.ll, 100, part.data(), true);
    const uint8_t next[] = {0x22, 0x33};
    nfcllStoreP2pRxData(driver.ll, sizeof next, next, false);
    osRunUntilIdle();
    EXPECT_EQ(received(NFCLL_LLCP_TRIGGER_IND).size(), 1u);
    const auto frames = received(PH_DATA_IND);
    ASSERT_EQ(frames.size(), 1u);
    const auto frame = nfcllMsgGet<PH_DATA_IND>(frames[0]);
    EXPECT_EQ(Bytes(frame.buffer, frame.buffer + frame.length), Bytes(next, next + 2));
    osBufferRelease(frame.buffer);
}

TEST_F(NfcllTest, AnEmptyLastPieceEndsTheP2pFrameItFollows) {
    driver.stepResult = 0;
    activate();
    const uint8_t none[] = {0x00};
    nfcllStoreP2pRxData(driver.ll, 0, none, false);   // alone it is no frame
    const uint8_t first[] = {0x01, 0x02, 0x03}, next[] = {0x22};
    nfcllStoreP2pRxData(driver.ll, sizeof first, first, true);
    nfcllStoreP2pRxData(driver.ll, 0, none, false);
    nfcllStoreP2pRxData(driver.ll, sizeof next, next, false);
    osRunUntilIdle();
    const auto frames = received(PH_DATA_IND);
    ASSERT_EQ(frames.size(), 2u);
    const std::vector<Bytes> expected = {Bytes(first, first + 3), Bytes(next, next + 1)};
    for (size_t k = 0; k < frames.size(); ++k) {
        const auto frame = nfcllMsgGet<PH_DATA_IND>(frames[k]);
        EXPECT_EQ(Bytes(frame.buffer, frame.buffer + frame.length), expected[k]);
        osBufferRelease(frame.buffer);
    }
}

TEST_F(NfcllTest, FieldOnOffOnWithinTheDebounceTimeIsOneFieldOn) {
    driver.stepResult = 0;
    activate();
    nfcllReportRfField(driver.ll, true);
    nfcllReportRfField(driver.ll, false);
    advance(100);
    nfcllReportRfField(driver.ll, true);
    advance(200);
    std::vector<uint32_t> states;
    for (const OsMessage& m : received(NFCLL_RF_FIELD_IND)) states.push_back(nfcllMsgGet<NFCLL_RF_FIELD_IND>(m).state);
    EXPECT_EQ(states, std::vector<uint32_t>{1});
    nfcllReportRfField(driver.ll, false);
    advance(140);
    states.clear();
    for (const OsMessage& m : received(NFCLL_RF_FIELD_IND)) states.push_back(nfcllMsgGet<NFCLL_RF_FIELD_IND>(m).state);
    EXPECT_EQ(states, (std::vector<uint32_t>{1, 0}));
}

// ---- The health monitor's services ------------------------------------------------------------
struct ActivityCase {
    const char* what;
    uint32_t mode;
    bool fragment;      // a P2P frame goes to the driver before the check
    bool queueOne;      // a second frame waits behind it
    uint32_t result;
    bool marked;        // the activity flag after the check
    uint32_t again;     // a second check with nothing new
};

void PrintTo(const ActivityCase& c, std::ostream* os) { *os << c.what; }

struct NfcllActivityTest : NfcllTest, ::testing::WithParamInterface<ActivityCase> {};

TEST_P(NfcllActivityTest, CheckComparesTheP2pTransmitSideWithTheLastCheck) {
    const ActivityCase& c = GetParam();
    driver.stepResult = 0;
    activate();
    driver.ll->mode = c.mode;
    if (c.fragment) pushFrame(10, 1);
    if (c.queueOne) pushFrame(10, 2);
    EXPECT_EQ(nfcllHealthMonCheck(driver.ll), c.result);
    EXPECT_EQ((driver.ll->flags & NFCLL_FLAG_ACTIVITY_CHECK) != 0, c.marked);
    EXPECT_EQ(nfcllHealthMonCheck(driver.ll), c.again);
    nfcllPurgeTxQueue(driver.ll);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, NfcllActivityTest,
    ::testing::Values(ActivityCase{"NothingMoved", 4, false, false, 0, true, 0},
                      ActivityCase{"FragmentWithAReader", 4, true, false, 1, false, 1},
                      ActivityCase{"FragmentAsP2pInitiator", 1, true, false, 1, false, 1},
                      ActivityCase{"FragmentAsP2pTarget", 2, true, false, 1, false, 1},
                      ActivityCase{"FragmentInCardEmulation", 3, true, false, 0, true, 0},
                      ActivityCase{"FragmentWithoutADevice", 0, true, false, 0, true, 0},
                      ActivityCase{"WaitingFrameWithoutADevice", 0, true, true, 0, true, 0},
                      ActivityCase{"WaitingFrameWithAReader", 4, true, true, 1, false, 1}),
    [](const ::testing::TestParamInfo<ActivityCase>& info) { return std::string(info.param.what); });

TEST_F(NfcllTest, HealthMonitorAnswerIsReportedOnceAndLapsesAfterTheDebounceTime) {
    driver.stepResult = 0;
    activate();
    auto fieldStates = [&] {
        std::vector<uint32_t> states;
        for (const OsMessage& m : received(NFCLL_RF_FIELD_IND)) states.push_back(nfcllMsgGet<NFCLL_RF_FIELD_IND>(m).state);
        return states;
    };
    nfcllHealthMonResult(driver.ll, 1);
    nfcllHealthMonResult(driver.ll, 7);
    advance(0);
    EXPECT_EQ(fieldStates(), std::vector<uint32_t>{1});
    EXPECT_TRUE(driver.ll->flags & NFCLL_FLAG_RF_FIELD);
    nfcllHealthMonResult(driver.ll, 0);
    EXPECT_FALSE(driver.ll->flags & NFCLL_FLAG_RF_FIELD);
    advance(100);
    EXPECT_EQ(fieldStates(), std::vector<uint32_t>{1});
    advance(40);
    EXPECT_EQ(fieldStates(), (std::vector<uint32_t>{1, 0}));
}

TEST_F(NfcllTest, LinkLostWhileActivatingIsConfirmedOnce) {
    driver.stepResult = NFCLL_CAUSE_PENDING;
    build(kReaderNci);
    send(nfcllMsgMake<NFCLL_ACT_REQ>(kManager));
    OsMessage lost{};
    lost.command = PH_DEACT_IND;
    lost.source = kCom;
    send(lost);
    advance(2100);
    const auto confs = received(NFCLL_ACT_CONF);
    ASSERT_EQ(confs.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_ACT_CONF>(confs[0]).cause, NFCLL_CAUSE_LINK_LOST);
}

// ---- Reader types of no family ----------------------------------------------------------------
TEST(NfcllFamilies, AReaderTypeOfNoFamilyIsRefused) {
    debugSetFlags(0xFFFFFFFFu);
    TraceCapture cap;
    EXPECT_EQ(nfcllRegister(0x0801), OS_NOT_FOUND);
    debugSetFlags(0);
    EXPECT_TRUE(cap.contains("nfcll: ! reader type 0x801 names no controller family"));
}

} // namespace
