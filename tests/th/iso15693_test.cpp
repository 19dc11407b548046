// The ISO 15693 handler against the simulated vicinity tag: chip identification, the system
// information, the capability container and TLV scan, reads, writes in either length form and
// block size, format and erase, make read-only and the presence test; every hostile image or
// answer ends with a cause.
#include <gtest/gtest.h>

#include "core/nfacemsg.h"
#include "harness.h"
#include "tags/iso15693_tag.h"
#include "tags/ndef_image.h"
#include "th/th_frame.h"

namespace {

using simtags::Fault;
using simtags::FaultKind;
using simtags::Iso15693Tag;
using simtags::concat;
using simtags::ndefTlv;
using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;

using Uid = std::array<uint8_t, 8>;
constexpr Uid kNxp{0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78};
constexpr Uid kSt{0xE0, 0x02, 0x0C, 0x00, 0x12, 0x34, 0x56, 0x78};
constexpr Uid kStExtended{0xE0, 0x02, 0x2C, 0x00, 0x12, 0x34, 0x56, 0x78};
constexpr uint8_t READ = 0x20, WRITE = 0x21, LOCK = 0x22, SYSTEM_INFO = 0x2B;

Bytes message(size_t n) { return simtags::mimeMessage(n, 3); }

struct Vicinity {
    explicit Vicinity(Uid uid = kNxp, size_t blocks = 28, size_t blockSize = 4, bool extended = false)
        : tag(uid, blocks, blockSize, extended) {
        created = bench.create(TAG_15693, Bytes(uid.begin(), uid.end()));
        identified = bench.identify();
    }
    TTagHandler& h() { return bench.owner.handler; }
    size_t sent() const { return bench.owner.pdus.size(); }
    const Bytes& pdu(size_t k) const { return bench.owner.pdus.at(k).bytes; }
    // The message of the NDEF TLV behind the 4-byte container; what follows a message that ends
    // on a block boundary is whatever the memory held.
    std::optional<Bytes> stored() const { return simtags::leadingNdefTlv(tag.bytes(4, tag.memory.size())); }
    void image(const Bytes& cc, const Bytes& tlvs) {
        tag.put(0, cc);
        tag.put(4, tlvs);
    }

    Iso15693Tag tag;
    Bench bench{thtest::fromTag(tag)};
    uint32_t created = 0;
    Outcome identified;
};

TEST(Iso15693, ChipsAreIdentifiedFromTheirUid) {
    struct Case {
        Uid uid;
        bool identified;
        uint32_t subtype;
        bool asksSystemInfo;
    };
    const Case cases[] = {
        {kSt, true, 0x20001, true},
        {kStExtended, true, 0x20006, true},
        {{0xE0, 0x02, 0x5F, 0, 0, 0, 0, 1}, true, 0x2000D, true},   // 0x5C with the low bits masked
        {kNxp, true, 0x4000C, true},
        {{0xE0, 0x04, 0x02, 0x40, 0, 0, 0, 1}, true, 0x4000E, true},
        {{0xE0, 0x04, 0x02, 0x11, 0, 0, 0, 1}, false, 0, true},
        {{0xE0, 0x04, 0x03, 0x00, 0x80, 0, 0, 1}, true, 0x40011, true},
        {{0xE0, 0x05, 0x40, 0, 0, 0, 0, 1}, true, 0x50005, false},
        {{0xE0, 0x07, 0xC4, 0, 0, 0, 0, 1}, true, 0x70004, false},
        {{0xE0, 0x07, 0x81, 0, 0, 0, 0, 1}, true, 0x70003, true},
        {{0xE0, 0x07, 0x55, 0, 0, 0, 0, 1}, true, 0x70001, true},
        {{0xE0, 0x16, 0x38, 0, 0, 0, 0, 1}, true, 0x160038, true},
        {{0xE0, 0x99, 0x01, 0, 0, 0, 0, 1}, false, 0, true},
        {{0xE1, 0x04, 0x01, 0, 0, 0, 0, 1}, false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.uid[1]) << " " << int(c.uid[2]));
        Vicinity v(c.uid, 16, 4, c.subtype == 0x20006 || c.subtype == 0x2000D);
        EXPECT_EQ(v.created, 1u);
        EXPECT_EQ(v.identified.code, TH_DEVICE_CONF);
        EXPECT_EQ(v.identified.cause, c.identified ? 0u : uint16_t{nfcCauseNotNfcForumTag});
        EXPECT_EQ(v.h().tagSubtype, c.subtype);
        v.bench.checkNdef();
        ASSERT_GE(v.sent(), 1u);
        EXPECT_EQ(v.pdu(0)[1], c.asksSystemInfo ? SYSTEM_INFO : READ);
    }
}

