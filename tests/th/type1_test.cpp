// The Type 1 handler against the simulated Type 1 tag: the capability container and TLV area of
// static and dynamic memories, reads through the segment cache, writes in either length form and
// in parts, lock bits, format, wipe, make read-only and the presence test; every hostile image
// ends with a cause.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/nfacemsg.h"
#include "harness.h"
#include "tags/ndef_image.h"
#include "tags/t1t_tag.h"
#include "th/th_frame.h"

namespace {

using simtags::Fault;
using simtags::FaultKind;
using simtags::T1tTag;
using simtags::concat;
using simtags::ndefTlv;
using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;

constexpr std::array<uint8_t, 7> kUid{0x3B, 0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB};
const Bytes kUid4{0x3B, 0x21, 0x43, 0x65};
constexpr size_t kDynamic = 512;
const Bytes kDynamicTlvs{0x01, 0x03, 0xF2, 0x30, 0x33, 0x02, 0x03, 0xF0, 0x02, 0x03};
constexpr uint8_t WRITE_E = 0x53, WRITE_E8 = 0x54, READ = 0x01, RSEG = 0x10, RALL = 0x00;

// One MIME record of exactly n bytes (n >= 4), its payload counting up.
Bytes message(size_t n) { return simtags::mimeMessage(n, 1); }

// The data area as a reader walks it: bytes 12-103, then from 128 on (104-127 are reserved).
Bytes area(const T1tTag& tag) { return concat(tag.bytes(12, 92), tag.bytes(128, tag.memory.size())); }

// Puts bytes into the data area from absolute `at`, skipping the reserved bytes.
void putArea(T1tTag& tag, size_t at, const Bytes& bytes) {
    for (uint8_t b : bytes) {
        if (at == 104) at = 128;
        tag.memory.at(at++) = b;
    }
}

void staticImage(T1tTag& tag, const Bytes& tlvs) {
    tag.put(8, {0xE1, 0x10, 0x0E, 0x00});
    tag.put(12, tlvs);
}

void dynamicImage(T1tTag& tag, const Bytes& tlvs) {
    tag.put(8, {0xE1, 0x10, 0x3F, 0x00});
    tag.put(12, kDynamicTlvs);
    putArea(tag, 22, tlvs);
}

struct Type1 {
    explicit Type1(size_t memory = T1tTag::STATIC_SIZE, const Bytes& uid = kUid4) : tag(kUid, memory) {
        created = bench.create(TAG_JEWEL_TYPE1, uid);
        identified = bench.identify();
    }
    TTagHandler& h() { return bench.owner.handler; }
    size_t sent() const { return bench.owner.pdus.size(); }
    const Bytes& pdu(size_t k) const { return bench.owner.pdus.at(k).bytes; }
    std::optional<Bytes> stored() const { return simtags::ndefMessage(area(tag)); }

