// The Type 4 handler against the ISO-DEP and DESFire models on the tag-handler bench: detection
// in both mappings and on DESFire chips, the CC checks, chunked read and write, the DESFire format
// and the PICC erase, and hostile answers that must end with a cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "core/nfacemsg.h"
#include "core/nfcmgr.h"
#include "harness.h"
#include "tags/iso_dep_tag.h"
#include "th/th_frame.h"
#include "th/th_type4.h"

namespace {

using simtags::DesfireTag;
using simtags::Fault;
using simtags::FaultKind;
using simtags::IsoDepTag;
using simtags::Technology;
using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;

const Bytes kUid{0x04, 0x31, 0x42, 0x53, 0x64, 0x75, 0x86};

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 5);
    return b;
}

// A handler on a bench that answers from the model.
struct OnTag {
    OnTag(simtags::Tag& tag, uint32_t tagType) : bench(thtest::fromTag(tag)) {
        created = bench.create(tagType, kUid);
        identified = bench.identify();
    }
    TTagHandler& h() { return bench.owner.handler; }
    // The APDUs sent since the mark, by INS.
    size_t sent(uint8_t ins, size_t from = 0) const {
        size_t n = 0;
        for (size_t i = from; i < bench.owner.pdus.size(); ++i)
            if (bench.owner.pdus[i].bytes.size() > 1 && bench.owner.pdus[i].bytes[1] == ins) ++n;
        return n;
    }
    Bench bench;
    uint32_t created = 0;
    Outcome identified;
};

uint32_t le24(const Bytes& b, size_t at) { return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16; }

Fault fault(FaultKind kind, uint8_t op, size_t nth = 1, Bytes reply = {}, size_t keep = 0) {
    return Fault{kind, op, std::nullopt, nth, std::move(reply), keep};
}

TEST(Type4, IsoTagOfMapping20IsDetected) {
    IsoDepTag tag(Technology::A, 1024);
    tag.setMessage(pattern(100));
    OnTag t(tag, TAG_ISO14443A);
    ASSERT_EQ(t.created, 1u);
    EXPECT_EQ(t.identified.code, TH_DEVICE_CONF);
    EXPECT_EQ(t.h().tagSubtype, 0x1u);
    const Outcome o = t.bench.checkNdef();
    EXPECT_EQ(o.code, NFACE_DEVICE_IND);
    EXPECT_EQ(o.cause, 0u);
    EXPECT_EQ(t.h().isNdef, 1u);
    EXPECT_EQ(t.h().maxNdefSize, 1022u);
    EXPECT_EQ(t.h().currentNdefSize, 100u);
    EXPECT_EQ(t.h().access & (TH_ACCESS_READ | TH_ACCESS_WRITE), TH_ACCESS_READ | TH_ACCESS_WRITE);
    const Bytes select20{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    EXPECT_EQ(t.bench.owner.pdus.front().bytes, select20) << "Le after the mapping-2.0 name";
    int found = 0;
    EXPECT_EQ(t.h().getProperty(&t.h(), 0, &found), 0x20u);
}

TEST(Type4, MappingOneOnlyTagIsProbedAgainWithoutLe) {
    for (Technology tech : {Technology::A, Technology::B}) {
        IsoDepTag tag(tech, 512, IsoDepTag::Mapping::V1Only);
        tag.setMessage(pattern(30));
        OnTag t(tag, tech == Technology::A ? TAG_ISO14443A : TAG_14443B);
        const Outcome o = t.bench.checkNdef();
        EXPECT_EQ(o.cause, 0u);
        EXPECT_EQ(t.h().currentNdefSize, 30u);
        ASSERT_GE(tag.log.size(), 2u);
        EXPECT_EQ(*tag.log[0].answer, (Bytes{0x6A, 0x82}));
        const Bytes select10{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x00};
        EXPECT_EQ(tag.log[1].command, select10);
        EXPECT_EQ(tag.log[2].command, (Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0xE1, 0x03})) << "P1 P2 of mapping 1.0";
        t.bench.read(0, 30);
        EXPECT_EQ(t.bench.readData, pattern(30));
    }
}