TEST(Iso15693, AnExtendedChipSendsWideBlockNumbersWithTheExtensionFlag) {
    Vicinity v(kStExtended, 300, 4, true);
    v.image({0xE1, 0x40, 0x96, 0x05}, ndefTlv(message(20)));
    ASSERT_EQ(v.bench.checkNdef().cause, 0u);
    EXPECT_EQ(v.pdu(1), (Bytes{0x08, READ, 0x00, 0x00}));
    EXPECT_EQ(v.h().maxNdefSize, 1200u - 8u);
    // Past block 255.
    const Bytes m = message(1100);
    EXPECT_EQ(v.bench.write({m}).cause, 0u);
    EXPECT_EQ(v.stored(), m);
    EXPECT_EQ(v.pdu(v.sent() - 2), concat({0x08, WRITE, 0x14, 0x01}, v.tag.bytes(276 * 4, 4)));
    ASSERT_EQ(v.bench.checkNdef().cause, 0u);
    EXPECT_EQ(v.bench.read(0, 2000).cause, 0u);
    EXPECT_EQ(v.bench.readData, m);
}

TEST(Iso15693, TheContainerGivesTheCapacityAndTheAccess) {
    Vicinity v;
    v.image({0xE1, 0x40, 0x08, 0x01}, ndefTlv(message(10)));
    ASSERT_EQ(v.bench.checkNdef().cause, 0u);
    EXPECT_EQ(v.h().maxNdefSize, 58u);
    EXPECT_EQ(v.h().currentNdefSize, 10u);
    EXPECT_NE(v.h().access & TH_ACCESS_WRITE, 0u);

    Vicinity locked;
    locked.image({0xE1, 0x41, 0x08, 0x01}, ndefTlv(message(10)));
    ASSERT_EQ(locked.bench.checkNdef().cause, 0u);
    EXPECT_EQ(locked.h().access & TH_ACCESS_WRITE, 0u);
    const size_t before = locked.sent();
    EXPECT_EQ(locked.bench.write({message(10)}).cause, nfcCauseWriteProtected);
    EXPECT_EQ(locked.bench.setReadonly().cause, nfcCauseWriteProtected);
    EXPECT_EQ(locked.sent(), before) << "no write";
    EXPECT_EQ(locked.bench.read(0, 100).cause, 0u);
    EXPECT_EQ(locked.bench.readData, message(10));
}

TEST(Iso15693, MessagesAreWrittenInEitherLengthFormAndEveryBlockSize) {
    struct Case {
        size_t blockSize, blocks, length;
        Bytes header;
        bool terminator;
    };
    for (const Case& c : {Case{4, 128, 300, {0x03, 0xFF, 0x01, 0x2C}, false}, Case{4, 128, 301, {0x03, 0xFF, 0x01, 0x2D}, true},
                          Case{4, 128, 10, {0x03, 0x0A}, false}, Case{4, 128, 11, {0x03, 0x0B}, true},
                          Case{8, 64, 100, {0x03, 0x64}, true}, Case{32, 32, 700, {0x03, 0xFF, 0x02, 0xBC}, true}}) {
        SCOPED_TRACE(testing::Message() << c.blockSize << "/" << c.length);
        Vicinity v(kSt, c.blocks, c.blockSize);
        std::fill(v.tag.memory.begin(), v.tag.memory.end(), 0xAA);
        v.image({0xE1, 0x40, static_cast<uint8_t>(c.blocks * c.blockSize / 8), 0x01}, ndefTlv(message(8)));
        ASSERT_EQ(v.bench.checkNdef().cause, 0u);
        const Bytes m = message(c.length);
        const Outcome w = v.bench.write({m});
        EXPECT_EQ(w.cause, 0u);
        EXPECT_EQ(w.count, c.length);
        EXPECT_EQ(v.tag.bytes(4, c.header.size()), c.header);
        EXPECT_EQ(v.stored(), m);
        const size_t end = 4 + c.header.size() + c.length;
        if (c.terminator) {
            EXPECT_EQ(v.tag.memory[end], 0xFE);
            const size_t blockEnd = (end / c.blockSize + 1) * c.blockSize;
            EXPECT_EQ(v.tag.bytes(end + 1, blockEnd - end - 1), Bytes(blockEnd - end - 1, 0x00));
        } else {
            EXPECT_EQ(v.tag.memory[end], 0xAA) << "a message ending on a block boundary gets no terminator";
        }
        EXPECT_EQ(v.bench.read(0, 1000).cause, 0u);
        EXPECT_EQ(v.bench.readData, m);
    }
}