    T1tTag tag;
    Bench bench{thtest::fromTag(tag)};
    uint32_t created = 0;
    Outcome identified;
};

Bytes command(uint8_t op, uint8_t address, uint8_t value) { return concat({op, address, value}, kUid4); }

TEST(Type1, IsIdentifiedByItsUidOrAsksForItWithRid) {
    Type1 four;
    EXPECT_EQ(four.created, 1u);
    EXPECT_EQ(four.identified.code, TH_DEVICE_CONF);
    EXPECT_EQ(four.sent(), 0u);
    Type1 three(T1tTag::STATIC_SIZE, {0x3B, 0x21, 0x43});
    EXPECT_EQ(three.identified.code, TH_DEVICE_CONF);
    ASSERT_EQ(three.sent(), 1u);
    EXPECT_EQ(three.pdu(0)[0], 0x78);
    EXPECT_EQ(Bytes(three.h().uid, three.h().uid + 4), kUid4);
    EXPECT_EQ(three.bench.checkNdef().cause, nfcCauseNotNfcForumTag) << "a blank tag, reached with the RID's UID";
}

TEST(Type1, AStaticContainerGivesNinetyBytesAndTheMessageAtTwelve) {
    Type1 t;
    const Bytes m = message(30);
    staticImage(t.tag, ndefTlv(m));
    const Outcome check = t.bench.checkNdef();
    EXPECT_EQ(check.code, NFACE_DEVICE_IND);
    EXPECT_EQ(check.cause, 0u);
    EXPECT_EQ(t.pdu(0), command(RALL, 0, 0));
    EXPECT_EQ(t.h().maxNdefSize, 90u);
    EXPECT_EQ(t.h().currentNdefSize, 30u);
    EXPECT_EQ(t.h().tagSubtype, 0x250001u);
    EXPECT_EQ(t.h().access & (TH_ACCESS_READ | TH_ACCESS_WRITE), TH_ACCESS_READ | TH_ACCESS_WRITE);
    int found = 0;
    EXPECT_EQ(t.h().getProperty(&t.h(), 0, &found), 0x10u);
    EXPECT_EQ(t.bench.read(0, 100).cause, 0u);
    EXPECT_EQ(t.bench.readData, m);
}

TEST(Type1, AReadFromTheCacheSendsOneReadOfAddressTen) {
    Type1 t;
    const Bytes m = message(40);
    staticImage(t.tag, ndefTlv(m));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t before = t.sent();
    const Outcome part = t.bench.read(5, 10);
    EXPECT_EQ(part.cause, nfcCauseTagBufferTooSmall);
    EXPECT_EQ(t.bench.readData, Bytes(m.begin() + 5, m.begin() + 15));
    ASSERT_EQ(t.sent(), before + 1);
    EXPECT_EQ(t.pdu(before), command(READ, 10, 0));
    // An offset at or past the message end delivers nothing, without an exchange.
    for (uint32_t offset : {40u, 41u, 0xFFFFFFF0u}) {
        const Outcome past = t.bench.read(offset, 10);
        EXPECT_EQ(past.cause, 0u);
        EXPECT_EQ(past.count, 0u);
    }
    EXPECT_EQ(t.sent(), before + 1);
}

TEST(Type1, TheDynamicLayoutPutsTheNdefAt22AndReadsSegmentOne) {
    Type1 t(kDynamic);
    const Bytes m = message(200);
    dynamicImage(t.tag, ndefTlv(m));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t.h().tagSubtype, 0x2E0002u);
    EXPECT_EQ(t.h().maxNdefSize, 82u + 384u - 4u);
    EXPECT_EQ(t.bench.read(0, 300).cause, 0u);
    EXPECT_EQ(t.bench.readData, m);
    ASSERT_EQ(t.sent(), 2u);
    EXPECT_EQ(t.pdu(1), concat({RSEG, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}, kUid4));
}

// Without control TLVs the last block of segment 0 (bytes 120-127) holds message bytes, which the
// read-all does not return: they come with a read of the segment, and the read ends.
TEST(Type1, ADynamicMemoryWithoutControlTlvsIsReadWhole) {
    Type1 t(kDynamic);
    const Bytes m = message(200);
    t.tag.put(8, {0xE1, 0x10, 0x3F, 0x00});
    const Bytes tlv = ndefTlv(m);
    for (size_t k = 0, at = 12; k < tlv.size(); ++k, ++at) {
        if (at == 104) at = 120;
        t.tag.memory.at(at) = tlv[k];
    }
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t before = t.sent();
    EXPECT_EQ(t.bench.read(0, 300).cause, 0u);
    EXPECT_EQ(t.bench.readData, m);
    ASSERT_EQ(t.sent(), before + 2);
    EXPECT_EQ(t.pdu(before), concat({RSEG, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, kUid4));
    EXPECT_EQ(t.pdu(before + 1), concat({RSEG, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}, kUid4));
    const Bytes other = message(150);
    ASSERT_EQ(t.bench.write({other}).cause, 0u);
    EXPECT_EQ(t.bench.read(0, 300).cause, 0u);
    EXPECT_EQ(t.bench.readData, other);
}

TEST(Type1, TheAnswerOfAnotherSegmentEndsTheRead) {
    Type1 t(kDynamic);
    dynamicImage(t.tag, ndefTlv(message(200)));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    Bytes segmentTwo{0x20};
    segmentTwo.resize(129, 0x00);
    t.tag.inject(Fault{FaultKind::Reply, RSEG, std::nullopt, 1, segmentTwo, 0});
    const size_t before = t.sent();
    EXPECT_EQ(t.bench.read(0, 300).cause, nfcCauseInvalidData);
    EXPECT_EQ(t.sent(), before + 1);
}

TEST(Type1, TheNdefTlvIsReadWhereTheWalkFoundIt) {
    Type1 t;
    const Bytes m = message(20);
    staticImage(t.tag, concat({0x00, 0x00, 0x00}, ndefTlv(m)));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t.bench.read(0, 20).cause, 0u);
    EXPECT_EQ(t.bench.readData, m);
}