TEST(Type4, CcChecks) {
    struct Case {
        const char* name;
        std::function<void(IsoDepTag::Cc&)> bend;
        uint16_t cause;
        bool writable;
    };
    const Case cases[] = {
        {"good", [](IsoDepTag::Cc&) {}, 0, true},
        {"MLe 0", [](IsoDepTag::Cc& c) { c.mle = 0; }, nfcCauseInvalidData, false},
        {"MLe 14", [](IsoDepTag::Cc& c) { c.mle = 14; }, nfcCauseInvalidData, false},
        {"MLc 0", [](IsoDepTag::Cc& c) { c.mlc = 0; }, nfcCauseInvalidData, false},
        {"TLV type 5", [](IsoDepTag::Cc& c) { c.tlvType = 5; }, nfcCauseInvalidData, false},
        {"TLV length 8", [](IsoDepTag::Cc& c) { c.tlvLength = 8; }, nfcCauseInvalidData, false},
        {"size 4", [](IsoDepTag::Cc& c) { c.fileSize = 4; }, nfcCauseInvalidData, false},
        {"size 0xFFFF", [](IsoDepTag::Cc& c) { c.fileSize = 0xFFFF; }, nfcCauseInvalidData, false},
        {"read 0x80", [](IsoDepTag::Cc& c) { c.read = 0x80; }, nfcCauseInvalidData, false},
        {"write 0x80", [](IsoDepTag::Cc& c) { c.write = 0x80; }, 0, false},
        {"write 0xFF", [](IsoDepTag::Cc& c) { c.write = 0xFF; }, 0, false},
        {"version 3.0", [](IsoDepTag::Cc& c) { c.version = 0x30; }, nfcCauseVersionMismatch, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A card that answers to both names: the retry with mapping 1.0 reads the same CC.
        IsoDepTag tag(Technology::A, 256, IsoDepTag::Mapping::Both);
        IsoDepTag::Cc cc = tag.cc();
        c.bend(cc);
        tag.setCc(cc);
        OnTag t(tag, TAG_ISO14443A);
        const Outcome o = t.bench.checkNdef();
        EXPECT_EQ(o.reports, 1u);
        EXPECT_EQ(o.cause, c.cause);
        EXPECT_EQ(t.h().isNdef, c.cause == 0 ? 1u : 0u);
        const auto ccReads = std::count_if(tag.log.begin(), tag.log.end(), [](const simtags::Exchange& e) {
            return e.op == 0xB0 && e.command.back() == 0x0F;
        });
        EXPECT_EQ(ccReads, c.cause == 0 ? 1 : 2) << "a failed CC ends the run, and the 1.0 run too";
        const bool ndefSelected = std::any_of(tag.log.begin(), tag.log.end(), [](const simtags::Exchange& e) {
            return e.op == 0xA4 && e.data == Bytes{0xE1, 0x04};
        });
        EXPECT_EQ(ndefSelected, c.cause == 0);
        if (c.cause == 0) {
            EXPECT_EQ((t.h().access & TH_ACCESS_WRITE) != 0, c.writable);
            EXPECT_EQ(t.bench.write({pattern(4)}).cause, c.writable ? uint16_t{0} : uint16_t{nfcCauseWriteProtected});
        }
    }
}

TEST(Type4, ReadsInChunksOfTheCappedMle) {
    IsoDepTag tag(Technology::A, 2048);
    tag.setMessage(pattern(1000));
    OnTag t(tag, TAG_ISO14443A);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t mark = tag.log.size();
    Outcome o = t.bench.read(0, 1000);
    EXPECT_EQ(o.cause, 0u);
    EXPECT_EQ(o.count, 1000u);
    EXPECT_EQ(t.bench.readData, pattern(1000));
    for (size_t i = mark; i + 1 < tag.log.size(); ++i) EXPECT_EQ(tag.log[i].command.back(), 247) << "chunk " << i - mark;

    // Cut at the message end: the message, and no "more data".
    o = t.bench.read(990, 100);
    EXPECT_EQ(o.cause, 0u);
    const Bytes whole = pattern(1000);
    EXPECT_EQ(t.bench.readData, Bytes(whole.begin() + 990, whole.end()));
    // Part of the message: more data left.
    EXPECT_EQ(t.bench.read(0, 10).cause, nfcCauseTagBufferTooSmall);
    // Past the message: nothing, and no underflow.
    o = t.bench.read(5000, 10);
    EXPECT_EQ(o.cause, 0u);
    EXPECT_EQ(o.count, 0u);
}

TEST(Type4, ReadAnswerOfTheWrongLengthIsInvalid) {
    IsoDepTag tag(Technology::A, 1024);
    tag.setMessage(pattern(300));
    OnTag t(tag, TAG_ISO14443A);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    tag.inject(fault(FaultKind::Short, 0xB0, 1, {}, 100));
    EXPECT_EQ(t.bench.read(0, 300).cause, nfcCauseInvalidData);
    EXPECT_EQ(t.bench.read(0, 300).cause, 0u) << "the handler is back at rest";
}

TEST(Type4, WriteSetsTheLengthZeroFirstAndLast) {
    IsoDepTag tag(Technology::A, 1024);
    tag.setMessage(pattern(50));
    OnTag t(tag, TAG_ISO14443A);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t mark = tag.log.size();
    const Bytes message = pattern(600);
    const Outcome o = t.bench.write({Bytes(message.begin(), message.begin() + 300), Bytes(message.begin() + 300, message.end())});
    EXPECT_EQ(o.cause, 0u);
    EXPECT_EQ(tag.message(), message);
    EXPECT_EQ(tag.log[mark].command, (Bytes{0x00, 0xD6, 0x00, 0x00, 0x02, 0x00, 0x00}));
    EXPECT_EQ(tag.log.back().command, (Bytes{0x00, 0xD6, 0x00, 0x00, 0x02, 0x02, 0x58}));
    for (size_t i = mark + 1; i + 1 < tag.log.size(); ++i) EXPECT_LE(tag.log[i].data.size(), 247u);
    EXPECT_EQ(t.h().currentNdefSize, 600u);
}

TEST(Type4, CapacityIsWhatReadBinaryAddresses) {
    IsoDepTag tag(Technology::A, 0xFFFE);
    OnTag t(tag, TAG_ISO14443A);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t.h().maxNdefSize, 0x8000u - 2);
    EXPECT_EQ(t.bench.write({pattern(0x8000 - 1)}).cause, nfcCauseInputTooBig);
    const Bytes full = pattern(0x8000 - 2);
    ASSERT_EQ(t.bench.write({full}).cause, 0u);
    EXPECT_EQ(tag.message(), full);
    EXPECT_EQ(t.bench.read(0, 0x8000).cause, 0u);
    EXPECT_EQ(t.bench.readData, full);
}