// A tag decides its block size in its system information; a size that splits the container or
// the TLV header across blocks is written byte for byte like any other, in parts too.
TEST(Iso15693, ABlockSizeThatSplitsTheHeaderTakesAMessageInParts) {
    for (size_t blockSize : {5u, 6u, 7u, 3u}) {
        SCOPED_TRACE(blockSize);
        Vicinity v(kSt, 80, blockSize);
        v.image({0xE1, 0x40, static_cast<uint8_t>(80 * blockSize / 8), 0x01}, ndefTlv(message(8)));
        const Outcome check = v.bench.checkNdef();
        if (blockSize < 4) {
            EXPECT_EQ(check.cause, nfcCauseNotNfcForumTag) << "the container does not fit a block";
            continue;
        }
        ASSERT_EQ(check.cause, 0u);
        for (const std::vector<size_t>& parts : {std::vector<size_t>{3, 150, 47}, std::vector<size_t>{260, 1, 39}}) {
            Bytes m;
            std::vector<Bytes> chunks;
            for (size_t n : parts) {
                chunks.push_back(Bytes(n, static_cast<uint8_t>(n)));
                m = concat(m, chunks.back());
            }
            const Outcome w = v.bench.write(chunks);
            EXPECT_EQ(w.cause, 0u);
            EXPECT_EQ(v.stored(), m);
            EXPECT_EQ(v.tag.bytes(0, 4), (Bytes{0xE1, 0x40, static_cast<uint8_t>(80 * blockSize / 8), 0x01}));
            EXPECT_EQ(v.bench.read(0, 1000).cause, 0u);
            EXPECT_EQ(v.bench.readData, m);
        }
    }
}

TEST(Iso15693, PartsAreCheckedWithWhatWasWrittenBefore) {
    struct Case {
        size_t first, second;
        uint16_t cause;
    };
    for (const Case& c : {Case{100, 100, 0}, Case{200, 60, nfcCauseWrongParameter}, Case{300, 300, nfcCauseInputTooBig}}) {
        SCOPED_TRACE(c.first);
        Vicinity v(kSt, 128);
        v.image({0xE1, 0x40, 0x40, 0x01}, ndefTlv(message(8)));
        ASSERT_EQ(v.bench.checkNdef().cause, 0u);
        const Bytes m = message(c.first + c.second);
        const Outcome w = v.bench.write({Bytes(m.begin(), m.begin() + c.first), Bytes(m.begin() + c.first, m.end())});
        EXPECT_EQ(w.cause, c.cause);
        if (c.cause) EXPECT_EQ(v.tag.bytes(4, 2), (Bytes{0x03, 0x00})) << "a refused part leaves an empty message";
        else EXPECT_EQ(v.stored(), m);
    }
}

TEST(Iso15693, AWritePastTheLastBlockIsRefused) {
    Vicinity v;   // 112 bytes, but the container claims 2040
    v.image({0xE1, 0x40, 0xFF, 0x01}, ndefTlv(message(8)));
    ASSERT_EQ(v.bench.checkNdef().cause, 0u);
    const size_t before = v.sent();
    EXPECT_EQ(v.bench.write({message(120)}).cause, nfcCauseWrongParameter);
    EXPECT_EQ(v.sent(), before);
    EXPECT_EQ(v.bench.write({message(104)}).cause, 0u) << "the last block still takes data";
    EXPECT_EQ(v.stored(), message(104));
}

TEST(Iso15693, AFailedWriteLeavesAnEmptyMessage) {
    Vicinity v;
    v.image({0xE1, 0x40, 0x0E, 0x01}, ndefTlv(message(8)));
    ASSERT_EQ(v.bench.checkNdef().cause, 0u);
    v.tag.inject(Fault{FaultKind::Reply, WRITE, std::nullopt, 4, {0x01, 0x12}, 0});
    EXPECT_EQ(v.bench.write({message(40)}).cause, 0x206u);
    EXPECT_EQ(v.tag.bytes(4, 2), (Bytes{0x03, 0x00}));
}

