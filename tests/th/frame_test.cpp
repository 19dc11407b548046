// The frame every tag family builds on: the factory's choice of family, the format and property
// checks that come before any family code, the UID copy, and the shared state-table rules as a
// small family built from them meets them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/nfacemsg.h"
#include "harness.h"
#include "th/th_frame.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;

const Bytes kUid7{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

// ---- A small family built from the shared rules: a check NDEF sends one PDU and ends with the
// answer's cause; every other command state is missing, so the rules answer for it.

std::vector<uint16_t> g_events;          // events that reached a state of the family
std::vector<std::pair<uint32_t, uint32_t>> g_setCalls;

uint32_t miniIdle(TStateMachine* m, uint16_t e);
uint32_t miniNdefTag(TStateMachine* m, uint16_t e);
uint32_t miniLegacyTag(TStateMachine* m, uint16_t e);
uint32_t miniCheckNdef(TStateMachine* m, uint16_t e);
uint32_t miniDefault(TStateMachine* m, uint16_t e);

const ThFamilyStates kMini{&miniIdle, &miniNdefTag, &miniLegacyTag, &miniCheckNdef, nullptr, nullptr, nullptr,
                           nullptr,   nullptr,      nullptr,        nullptr,        nullptr};
const SmStateEntry kMiniTable[] = {{&miniIdle, "miniStateIdle"},
                                   {&miniNdefTag, "miniStateNdefTag"},
                                   {&miniLegacyTag, "miniStateLegacyTag"},
                                   {&miniCheckNdef, "miniStateCheckNdef"}};
constexpr uint8_t kProbe[] = {0x30, 0x04};

uint32_t miniIdle(TStateMachine* m, uint16_t e) {
    if (e != EV_TH_DEVICE_IND) return SM_NOT_HANDLED;
    TTagHandler* h = thOf(m);
    if (!thIdentify(h, 7, 7)) return SM_DONE;
    h->confirm(h, TH_DEVICE_CONF, 0, 0);
    m->next = &miniLegacyTag;
    return SM_CHANGE;
}
uint32_t miniNdefTag(TStateMachine* m, uint16_t e) { return thDispatchCommand(m, e, kMini); }
uint32_t miniLegacyTag(TStateMachine* m, uint16_t e) { return thDispatchCommand(m, e, kMini); }
uint32_t miniCheckNdef(TStateMachine* m, uint16_t e) {
    TTagHandler* h = thOf(m);
    if (e == EV_SM_ENTRY) {
        if (thSendPdu(h, kProbe, sizeof kProbe, 0, 0) != 0) return thFinishCommand(m, h->cause, kMini);
        return SM_DONE;
    }
    if (e == EV_TH_TRANSACTION_IND) return thFinishCommand(m, 0, kMini);
    return SM_NOT_HANDLED;
}
uint32_t miniDefault(TStateMachine* m, uint16_t e) { return thDefaultRule(m, e, kMini); }

uint32_t miniSetProperty(TTagHandler*, uint32_t id, uint32_t value) {
    g_setCalls.emplace_back(id, value);
    return 1;
}

uint32_t recordingState(TStateMachine*, uint16_t e) {
    if (e != EV_SM_ENTRY && e != EV_SM_EXIT) g_events.push_back(e);
    return SM_DONE;
}
const SmStateEntry kRecordingTable[] = {{&recordingState, "recordingState"}};

std::vector<ThFamily> g_created;

template <ThFamily F>
uint32_t recordingInit(TTagHandler* h) {
    g_created.push_back(F);
    h->setProperty = &miniSetProperty;
    return thStartMachine(h, &recordingState, nullptr, kRecordingTable, 1, "th_rec:");
}

uint32_t miniInit(TTagHandler* h) {
    h->setProperty = &thNoSetProperty;
    h->access = TH_ACCESS_READ | TH_ACCESS_WRITE;
    return thStartMachine(h, &miniIdle, &miniDefault, kMiniTable, 4, "th_mini:");
}

// Every family of the build replaced by a stand-in while a test runs.
struct StandIns {
    explicit StandIns(bool mini = false) {
        g_events.clear();
        g_setCalls.clear();
        g_created.clear();
        if (mini) std::fill(std::begin(inits), std::end(inits), &miniInit);
        thSetFamilyInits(inits);
    }
    ~StandIns() { thSetFamilyInits(nullptr); }
    ThFamilyInit inits[TH_FAMILY_COUNT] = {
        &recordingInit<TH_FAMILY_TYPE4>, &recordingInit<TH_FAMILY_ISO15693>, &recordingInit<TH_FAMILY_MIFARE>,
        &recordingInit<TH_FAMILY_TYPE2>, &recordingInit<TH_FAMILY_TYPE3>,    &recordingInit<TH_FAMILY_TYPE1>,
        &recordingInit<TH_FAMILY_KOVIO>};
};

// ---- The factory.

struct CreateCase {
    uint32_t tagType;
    int family;     // TH_FAMILY_NONE when refused
};

TEST(ThCreate, ChoosesTheFamilyByTheExactTagTypeAndRefusesTheRest) {
    const CreateCase cases[] = {
        {0x80000040, TH_FAMILY_TYPE2},   {0x40, TH_FAMILY_TYPE2},       {0x1, TH_FAMILY_TYPE4},
        {0x2, TH_FAMILY_TYPE4},          {0x80, TH_FAMILY_TYPE4},       {0x4, TH_FAMILY_ISO15693},
        {0x10, TH_FAMILY_MIFARE},        {0x20, TH_FAMILY_MIFARE},      {0x1000000, TH_FAMILY_MIFARE},
        {0x2000000, TH_FAMILY_MIFARE},   {0x4000000, TH_FAMILY_MIFARE}, {0x100, TH_FAMILY_TYPE3},
        {0x400, TH_FAMILY_TYPE1},        {0x800, TH_FAMILY_KOVIO},      {0x80000800, TH_FAMILY_KOVIO},
        {0x41, TH_FAMILY_NONE},          {0, TH_FAMILY_NONE},           {0x1000, TH_FAMILY_NONE},
        {0x80000000, TH_FAMILY_NONE},    {0x200, TH_FAMILY_NONE},
    };
    for (const CreateCase& c : cases) {
        SCOPED_TRACE(c.tagType);
        StandIns standIns;
        TraceCapture trace;
        debugSetFlags(TRC_ERROR);
        Bench bench;
        const uint32_t taken = bench.create(c.tagType, kUid7);
        EXPECT_EQ(taken, c.family == TH_FAMILY_NONE ? 0u : 1u);
        EXPECT_EQ(g_created, c.family == TH_FAMILY_NONE ? std::vector<ThFamily>{} : std::vector{ThFamily(c.family)});
        char refusal[64];
        std::snprintf(refusal, sizeof refusal, "th: ! Tag type 0x%X not supported", c.tagType);
        EXPECT_EQ(trace.contains(refusal), c.family == TH_FAMILY_NONE);
        EXPECT_EQ(bench.owner.handler.tagType, c.tagType);
        debugSetFlags(0);
    }
}

TEST(ThCreate, ClearsWhatAnEarlierTagLeftInTheHandler) {
    StandIns standIns;
    Bench bench;
    bench.owner.handler.isNdef = 1;
    bench.owner.handler.physicalSize = 99;
    bench.owner.handler.uid[3] = 0xAA;
    ASSERT_EQ(bench.create(TAG_JEWEL_TYPE1, kUid7), 1u);
    EXPECT_EQ(bench.owner.handler.isNdef, 0u);
    EXPECT_EQ(bench.owner.handler.physicalSize, 0u);
    EXPECT_EQ(bench.owner.handler.uid[3], 0);
    EXPECT_EQ(bench.owner.handler.owner, &bench.owner);
}

// ---- Format: what the frame checks before the family sees the command.

struct FormatCase {
    const char* name;
    uint32_t tagType;
    uint32_t physicalSize;
    uint32_t size;
    uint16_t flags;
    uint16_t event;     // posted to the family; 0 when the frame answered
    uint16_t cause;     // of the frame's FORMAT_CONF
};

TEST(ThFormat, ChecksTheSizeOnlyWhereItCountsAndPicksFormatOrErase) {
    const FormatCase cases[] = {
        {"size equals the physical size", TAG_ISO14443A, 512, 512, 0, EV_TH_CMD_FORMAT, 0},
        {"one byte more", TAG_ISO14443A, 512, 513, 0, 0, nfcCauseWrongParameter},
        {"MIFARE one byte more", TAG_MIFARE_STD_1K, 716, 717, 0, 0, nfcCauseWrongParameter},
        {"physical size unknown", TAG_DESFIRE_TYPE4, 0, 100000, 0, EV_TH_CMD_FORMAT, 0},
        {"Type 1 is never checked", TAG_JEWEL_TYPE1, 96, 5000, 0, EV_TH_CMD_FORMAT, 0},
        {"Type 2 is never checked", TAG_ULTRALIGHT_TYPE2, 48, 5000, 0, EV_TH_CMD_FORMAT, 0},
        {"erase flag", TAG_15693, 0, 0, 4, EV_TH_CMD_FORMAT_ERASE, 0},
        {"erase with wipe", TAG_FELICA_TYPE3, 0, 0, 5, EV_TH_CMD_FORMAT_ERASE, 0},
        {"wipe alone formats", TAG_JEWEL_TYPE1, 0, 0, 1, EV_TH_CMD_FORMAT, 0},
        {"Kovio has no format", TAG_KOVIO_BARCODE, 14, 14, 0, 0, nfcCauseRejected},
        {"Kovio has no erase", TAG_KOVIO_BARCODE, 14, 0, 4, 0, nfcCauseRejected},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.name);
        StandIns standIns;
        Bench bench;
        ASSERT_EQ(bench.create(c.tagType, kUid7), 1u);
        TTagHandler& h = bench.owner.handler;
        h.physicalSize = c.physicalSize;
        h.isNdef = 1;
        h.commandMode = TH_MODE_NONE;
        const Outcome o = bench.format(c.size, c.flags);
        if (c.event) {
            EXPECT_EQ(g_events, std::vector<uint16_t>{c.event});
            EXPECT_EQ(o.reports, 0u);
            EXPECT_EQ(h.commandMode, uint32_t{TH_MODE_FORMAT});
            EXPECT_EQ(h.formatSize, c.size);
            EXPECT_EQ(h.formatFlags, c.flags);
        } else {
            EXPECT_TRUE(g_events.empty());
            EXPECT_EQ(o.reports, 1u);
            EXPECT_EQ(o.code, NFACE_FORMAT_CONF);
            EXPECT_EQ(o.cause, c.cause);
            EXPECT_EQ(h.isNdef, 0u);
            EXPECT_EQ(h.commandMode, uint32_t{TH_MODE_NONE});
        }
        EXPECT_TRUE(bench.owner.pdus.empty());
    }
}