TEST(Type4, EmptyWriteAndOverflow) {
    IsoDepTag tag(Technology::B, 512);
    OnTag t(tag, TAG_14443B);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    size_t mark = tag.log.size();
    EXPECT_EQ(t.bench.write({Bytes{}}).cause, 0u);
    ASSERT_EQ(tag.log.size(), mark + 2);
    EXPECT_EQ(tag.log[mark].data, (Bytes{0, 0}));
    EXPECT_EQ(tag.log[mark + 1].data, (Bytes{0, 0}));

    mark = tag.log.size();
    EXPECT_EQ(t.bench.write({pattern(511)}).cause, nfcCauseInputTooBig);
    EXPECT_EQ(tag.log.size(), mark) << "no APDU for a message above the capacity";
    EXPECT_EQ(t.bench.write({pattern(300), pattern(300)}).cause, nfcCauseInputTooBig);
    for (size_t i = mark; i < tag.log.size(); ++i) EXPECT_LE(tag.log[i].data.size(), 57u) << "MLc of NFC-B";
}

TEST(Type4, DesfireIsDetectedWithItsCapacity) {
    DesfireTag blank;
    OnTag t(blank, TAG_DESFIRE_TYPE4);
    EXPECT_EQ(t.h().tagSubtype, 0x4000Au);
    EXPECT_EQ(t.bench.checkNdef().cause, nfcCauseNotNfcForumTag);
    EXPECT_EQ(t.h().physicalSize, 4096u);
    EXPECT_EQ(t.h().maxNdefSize, 4096u - 288 - 2);

    DesfireTag ev1(DesfireTag::ev1());
    ev1.createNdefApplication(1024, pattern(77));
    OnTag e(ev1, TAG_DESFIRE_TYPE4);
    EXPECT_EQ(e.bench.checkNdef().cause, 0u);
    EXPECT_EQ(e.h().tagSubtype, 0x4000Bu);
    EXPECT_EQ(e.h().currentNdefSize, 77u);
    EXPECT_EQ(e.bench.read(0, 77).cause, 0u);
    EXPECT_EQ(e.bench.readData, pattern(77));
}