TEST(Type1, MessagesOfEveryLengthFormAreWrittenAndReadBack) {
    struct Case {
        size_t memory, length;
        Bytes header;   // at the NDEF TLV
    };
    for (const Case& c : {Case{T1tTag::STATIC_SIZE, 4, {0x03, 0x04}}, Case{T1tTag::STATIC_SIZE, 90, {0x03, 90}},
                          Case{kDynamic, 254, {0x03, 0xFE}}, Case{kDynamic, 255, {0x03, 0xFF, 0x00, 0xFF}},
                          Case{kDynamic, 462, {0x03, 0xFF, 0x01, 0xCE}}}) {
        SCOPED_TRACE(c.length);
        Type1 t(c.memory);
        const Bytes blank = message(10);
        if (c.memory == kDynamic) dynamicImage(t.tag, ndefTlv(blank));
        else staticImage(t.tag, ndefTlv(blank));
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        const size_t before = t.sent();
        const Bytes m = message(c.length);
        const Outcome w = t.bench.write({m});
        EXPECT_EQ(w.code, NFACE_WRITE_CONF);
        EXPECT_EQ(w.cause, 0u);
        EXPECT_EQ(w.count, c.length);
        const size_t at = c.memory == kDynamic ? 22 : 12;
        const auto lengthByte = static_cast<uint8_t>(at + 1);
        EXPECT_EQ(t.pdu(before), command(WRITE_E, lengthByte, 0x00)) << "the message is made empty first";
        EXPECT_EQ(t.pdu(t.sent() - 1), command(WRITE_E, lengthByte, c.header[1])) << "and whole last";
        EXPECT_EQ(t.tag.bytes(at, c.header.size()), c.header);
        EXPECT_EQ(t.stored(), m);
        EXPECT_TRUE(simtags::parseNdef(m));
        EXPECT_EQ(t.h().currentNdefSize, c.length);
        EXPECT_EQ(t.bench.read(0, 1000).cause, 0u);
        EXPECT_EQ(t.bench.readData, m);
    }
}

TEST(Type1, ABlockWrittenInTwoPartsKeepsTheFirstPartsBytes) {
    Type1 t(kDynamic);
    dynamicImage(t.tag, ndefTlv(message(4)));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    // The second part starts three bytes into block 16.
    const Bytes m = message(120);
    EXPECT_EQ(t.bench.write({Bytes(m.begin(), m.begin() + 83), Bytes(m.begin() + 83, m.end())}).cause, 0u);
    EXPECT_EQ(t.stored(), m);
    size_t blockWrites = 0;
    for (const auto& e : t.tag.log) blockWrites += e.op == WRITE_E8;
    EXPECT_EQ(blockWrites, 6u) << "block 16 twice, then 17-20";
}

TEST(Type1, APartIsCheckedWithWhatWasWrittenBefore) {
    struct Case {
        size_t memory, first, second;
        uint16_t cause;
    };
    for (const Case& c : {Case{T1tTag::STATIC_SIZE, 60, 40, nfcCauseInputTooBig},
                          Case{kDynamic, 200, 60, nfcCauseWrongParameter}}) {
        SCOPED_TRACE(c.first);
        Type1 t(c.memory);
        if (c.memory == kDynamic) dynamicImage(t.tag, ndefTlv(message(8)));
        else staticImage(t.tag, ndefTlv(message(8)));
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        const Outcome w = t.bench.write({Bytes(c.first, 0x11), Bytes(c.second, 0x22)});
        EXPECT_EQ(w.cause, c.cause);
        EXPECT_EQ(w.count, 0u);
        EXPECT_EQ(t.stored(), Bytes{}) << "an empty message is left";
        EXPECT_EQ(t.tag.memory[8], 0xE1);
        EXPECT_EQ(t.h().currentNdefSize, 0u);
    }
}

TEST(Type1, AFailedWriteLeavesAnEmptyMessage) {
    Type1 t;
    staticImage(t.tag, ndefTlv(message(8)));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    t.tag.inject(Fault{FaultKind::Silence, WRITE_E, std::nullopt, 10, {}, 0});
    const Outcome w = t.bench.write({message(40)});
    EXPECT_EQ(w.cause, nfcCauseNoMoreWriting);
    EXPECT_EQ(w.count, 0u);
    EXPECT_EQ(t.stored(), Bytes{});
    EXPECT_EQ(t.tag.memory[8], 0xE1);
}