TEST(ThSetReadonly, WithoutWriteAccessIsAnsweredOnceAndPostsNothing) {
    StandIns standIns;
    Bench bench;
    ASSERT_EQ(bench.create(TAG_ULTRALIGHT_TYPE2, kUid7), 1u);
    bench.owner.handler.access = TH_ACCESS_READ;
    const Outcome o = bench.setReadonly();
    EXPECT_EQ(o.reports, 1u);
    EXPECT_EQ(o.code, NFACE_SET_READONLY_CONF);
    EXPECT_EQ(o.cause, nfcCauseWriteProtected);
    EXPECT_TRUE(g_events.empty());
}

// ---- Properties.

struct PropertyCase {
    uint32_t id;
    uint32_t value;
    bool reachesFamily;
};

TEST(ThSetProperty, RefusesWhatTheTableForbidsWithoutCallingTheFamily) {
    const PropertyCase cases[] = {
        {16, 3, false},       {16, 2, true},        {16, 1, true},        {16, 0, false},
        {8, 0x1000000, false}, {8, 0xFFFFFF, true},  {15, 0, true},        {7, 0xFFFFFFFF, true},
        {3, 0, false},        {3, 14, false},       {0, 0, false},        {17, 1, false},
        {18, 0, false},       {19, 0, false},       {0xFFFFFFFF, 1, false},
    };
    for (const PropertyCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + "/" + std::to_string(c.value));
        StandIns standIns;
        Bench bench;
        ASSERT_EQ(bench.create(TAG_MIFARE_STD_1K, kUid7), 1u);
        EXPECT_EQ(thSetProperty(&bench.owner.handler, c.id, c.value), c.reachesFamily ? 1u : 0u);
        using Calls = std::vector<std::pair<uint32_t, uint32_t>>;
        const Calls expected = c.reachesFamily ? Calls{{c.id, c.value}} : Calls{};
        EXPECT_EQ(g_setCalls, expected);
    }
}