TEST(Type4, DesfireWritesIn46ByteChunksAndReadsIn59ByteFrames) {
    DesfireTag tag;
    tag.createNdefApplication(512);
    // A CC that promises more than the chip's frames carry: MLe 255, MLc 52.
    auto& ccFile = tag.applications[DesfireTag::AID_NDEF_DESFIRE].files[3].data;
    ccFile[3] = 0x00;
    ccFile[4] = 0xFF;
    OnTag t(tag, TAG_DESFIRE_TYPE4);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t mark = tag.log.size();
    const Bytes message = pattern(200);
    ASSERT_EQ(t.bench.write({message}).cause, 0u);
    EXPECT_EQ(tag.ndefFile()->data[1], 200);
    EXPECT_TRUE(std::equal(message.begin(), message.end(), tag.ndefFile()->data.begin() + 2));
    // NLEN 0, data in 46-byte chunks (the last one 16), NLEN 200.
    std::vector<size_t> sizes;
    for (size_t i = mark; i < tag.log.size(); ++i) sizes.push_back(tag.log[i].data.size() - 7);
    EXPECT_EQ(sizes, (std::vector<size_t>{2, 46, 46, 46, 46, 16, 2}));
    EXPECT_EQ(t.bench.read(0, 200).cause, 0u);
    EXPECT_EQ(t.bench.readData, message);
    for (size_t i = mark + sizes.size(); i < tag.log.size(); ++i) EXPECT_LE(le24(tag.log[i].data, 4), 59u);
}

TEST(Type4, FormatsBlankDesfireAndEv1) {
    for (const DesfireTag::Version v : {DesfireTag::desfire4k(), DesfireTag::ev1()}) {
        DesfireTag tag(v);
        OnTag t(tag, TAG_DESFIRE_TYPE4);
        const Outcome f = t.bench.format(0, 0);
        EXPECT_EQ(f.code, NFACE_FORMAT_CONF);
        EXPECT_EQ(f.cause, 0u);
        ASSERT_NE(tag.ndefFile(), nullptr);
        EXPECT_EQ(t.h().maxNdefSize + 2, tag.ndefFile()->data.size());
        EXPECT_EQ(t.bench.checkNdef().cause, 0u);
        EXPECT_EQ(t.h().currentNdefSize, 0u);
        ASSERT_EQ(t.bench.write({pattern(120)}).cause, 0u);
        EXPECT_EQ(t.bench.read(0, 120).cause, 0u);
        EXPECT_EQ(t.bench.readData, pattern(120));
    }
}

TEST(Type4, FormatGoesOnWhenTheApplicationExists) {
    DesfireTag tag;
    tag.applications[DesfireTag::AID_NDEF_DESFIRE] = {};
    OnTag t(tag, TAG_DESFIRE_TYPE4);
    EXPECT_EQ(t.bench.format(300, 0).cause, 0u);
    ASSERT_NE(tag.ndefFile(), nullptr);
    EXPECT_EQ(tag.ndefFile()->data.size(), 302u);
}

TEST(Type4, WipeStopsAtARefusedChunk) {
    IsoDepTag tag(Technology::A, 600);
    tag.setMessage(pattern(400));
    OnTag t(tag, TAG_ISO14443A);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t.bench.format(0, 0x2).cause, 0u);
    EXPECT_EQ(tag.file(IsoDepTag::NDEF_FILE), Bytes(600, 0));

    tag.setMessage(pattern(400));
    tag.inject(fault(FaultKind::Reply, 0xD6, 3, {0x65, 0x81}));
    const size_t mark = tag.log.size();
    EXPECT_EQ(t.bench.format(0, 0x2).cause, nfcCauseInvalidData);
    EXPECT_EQ(tag.log.size() - mark, 3u) << "nothing after the refusal";
}

