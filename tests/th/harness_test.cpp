// The bench itself: the fake owner keeps layer 1's conventions (an answer only after sendPdu has
// returned, NAK, silence and presence checks as their causes), and a handler that never stops
// exchanging is failed at the cap instead of hanging the suite.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "core/nfacemsg.h"
#include "harness.h"
#include "tags/t2t_tag.h"
#include "th/th_frame.h"

namespace {

using thtest::Answer;
using thtest::Bench;
using thtest::Bytes;
using thtest::SentPdu;

// A family that reads page after page of a Type 2 tag for as long as it is answered; its
// presence check is one read with the check flag.
Bytes g_answers;
uint8_t g_page;

uint32_t readerIdle(TStateMachine* m, uint16_t e);
uint32_t readerDefault(TStateMachine* m, uint16_t e);
const SmStateEntry kReaderTable[] = {{&readerIdle, "readerIdle"}};

uint32_t readerIdle(TStateMachine* m, uint16_t e) {
    TTagHandler* h = thOf(m);
    switch (e) {
    case EV_TH_CMD_READ:
    case EV_TH_TRANSACTION_IND:
        if (e == EV_TH_TRANSACTION_IND) g_answers.insert(g_answers.end(), h->rspData, h->rspData + h->rspLength);
        h->pdu[0] = 0x30;
        h->pdu[1] = g_page++;
        if (thSendPdu(h, h->pdu, 2, 0, 77) != 0) thSendTransactionIndication(h, h->cause);
        return SM_DONE;
    case EV_TH_CMD_TEST:
        h->pdu[0] = 0x30;
        h->pdu[1] = 0;
        thSendPdu(h, h->pdu, 2, TH_PDU_CHECK, 0);
        return SM_DONE;
    case EV_TH_CHECK_CONF:
    case EV_TH_CHECK_CONF_ERROR: thSendTransactionIndication(h, h->cause); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}
uint32_t readerDefault(TStateMachine* m, uint16_t e) {
    if (e == EV_TH_TRANSACTION_ERROR_IND) {
        thSendTransactionIndication(thOf(m), thOf(m)->cause);
        return SM_DONE;
    }
    return thUnhandled(m, e);
}
uint32_t readerInit(TTagHandler* h) {
    return thStartMachine(h, &readerIdle, &readerDefault, kReaderTable, 1, "th_reader:");
}

struct ReaderFamily {
    ReaderFamily() {
        g_answers.clear();
        g_page = 0;
        std::fill(std::begin(inits), std::end(inits), &readerInit);
        thSetFamilyInits(inits);
    }
    ~ReaderFamily() { thSetFamilyInits(nullptr); }
    ThFamilyInit inits[TH_FAMILY_COUNT];
};

TEST(Harness, RecordsEveryPduAndAnswersFromTheTagModel) {
    ReaderFamily family;
    simtags::T2tTag tag({0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 8);
    Bench bench(thtest::fromTag(tag));
    ASSERT_EQ(bench.create(TAG_ULTRALIGHT_TYPE2, {}), 1u);
    const auto o = bench.read(0, 0);
    // Pages 0..7 answer 16 bytes each, page 8 is past the end: NAK.
    EXPECT_EQ(o.code, NFACE_READ_IND);
    EXPECT_EQ(o.cause, thtest::kCauseRejected);
    ASSERT_EQ(bench.owner.pdus.size(), 9u);
    EXPECT_EQ(bench.owner.pdus[3].bytes, (Bytes{0x30, 0x03}));
    EXPECT_EQ(bench.owner.pdus[3].extra, 77);
    EXPECT_EQ(g_answers.size(), 8u * 16u);
    EXPECT_EQ(tag.log.size(), 9u);
}

TEST(Harness, SilenceAndRefusedSendsBecomeTheirCauses) {
    {
        ReaderFamily family;
        simtags::T2tTag tag;
        tag.inject({simtags::FaultKind::Silence, 0x30, 2u, 1, {}, 0});
        Bench bench(thtest::fromTag(tag));
        bench.create(TAG_ULTRALIGHT_TYPE2, {});
        EXPECT_EQ(bench.read(0, 0).cause, thtest::kCauseNoAnswer);
        EXPECT_EQ(bench.owner.pdus.size(), 3u);
    }
    {
        ReaderFamily family;
        Bench bench([](const SentPdu&) { return Answer{0, {1}}; });
        bench.create(TAG_ULTRALIGHT_TYPE2, {});
        bench.owner.refuseFrom = 2;
        EXPECT_EQ(bench.read(0, 0).cause, nfcCauseNotPlausible);
        EXPECT_EQ(bench.owner.pdus.size(), 3u);
        EXPECT_TRUE(bench.owner.pdus[2].refused);
    }
}

TEST(Harness, APresenceCheckFailsWith518WhenTheTagIsGone) {
    ReaderFamily family;
    simtags::T2tTag tag;
    Bench bench(thtest::fromTag(tag));
    bench.create(TAG_ULTRALIGHT_TYPE2, {});
    EXPECT_EQ(bench.test().cause, 0);
    tag.removeAfter(0);
    const auto o = bench.test();
    EXPECT_EQ(o.code, NFACE_TEST_IND);
    EXPECT_EQ(o.cause, thtest::kCauseRejected);
    EXPECT_EQ(bench.owner.pdus.back().flags, TH_PDU_CHECK);
}

TEST(Harness, AHandlerThatNeverStopsFailsAtTheCap) {
    ReaderFamily family;
    Bench bench([](const SentPdu&) { return Answer{0, {1}}; }, 50);
    bench.create(TAG_ULTRALIGHT_TYPE2, {});
    EXPECT_NONFATAL_FAILURE(bench.read(0, 0), "still exchanging after 50 PDUs");
    EXPECT_EQ(bench.exchanges(), 50u);
}

TEST(Harness, AnAnswerInsideSendPduFailsTheTest) {
    ReaderFamily family;
    Bench bench([](const SentPdu&) { return Answer{thtest::kCauseNoAnswer, {}}; });
    bench.create(TAG_ULTRALIGHT_TYPE2, {});
    bool once = false;
    bench.owner.onSend = [&] {
        if (once) return;
        once = true;
        bench.owner.answer(Answer{thtest::kCauseNoAnswer, {}});
    };
    EXPECT_NONFATAL_FAILURE(bench.read(0, 0), "an answer given inside sendPdu");
}

} // namespace