TEST(ThProperty, TableHoldsTheNineteenRowsByIdAndNothingBeyond) {
    ASSERT_NE(thProperty(18), nullptr);
    EXPECT_STREQ(thProperty(0)->name, "NFC document version");
    EXPECT_STREQ(thProperty(18)->name, "Bitrate");
    EXPECT_EQ(thProperty(16)->min, 1u);
    EXPECT_EQ(thProperty(19), nullptr);
}

// ---- The UID copy.

TEST(ThCopyUid, FailsOnAShortUidAndCutsALongOneInTheRecordToo) {
    struct Case {
        size_t length;
        uint32_t result;
        uint16_t recordLength;   // afterwards
    };
    for (const Case c : {Case{7, 0, 7}, Case{8, 1, 8}, Case{10, 1, 8}}) {
        SCOPED_TRACE(c.length);
        StandIns standIns;
        Bench bench;
        Bytes uid(c.length);
        for (size_t k = 0; k < uid.size(); ++k) uid[k] = static_cast<uint8_t>(0xA0 + k);
        ASSERT_EQ(bench.create(TAG_15693, uid), 1u);
        TTagHandler& h = bench.owner.handler;
        h.deviceTagInfo = &bench.owner.tag;
        EXPECT_EQ(thCopyUid(&h, 8, 8), c.result);
        EXPECT_EQ(bench.owner.tag.uidLength, c.recordLength);
        EXPECT_EQ(h.uidLength, c.result ? 8 : 0);
        if (c.result) {
            EXPECT_EQ(Bytes(h.uid, h.uid + 8), Bytes(uid.begin(), uid.begin() + 8));
        }
    }
}