TEST(Type4, PiccEraseAuthenticatesWithTheDefaultKey) {
    DesfireTag tag;
    tag.createNdefApplication(256, pattern(10));
    OnTag t(tag, TAG_DESFIRE_TYPE4);
    const Outcome o = t.bench.format(0, TH_FORMAT_ERASE);
    EXPECT_EQ(o.code, NFACE_FORMAT_CONF);
    EXPECT_EQ(o.cause, 0u);
    EXPECT_TRUE(tag.applications.empty());
    EXPECT_TRUE(tag.authenticated);
}

TEST(Type4, PiccEraseFailures) {
    struct Case {
        const char* name;
        std::function<void(DesfireTag&)> setUp;
        uint16_t cause;
    };
    const Case cases[] = {
        {"another key", [](DesfireTag& d) { d.piccKey[3] = 0x42; }, nfcCauseRejected},
        {"9-byte Authenticate answer", [](DesfireTag& d) { d.inject(fault(FaultKind::Short, 0x0A, 1, {}, 9)); },
         nfcCauseNotPlausible},
        {"91 A0 to the select", [](DesfireTag& d) { d.inject(fault(FaultKind::Reply, 0x5A, 1, {0x91, 0xA0})); },
         nfcCauseRejected},
        {"no answer to the second part", [](DesfireTag& d) { d.inject(fault(FaultKind::Silence, 0xAF)); },
         nfcCauseNotPlausible},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DesfireTag tag;
        tag.createNdefApplication(256);
        c.setUp(tag);
        OnTag t(tag, TAG_DESFIRE_TYPE4);
        const Outcome o = t.bench.format(0, TH_FORMAT_ERASE);
        EXPECT_EQ(o.reports, 1u);
        EXPECT_EQ(o.cause, c.cause);
        EXPECT_EQ(t.sent(0xFC), 0u) << "no FormatPICC";
        EXPECT_FALSE(tag.applications.empty());
    }
}

TEST(Type4, HostileAnswersEndWithACause) {
    struct Case {
        const char* name;
        Fault f;
        uint16_t cause;
    };
    const Case cases[] = {
        {"short first GetVersion frame", fault(FaultKind::Reply, 0x60, 1, {0x04, 0x01, 0x91, 0xAF}), nfcCauseInvalidData},
        {"NLEN answer without data", fault(FaultKind::Reply, 0xBD, 2, {0x91, 0x00}), nfcCauseInvalidData},
        {"NLEN above the capacity", fault(FaultKind::Reply, 0xBD, 2, {0x7F, 0xFF, 0x91, 0x00}), nfcCauseInvalidData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DesfireTag tag;
        tag.createNdefApplication(256);
        tag.inject(c.f);
        tag.inject(c.f);   // the retry with mapping 1.0 meets it too
        Fault again = c.f;
        again.nth = c.f.nth * 2;
        tag.inject(again);
        OnTag t(tag, TAG_DESFIRE_TYPE4);
        const Outcome o = t.bench.checkNdef();
        EXPECT_EQ(o.reports, 1u);
        EXPECT_NE(o.cause, 0u);
        EXPECT_EQ(t.h().isNdef, 0u);
    }
}

TEST(Type4, TransportErrorsAreReportedAsReceived) {
    IsoDepTag tag(Technology::A, 256);
    tag.setMessage(pattern(20));
    OnTag t(tag, TAG_ISO14443A);
    tag.inject(fault(FaultKind::Silence, 0xB0));
    EXPECT_EQ(t.bench.checkNdef().cause, thtest::kCauseNoAnswer) << "no retry for a tag that went silent";
    EXPECT_EQ(t.bench.checkNdef().cause, 0u);
    tag.inject(fault(FaultKind::Silence, 0xD6, 2));
    EXPECT_EQ(t.bench.write({pattern(10)}).cause, thtest::kCauseNoAnswer);
}

TEST(Type4, ReadOfAnEmptyMessageChecksTheTag) {
    IsoDepTag tag(Technology::A, 256);
    OnTag t(tag, TAG_ISO14443A);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t mark = tag.log.size();
    const Outcome o = t.bench.read(0, 10);
    EXPECT_EQ(o.cause, 0u);
    EXPECT_EQ(o.count, 0u);
    ASSERT_EQ(tag.log.size(), mark + 1);
    EXPECT_EQ(tag.log[mark].command, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x01}));
}