// A write answered with another byte or address than it carried did not write that byte: the
// write ends with a cause and nothing claims the message it meant.
TEST(Type1, AWriteTheTagDoesNotEchoIsNotAWrittenByte) {
    for (const Bytes& echo : {Bytes{0x0E, 0x00}, Bytes{0x0F, 0x55}, Bytes{}}) {
        Type1 t;
        staticImage(t.tag, ndefTlv(message(8)));
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        t.tag.inject(Fault{FaultKind::Reply, WRITE_E, 15u, 1, echo, 0});   // a byte of the message
        const Outcome w = t.bench.write({message(40)});
        EXPECT_EQ(w.cause, nfcCauseNoMoreWriting);
        EXPECT_EQ(w.count, 0u);
        EXPECT_EQ(t.stored(), Bytes{});
        EXPECT_EQ(t.h().currentNdefSize, 0u);
        EXPECT_EQ(t.bench.read(0, 100).count, 0u);
    }
}

TEST(Type1, ALockedBlockRefusesTheWriteBeforeAnyPdu) {
    Type1 t;
    staticImage(t.tag, ndefTlv(message(8)));
    t.tag.memory[113] = 0x01;   // block 8: bytes 64-71
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t before = t.sent();
    const Outcome refused = t.bench.write({message(60)});
    EXPECT_EQ(refused.cause, nfcCauseWriteProtected);
    EXPECT_EQ(t.sent(), before);
    EXPECT_EQ(t.bench.read(0, 100).cause, 0u);
    EXPECT_EQ(t.bench.readData, message(8)) << "the message stays readable";
    EXPECT_EQ(t.bench.write({message(40)}).cause, 0u) << "blocks 1-7 are free";
}

TEST(Type1, MakeReadOnlyLocksTheTagAndRefusesTheNextWrite) {
    Type1 t;
    staticImage(t.tag, ndefTlv(message(8)));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const Outcome ro = t.bench.setReadonly();
    EXPECT_EQ(ro.code, NFACE_SET_READONLY_CONF);
    EXPECT_EQ(ro.cause, 0u);
    EXPECT_EQ(t.tag.memory[11], 0x0F);
    EXPECT_EQ(t.tag.memory[112], 0xFF);
    EXPECT_EQ(t.tag.memory[113], 0xFF);
    t.bench.owner.forbidPdus = true;
    EXPECT_EQ(t.bench.write({message(8)}).cause, nfcCauseWriteProtected);
    t.bench.owner.forbidPdus = false;
    Type1 again;
    again.tag.memory = t.tag.memory;
    ASSERT_EQ(again.bench.checkNdef().cause, 0u);
    EXPECT_EQ(again.h().access & TH_ACCESS_WRITE, 0u);
}

TEST(Type1, FormatWritesTheContainerAndAnEmptyMessage) {
    struct Case {
        size_t memory;
        Bytes expected;   // from byte 8
        uint32_t maxNdef;
    };
    for (const Case& c : {Case{T1tTag::STATIC_SIZE, {0xE1, 0x10, 0x0E, 0x00, 0x03, 0x00, 0xFE}, 90},
                          Case{kDynamic, concat(concat({0xE1, 0x10, 0x3F, 0x00}, kDynamicTlvs), {0x03, 0x00, 0xFE}), 462}}) {
        SCOPED_TRACE(c.memory);
        Type1 t(c.memory);
        EXPECT_EQ(t.bench.checkNdef().cause, nfcCauseNotNfcForumTag);
        const Outcome f = t.bench.format(0, 0);
        EXPECT_EQ(f.code, NFACE_FORMAT_CONF);
        EXPECT_EQ(f.cause, 0u);
        EXPECT_EQ(t.tag.bytes(8, c.expected.size()), c.expected);
        EXPECT_EQ(t.h().maxNdefSize, c.maxNdef);
        EXPECT_EQ(t.bench.write({message(50)}).cause, 0u);
        EXPECT_EQ(t.stored(), message(50));
        Type1 again(c.memory);
        again.tag.memory = t.tag.memory;
        EXPECT_EQ(again.bench.checkNdef().cause, 0u);
        EXPECT_EQ(again.h().maxNdefSize, c.maxNdef);
    }
}