TEST(Iso15693, FormatWritesTheTemplateAndEraseClearsEveryBlock) {
    struct Case {
        Uid uid;
        size_t blocks, blockSize;
        bool extended;
        Bytes container;
    };
    for (const Case& c : {Case{kNxp, 28, 4, false, {0xE1, 0x40, 0x0E, 0x01, 0x03, 0x00, 0xFE, 0x00}},
                          Case{kSt, 64, 8, false, {0xE1, 0x40, 0x40, 0x01, 0x03, 0x00, 0xFE, 0x00}},
                          // 8 KB: the size byte claims 2040 bytes instead of wrapping.
                          Case{kStExtended, 256, 32, true, concat({0xE1, 0x40, 0xFF, 0x05, 0x03, 0x00, 0xFE, 0x00}, Bytes(24, 0))}}) {
        SCOPED_TRACE(c.blockSize);
        Vicinity v(c.uid, c.blocks, c.blockSize, c.extended);
        std::fill(v.tag.memory.begin(), v.tag.memory.end(), 0x55);
        EXPECT_EQ(v.bench.checkNdef().cause, nfcCauseNotNfcForumTag);
        const Outcome f = v.bench.format(0, 0);
        EXPECT_EQ(f.code, NFACE_FORMAT_CONF);
        EXPECT_EQ(f.cause, 0u);
        EXPECT_EQ(v.tag.bytes(0, c.container.size()), c.container);
        EXPECT_EQ(v.tag.memory.back(), 0x55) << "no wipe asked for";
        EXPECT_EQ(v.bench.checkNdef().cause, 0u);
        EXPECT_EQ(v.bench.write({message(50)}).cause, 0u);
        EXPECT_EQ(v.stored(), message(50));
        EXPECT_EQ(v.bench.format(0, 0x4).cause, 0u);
        EXPECT_EQ(v.tag.memory, Bytes(c.blocks * c.blockSize, 0x00));
    }
}

TEST(Iso15693, MakeReadOnlyWritesTheVersionThenLocksEveryBlock) {
    Vicinity v;
    v.image({0xE1, 0x40, 0x0E, 0x01}, ndefTlv(message(8)));
    ASSERT_EQ(v.bench.checkNdef().cause, 0u);
    const size_t before = v.sent();
    const Outcome ro = v.bench.setReadonly();
    EXPECT_EQ(ro.code, NFACE_SET_READONLY_CONF);
    EXPECT_EQ(ro.cause, 0u);
    EXPECT_EQ(v.tag.bytes(0, 4), (Bytes{0xE1, 0x43, 0x0E, 0x01}));
    ASSERT_EQ(v.sent(), before + 1 + 28);
    EXPECT_EQ(v.pdu(before)[1], WRITE);
    for (size_t b = 0; b < 28; ++b) {
        EXPECT_EQ(v.pdu(before + 1 + b), (Bytes{0x00, LOCK, static_cast<uint8_t>(b)}));
        EXPECT_TRUE(v.tag.locked(b));
    }
    EXPECT_EQ(v.bench.write({message(8)}).cause, nfcCauseWriteProtected);
    EXPECT_EQ(v.bench.read(0, 100).cause, 0u);
    EXPECT_EQ(v.bench.readData, message(8));

    Vicinity extended(kStExtended, 64, 4, true);
    extended.image({0xE1, 0x40, 0x20, 0x05}, ndefTlv(message(8)));
    ASSERT_EQ(extended.bench.checkNdef().cause, 0u);
    const size_t sent = extended.sent();
    EXPECT_EQ(extended.bench.setReadonly().cause, nfcCauseNotImplemented);
    EXPECT_EQ(extended.sent(), sent);
}

TEST(Iso15693, AReadIsServedFromBlocksAndChecksTheTagWhenCached) {
    Vicinity v;
    const Bytes m = message(30);
    v.image({0xE1, 0x40, 0x0E, 0x01}, ndefTlv(m));
    ASSERT_EQ(v.bench.checkNdef().cause, 0u);
    EXPECT_EQ(v.bench.read(3, 10).cause, nfcCauseTagBufferTooSmall);
    EXPECT_EQ(v.bench.readData, Bytes(m.begin() + 3, m.begin() + 13));
    const size_t before = v.sent();
    EXPECT_EQ(v.bench.read(11, 1).cause, nfcCauseTagBufferTooSmall);
    ASSERT_EQ(v.sent(), before + 1);
    EXPECT_EQ(v.pdu(before), (Bytes{0x00, READ, 0x01})) << "block 1 as a sign of life";
    for (uint32_t offset : {30u, 31u, 0xFFFFFFF0u}) {
        const Outcome past = v.bench.read(offset, 10);
        EXPECT_EQ(past.cause, 0u);
        EXPECT_EQ(past.count, 0u);
    }
}