TEST(Type4, GetVersionWithATinySizeLeavesNoCapacity) {
    DesfireTag tag({0x00, 0x01, 0x00, 0x06, 0x02});
    OnTag t(tag, TAG_DESFIRE_TYPE4);
    t.bench.checkNdef();
    EXPECT_EQ(t.h().physicalSize, 2u);
    EXPECT_EQ(t.h().maxNdefSize, 0u);
}

TEST(Type4, ReadOnlyIsNotImplementedAndTheTestPasses) {
    IsoDepTag tag(Technology::A, 256);
    OnTag t(tag, TAG_ISO14443A);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t mark = tag.log.size();
    const Outcome r = t.bench.setReadonly();
    EXPECT_EQ(r.code, NFACE_SET_READONLY_CONF);
    EXPECT_EQ(r.cause, nfcCauseNotImplemented);
    EXPECT_EQ(tag.log.size(), mark);
    const Outcome p = t.bench.test();
    EXPECT_EQ(p.code, NFACE_TEST_IND);
    EXPECT_EQ(p.cause, 0u);
    tag.removeAfter(0);
    EXPECT_EQ(t.bench.test().cause, nfcCauseRejected);
}

TEST(Type4, UidLengthFollowsTheRawModeByte) {
    const Bytes tenBytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    for (const uint8_t rawMode : {0, 1}) {
        SCOPED_TRACE(rawMode);
        nfcmanSetStackBytes(rawMode, 0);
        IsoDepTag tag(Technology::A, 256);
        Bench bench(thtest::fromTag(tag));
        ASSERT_EQ(bench.create(TAG_ISO14443A, tenBytes), 1u);
        EXPECT_EQ(bench.identify().code, TH_DEVICE_CONF);
        EXPECT_EQ(bench.owner.handler.uidLength, rawMode ? 10u : 7u);
    }
    nfcmanSetStackBytes(0, 0);
    IsoDepTag tag(Technology::A, 256);
    Bench bench(thtest::fromTag(tag));
    ASSERT_EQ(bench.create(TAG_ISO14443A, Bytes{1, 2, 3}), 1u);
    EXPECT_EQ(bench.identify().cause, nfcCauseNotNfcForumTag) << "shorter than 4 bytes";
}

TEST(Type4, StatusWordsGiveTheirCauses) {
    struct Case {
        Bytes answer;
        uint16_t cause;
    };
    const Case cases[] = {
        {{0x90, 0x00}, 0},   {{0x91, 0x00}, 0},   {{0x91, 0xAF}, 0},   {{0x01, 0x02, 0x90, 0x00}, 0},
        {{0x91, 0x0E}, 23},  {{0x91, 0x1C}, 5},   {{0x91, 0x9E}, 17},  {{0x91, 0xBE}, 23},
        {{0x91, 0xC1}, 518}, {{0x91, 0xCD}, 518}, {{0x91, 0xCE}, 13},  {{0x91, 0xEE}, 518},
        {{0x91, 0xA0}, 11},  {{0x6A, 0x82}, 11},  {{0x61, 0x10}, 11},  {{0x63, 0xC2}, 11},
        {{0x90, 0x01}, 11},  {{0x12, 0x34}, 11},  {{0x90}, 11},        {{}, 11},
    };
    IsoDepTag tag;
    OnTag t(tag, TAG_ISO14443A);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.answer));
        t.h().rspData = c.answer.empty() ? nullptr : c.answer.data();
        t.h().rspLength = static_cast<uint32_t>(c.answer.size());
        EXPECT_EQ(t4CheckStatus(&t.h()), c.cause);
    }
}