TEST(Type1, TheWipeOfDynamicMemorySkipsBlocks13To15) {
    Type1 t(kDynamic);
    std::fill(t.tag.memory.begin() + 12, t.tag.memory.end(), 0xAA);
    t.tag.memory[112] = t.tag.memory[113] = 0x00;
    ASSERT_EQ(t.bench.checkNdef().cause, nfcCauseNotNfcForumTag);
    EXPECT_EQ(t.bench.format(0, 0x2).cause, 0u);
    EXPECT_EQ(t.tag.bytes(22, 3), (Bytes{0x03, 0x00, 0xFE}));
    EXPECT_EQ(t.tag.bytes(25, 79), Bytes(79, 0x00));
    EXPECT_EQ(t.tag.bytes(104, 8), Bytes(8, 0xAA)) << "block 13 untouched";
    EXPECT_EQ(t.tag.bytes(120, 8), Bytes(8, 0xAA)) << "block 15 untouched";
    EXPECT_EQ(t.tag.bytes(128, kDynamic - 128), Bytes(kDynamic - 128, 0x00));
    for (const auto& e : t.tag.log) {
        const bool reserved = (e.op == WRITE_E8 && e.address >= 13 && e.address <= 15) ||
                              (e.op == WRITE_E && e.address >= 104 && e.address < 128);
        EXPECT_FALSE(reserved) << "write to " << e.address;
    }
    EXPECT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t.h().currentNdefSize, 0u);
}

TEST(Type1, ThePresenceTestIsARidCheck) {
    Type1 t;
    const Outcome present = t.bench.test();
    EXPECT_EQ(present.code, NFACE_TEST_IND);
    EXPECT_EQ(present.cause, 0u);
    EXPECT_EQ(t.bench.owner.pdus.back().flags, TH_PDU_CHECK);
    EXPECT_EQ(t.pdu(0)[0], 0x78);
    t.tag.removeAfter(0);
    EXPECT_EQ(t.bench.test().cause, 0x206u);
}

TEST(Type1, HostileImagesEndWithACause) {
    const Bytes lock{0x01, 0x03, 0xA0, 0x10, 0x44};
    struct Case {
        const char* name;
        std::function<void(T1tTag&)> image;
        uint16_t cause;
    };
    const Case cases[] = {
        {"five control TLVs", [&](T1tTag& t) { staticImage(t, concat(concat(concat(concat(concat(lock, lock), lock), lock), lock), ndefTlv(message(4)))); },
         nfcCauseInternalSoftware},
        {"length above the capacity", [](T1tTag& t) { staticImage(t, {0x03, 91}); }, nfcCauseInternalSoftware},
        {"long length above the capacity", [](T1tTag& t) { staticImage(t, {0x03, 0xFF, 0x01, 0x00}); },
         nfcCauseInternalSoftware},
        {"length running past the area", [](T1tTag& t) { staticImage(t, concat(Bytes(10, 0x00), {0x03, 85})); },
         nfcCauseInternalSoftware},
        {"header ROM of another family", [](T1tTag& t) { t.hr0 = 0x21; }, nfcCauseNotNfcForumTag},
        {"no magic", [](T1tTag& t) { t.put(8, {0xE2, 0x10, 0x0E, 0x00}); }, nfcCauseNotNfcForumTag},
        {"version 2.0", [](T1tTag& t) { t.put(8, {0xE1, 0x20, 0x0E, 0x00}); }, nfcCauseVersionMismatch},
        {"size too small", [](T1tTag& t) { t.put(8, {0xE1, 0x10, 0x08, 0x00}); }, nfcCauseInvalidData},
        {"TLV cut at the end", [](T1tTag& t) { t.put(8, {0xE1, 0x10, 0x0E, 0x00}); t.memory[119] = 0x05; },
         nfcCauseNotNfcForumTag},
        {"short read-all answer", [](T1tTag& t) { t.inject(Fault{FaultKind::Short, RALL, std::nullopt, 1, {}, 100}); },
         nfcCauseInvalidData},
        {"read-all of another UID",
         [](T1tTag& t) {
             Bytes other(122, 0x00);
             other[0] = 0x11;
             other[2] = 0x3C;
             t.inject(Fault{FaultKind::Reply, RALL, std::nullopt, 1, other, 0});
         },
         nfcCauseInvalidData},
        {"silence", [](T1tTag& t) { t.removeAfter(0); }, 0x206},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Type1 t;
        c.image(t.tag);
        EXPECT_EQ(t.bench.checkNdef().cause, c.cause);
    }
}

TEST(Type1, AShortSegmentAnswerEndsTheReadWithACause) {
    Type1 t(kDynamic);
    dynamicImage(t.tag, ndefTlv(message(200)));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    t.tag.inject(Fault{FaultKind::Short, RSEG, std::nullopt, 1, {}, 100});
    EXPECT_EQ(t.bench.read(0, 300).cause, nfcCauseInvalidData);
    EXPECT_EQ(t.bench.read(0, 300).cause, 0u) << "the next read asks again";
    EXPECT_EQ(t.bench.readData, message(200));
}

} // namespace