TEST(ThCopyUid, NeverCopiesMoreThanTheHandlerHolds) {
    StandIns standIns;
    Bench bench;
    ASSERT_EQ(bench.create(TAG_KOVIO_BARCODE, Bytes(16, 0x5A)), 1u);
    TTagHandler& h = bench.owner.handler;
    h.deviceTagInfo = &bench.owner.tag;
    EXPECT_EQ(thCopyUid(&h, 16, 40), 1u);
    EXPECT_EQ(h.uidLength, 16);
}

// ---- The shared rules, through the small family.

struct MiniBench {
    MiniBench() : standIns(true), bench([this](const thtest::SentPdu&) { return next; }) {
        bench.create(TAG_ULTRALIGHT_TYPE2, kUid7);
    }
    StandIns standIns;
    thtest::Answer next{};
    Bench bench;
    TTagHandler& h() { return bench.owner.handler; }
};

TEST(ThRules, IdleIdentifiesWithTheUidCopyOrReportsNotAnNfcForumTag) {
    MiniBench ok;
    Outcome o = ok.bench.identify();
    EXPECT_EQ(o.code, TH_DEVICE_CONF);
    EXPECT_EQ(ok.h().sm.current, &miniLegacyTag);

    MiniBench shortUid;
    shortUid.bench.owner.tag.uidLength = 4;
    o = shortUid.bench.identify();
    EXPECT_EQ(o.reports, 1u);
    EXPECT_EQ(o.code, NFACE_DEVICE_IND);
    EXPECT_EQ(o.cause, nfcCauseNotNfcForumTag);
    EXPECT_EQ(shortUid.h().sm.current, &miniIdle);
}

TEST(ThRules, ACommandEndsOnceAndReturnsByTheNdefFinding) {
    MiniBench m;
    m.bench.identify();
    Outcome o = m.bench.checkNdef();
    EXPECT_EQ(o.reports, 1u);
    EXPECT_EQ(o.code, NFACE_DEVICE_IND);
    EXPECT_EQ(o.cause, 0);
    EXPECT_EQ(m.h().isNdef, 1u);
    EXPECT_EQ(m.h().sm.current, &miniNdefTag);
    EXPECT_EQ(m.bench.owner.pdus.size(), 1u);
}