TEST(Type4, DesfireFormatSendsTheNativeCommands) {
    DesfireTag tag;
    OnTag t(tag, TAG_DESFIRE_TYPE4);
    ASSERT_EQ(t.bench.format(100, 0).cause, 0u);
    std::vector<Bytes> sent;
    for (const auto& e : tag.log) sent.push_back(e.command);
    const Bytes createApp{0x90, 0xCA, 0x00, 0x00, 0x05, 0x10, 0xEE, 0xEE, 0x0F, 0x01, 0x00};
    const Bytes createCc{0x90, 0xCD, 0x00, 0x00, 0x07, 0x03, 0x00, 0xEF, 0xEE, 0x0F, 0x00, 0x00, 0x00};
    const Bytes createNdef{0x90, 0xCD, 0x00, 0x00, 0x07, 0x04, 0x00, 0xEF, 0xEE, 102, 0x00, 0x00, 0x00};
    const Bytes writeCc{0x90, 0x3D, 0x00, 0x00, 0x16, 0x03, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x0F, 0x10,
                        0x00, 0x3B, 0x00, 0x34, 0x04, 0x06, 0xE1, 0x04, 0x00, 102, 0x00, 0x00, 0x00};
    for (const Bytes& b : {createApp, createCc, writeCc, createNdef})
        EXPECT_NE(std::find(sent.begin(), sent.end(), b), sent.end()) << ::testing::PrintToString(b);
    EXPECT_EQ(sent.back(), (Bytes{0x90, 0x3D, 0x00, 0x00, 0x09, 0x04, 0, 0, 0, 2, 0, 0, 0, 0, 0x00})) << "NLEN 0 last";
}

} // namespace

namespace {

// Answers from the model, but now and then bytes of chance instead: short frames, bare status
// words, frames of the wrong length.
struct Garbler {
    explicit Garbler(simtags::Tag& tag, uint32_t seed) : real(thtest::fromTag(tag)), state(seed) {}
    uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
    thtest::Answer operator()(const thtest::SentPdu& pdu) {
        thtest::Answer a = real(pdu);
        switch (next() % 8) {
        case 0: a.data.resize(next() % (a.data.size() + 1)); break;
        case 1: {
            static const uint8_t sws[][2] = {{0x91, 0x00}, {0x91, 0xAF}, {0x90, 0x00}, {0x91, 0xDE}, {0x6A, 0x82}, {0x91, 0xBE}};
            const auto* sw = sws[next() % 6];
            a.data = Bytes(next() % 20, static_cast<uint8_t>(next()));
            a.data.push_back(sw[0]);
            a.data.push_back(sw[1]);
            break;
        }
        case 2: a.data.push_back(static_cast<uint8_t>(next())); break;
        default: break;
        }
        return a;
    }
    thtest::AnswerSource real;
    uint32_t state;
};

} // namespace

TEST(Type4, ChanceAnswersAlwaysEndWithOneReport) {
    for (uint32_t seed = 1; seed <= 2000; ++seed) {
        SCOPED_TRACE(seed);
        const bool desfire = seed % 2;
        std::unique_ptr<IsoDepTag> tag;
        if (desfire) {
            auto d = std::make_unique<DesfireTag>(seed % 4 == 1 ? DesfireTag::ev1() : DesfireTag::desfire4k());
            if (seed % 3) d->createNdefApplication(300, pattern(120));
            tag = std::move(d);
        } else {
            tag = std::make_unique<IsoDepTag>(Technology::A, 400);
            tag->setMessage(pattern(150));
        }
        Garbler garbler(*tag, seed);
        Bench bench([&](const thtest::SentPdu& p) { return garbler(p); }, 2000);
        ASSERT_EQ(bench.create(desfire ? TAG_DESFIRE_TYPE4 : TAG_ISO14443A, kUid), 1u);
        bench.identify();
        EXPECT_EQ(bench.checkNdef().reports, 1u);
        EXPECT_EQ(bench.read(0, 200).reports, 1u);
        EXPECT_LE(bench.readData.size(), 200u);
        EXPECT_EQ(bench.write({pattern(100), pattern(60)}).reports, 1u);
        EXPECT_EQ(bench.format(0, seed % 5 == 0 ? 0x2 : 0).reports, 1u);
        EXPECT_EQ(bench.format(0, TH_FORMAT_ERASE).reports, 1u);
        EXPECT_EQ(bench.test().reports, 1u);
        EXPECT_LE(bench.exchanges(), 2000u);
    }
}