TEST(Iso15693, ThePresenceTestReadsBlockZero) {
    Vicinity v;
    EXPECT_EQ(v.bench.test().cause, 0u);
    EXPECT_EQ(v.bench.owner.pdus.back().flags, TH_PDU_CHECK);
    EXPECT_EQ(v.bench.owner.pdus.back().bytes, (Bytes{0x00, READ, 0x00}));
    v.tag.removeAfter(0);
    EXPECT_EQ(v.bench.test().cause, 0x206u);
}

TEST(Iso15693, HostileImagesAndAnswersEndWithACause) {
    struct Case {
        const char* name;
        std::function<void(Iso15693Tag&)> image;
        uint16_t cause;
    };
    const Bytes cc{0xE1, 0x40, 0x0E, 0x01};
    auto withCc = [cc](Bytes tlvs) {
        return [cc, tlvs](Iso15693Tag& t) {
            t.put(0, cc);
            t.put(4, tlvs);
        };
    };
    const Case cases[] = {
        {"NULL TLV first", withCc(concat({0x00}, ndefTlv(message(8)))), nfcCauseNotNfcForumTag},
        {"lock control first", withCc({0x01, 0x03, 0, 0, 0, 0x03, 0x00}), nfcCauseNotNfcForumTag},
        {"terminator first", withCc({0xFE}), nfcCauseNotNfcForumTag},
        {"invalid length", withCc({0x03, 0xFF, 0xFF, 0xFF}), nfcCauseNotNfcForumTag},
        {"length above the capacity", withCc({0x03, 0xFF, 0x00, 0x69}), nfcCauseInvalidData},
        {"length past the memory", withCc({0x10, 0x70}), nfcCauseNotNfcForumTag},
        {"no magic", [](Iso15693Tag& t) { t.put(0, {0xE2, 0x40, 0x0E, 0x01}); }, nfcCauseNotNfcForumTag},
        {"version 2", [](Iso15693Tag& t) { t.put(0, {0xE1, 0x80, 0x0E, 0x01}); }, nfcCauseVersionMismatch},
        {"error flag", [](Iso15693Tag& t) { t.inject(Fault{FaultKind::Reply, READ, std::nullopt, 1, {0x01, 0x10}, 0}); }, 0x206},
        {"short block", [](Iso15693Tag& t) { t.inject(Fault{FaultKind::Short, READ, std::nullopt, 1, {}, 3}); },
         nfcCauseInvalidData},
        {"silence", [](Iso15693Tag& t) { t.inject(Fault{FaultKind::Silence, READ, std::nullopt, 1, {}, 0}); },
         thtest::kCauseNoAnswer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vicinity v;
        c.image(v.tag);
        EXPECT_EQ(v.bench.checkNdef().cause, c.cause);
    }
}

TEST(Iso15693, AHeaderSplitAcrossBlocksIsReadOn) {
    Vicinity v(kSt, 128);
    // An unknown TLV moves the NDEF TLV to byte 7: its length bytes are in block 2.
    v.image({0xE1, 0x40, 0x40, 0x01}, concat({0x10, 0x01, 0x77}, ndefTlv(message(300))));
    ASSERT_EQ(v.bench.checkNdef().cause, 0u);
    EXPECT_EQ(v.h().currentNdefSize, 300u);
    EXPECT_EQ(v.bench.read(0, 300).cause, 0u);
    EXPECT_EQ(v.bench.readData, message(300));
}

TEST(Iso15693, ShortSystemInformationEndsTheCheckWithACause) {
    // Uid, DSFID, AFI, then the block count, the block size and the IC reference.
    for (size_t keep : {0u, 1u, 2u, 9u, 10u, 11u, 12u, 13u, 14u}) {
        SCOPED_TRACE(keep);
        Vicinity v(kSt, 16);
        v.image({0xE1, 0x40, 0x08, 0x01}, ndefTlv(message(8)));
        v.tag.inject(Fault{FaultKind::Short, SYSTEM_INFO, std::nullopt, 1, {}, keep});
        EXPECT_EQ(v.bench.checkNdef().cause, nfcCauseNotNfcForumTag);
        EXPECT_EQ(v.sent(), 1u);
    }
    Vicinity whole(kSt, 16);
    whole.image({0xE1, 0x40, 0x08, 0x01}, ndefTlv(message(8)));
    EXPECT_EQ(whole.bench.checkNdef().cause, 0u);
}

} // namespace