TEST(ThRules, AFailedExchangeEndsTheCommandWithItsCause) {
    MiniBench m;
    m.bench.identify();
    m.next = thtest::Answer{thtest::kCauseNoAnswer, {}};
    const Outcome o = m.bench.checkNdef();
    EXPECT_EQ(o.reports, 1u);
    EXPECT_EQ(o.code, NFACE_DEVICE_IND);
    EXPECT_EQ(o.cause, thtest::kCauseNoAnswer);
    EXPECT_EQ(m.h().sm.current, &miniLegacyTag);
}

TEST(ThRules, ARefusedSendEndsTheCommandWithCause10) {
    MiniBench m;
    m.bench.identify();
    m.bench.owner.refuseFrom = 0;
    const Outcome o = m.bench.checkNdef();
    EXPECT_EQ(o.reports, 1u);
    EXPECT_EQ(o.cause, nfcCauseNotPlausible);
    EXPECT_EQ(m.h().sendResult, 0u);
    EXPECT_EQ(m.h().sm.current, &miniLegacyTag);
}

TEST(ThRules, CommandsThatFindTheHandlerBusyAreEachAnsweredWithWrongState) {
    struct Case {
        const char* name;
        std::function<void(TTagHandler*)> post;
        uint16_t code;
    };
    const Case cases[] = {
        {"check NDEF", [](TTagHandler* h) { thCheckNdef(h); }, NFACE_NFC_NDEF_CHECK_CONF},
        {"read", [](TTagHandler* h) { thRead(h, 4, 0, nullptr); }, NFACE_READ_IND},
        {"write", [](TTagHandler* h) { thWrite(h, nullptr, 0, true); }, NFACE_WRITE_CONF},
        {"format", [](TTagHandler* h) { thFormat(h, 0, 0); }, NFACE_FORMAT_CONF},
        {"erase", [](TTagHandler* h) { thFormat(h, 0, TH_FORMAT_ERASE); }, NFACE_FORMAT_CONF},
        {"test", [](TTagHandler* h) { thTest(h); }, NFACE_TEST_IND},
        {"make read-only", [](TTagHandler* h) { thSetReadonly(h); }, NFACE_SET_READONLY_CONF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MiniBench m;
        m.bench.identify();
        thCheckNdef(&m.h());   // waits for its answer in CheckNdef
        ASSERT_EQ(m.h().sm.current, &miniCheckNdef);
        const size_t before = m.bench.owner.reports.size();
        c.post(&m.h());
        ASSERT_EQ(m.bench.owner.reports.size(), before + 1);
        EXPECT_EQ(m.bench.owner.reports.back().code, c.code);
        EXPECT_EQ(m.bench.owner.reports.back().cause, nfcCauseWrongState);
        EXPECT_EQ(m.h().sm.current, &miniCheckNdef);
    }
}

TEST(ThRules, ACommandTheFamilyLacksIsAnsweredInsteadOfLost) {
    MiniBench m;
    m.bench.identify();
    const Outcome o = m.bench.read(0, 16);
    EXPECT_EQ(o.reports, 1u);
    EXPECT_EQ(o.code, NFACE_READ_IND);
    EXPECT_EQ(o.cause, nfcCauseWrongState);
}

TEST(ThRules, InitGoesBackToIdleAndOtherEventsAreTracedAndConsumed) {
    MiniBench m;
    m.bench.identify();
    TraceCapture trace;
    debugSetFlags(TRC_ERROR);
    smPostEvent(&m.h().sm, EV_TH_CHECK_CONF);
    smProcessEvents(&m.h().sm);
    EXPECT_TRUE(trace.contains("th_mini: ! Unhandled event 525 in state miniStateLegacyTag"));
    smPostEvent(&m.h().sm, EV_TH_INIT);
    smProcessEvents(&m.h().sm);
    EXPECT_EQ(m.h().sm.current, &miniIdle);
    debugSetFlags(0);
}

} // namespace
