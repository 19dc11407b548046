// The MIFARE Classic and Plus handler against the simulated card: the directory check, reads
// and writes across sectors, format, make read-only, the erase and the key lists. Every card
// is checked afterwards for a bricked sector.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/nfacemsg.h"
#include "harness.h"
#include "tags/mifare_tag.h"
#include "th/th_frame.h"
#include "th/th_mifare.h"
#include "th/th_mifare_format.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using simtags::MifareKind;
using simtags::MifareTag;
using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;

const Bytes kUid4{0x3A, 0x5C, 0x71, 0x0D};
const Bytes kUid7{0x04, 0x52, 0x6B, 0x1A, 0x2C, 0x5D, 0x80};

Bytes message(size_t n) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(0x21 + k % 91);
    return b;
}

uint32_t typeOf(MifareKind kind) {
    switch (kind) {
    case MifareKind::Mini: return TAG_MIFARE_S20;
    case MifareKind::Classic1K: return TAG_MIFARE_STD_1K;
    case MifareKind::Classic4K: return TAG_MIFARE_STD_4K;
    case MifareKind::Plus2K: return TAG_MIFARE_PLUS_2K;
    case MifareKind::Plus4K: return TAG_MIFARE_PLUS_4K;
    }
    return 0;
}

// A card in front of the handler, identified; the key lists start from the built-in ones.
struct Card {
    explicit Card(MifareKind kind = MifareKind::Classic1K, const Bytes& uid = kUid4, uint8_t level = 1)
        : tag(kind, uid, level), bench(thtest::fromTag(tag)) {
        tmsResetKeyLists();
        simtags::makeFactoryFresh(tag);
        type = typeOf(kind);
    }
    ~Card() { EXPECT_TRUE(tag.bricked().empty()) << "a trailer write bricked sector " << *tag.bricked().begin(); }

    Outcome start() {
        EXPECT_EQ(bench.create(type, tag.a.nfcid1), 1u);
        bench.owner.tag.a.sak = *tag.a.selRes;
        return bench.identify();
    }
    Outcome check() {
        start();
        return bench.checkNdef();
    }
    uint32_t property(uint32_t id) {
        int found = 0;
        return tmsGetProperty(&h(), id, &found);
    }
    TTagHandler& h() { return bench.owner.handler; }
    // Commands the card saw with this code, from log entry `from` on.
    std::vector<simtags::Exchange> seen(uint8_t op, size_t from = 0) const {
        std::vector<simtags::Exchange> out;
        for (size_t k = from; k < tag.log.size(); ++k)
            if (tag.log[k].op == op) out.push_back(tag.log[k]);
        return out;
    }
    Bytes keyOf(const simtags::Exchange& auth) const { return Bytes(auth.command.begin() + 6, auth.command.end()); }
    bool isTransport(size_t sector) const {
        const Bytes t = tag.block(MifareTag::trailerBlock(sector));
        const Bytes want{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07,
                         0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        if (t != want) return false;
        for (size_t b = MifareTag::firstBlock(sector); b < MifareTag::trailerBlock(sector); ++b)
            if (b != 0 && tag.block(b) != Bytes(16, 0xFF)) return false;
        return true;
    }

    MifareTag tag;
    Bench bench;
    uint32_t type;
};

TEST(MifareMad, CrcMatchesTheCheckValueAndTheCardsOwn) {
    const std::string text = "123456789";
    const Bytes data(text.begin(), text.end());
    EXPECT_EQ(tmsMadCrc(data.data(), static_cast<uint32_t>(data.size())), 0x99);
    EXPECT_EQ(simtags::madCrc(data), 0x99);
    MifareTag tag;
    simtags::makeNdefFormatted(tag, 15, message(10));
    const Bytes b1 = tag.block(1), b2 = tag.block(2);
    Bytes mad(b1.begin() + 1, b1.end());
    mad.insert(mad.end(), b2.begin(), b2.end());
    EXPECT_EQ(tmsMadCrc(mad.data(), 31), b1[0]);
}

TEST(MifareGeometry, SizesAndBlocksFollowTheSectorLayout) {
    struct Case {
        MifareKind kind;
        uint32_t capacity;
    };
    for (const Case c : {Case{MifareKind::Mini, 190}, Case{MifareKind::Classic1K, 716}, Case{MifareKind::Plus2K, 1436},
                         Case{MifareKind::Classic4K, 3356}, Case{MifareKind::Plus4K, 3356}}) {
        Card card(c.kind);
        const Outcome o = card.start();
        EXPECT_EQ(o.code, TH_DEVICE_CONF);
        EXPECT_EQ(card.h().physicalSize, c.capacity);
        EXPECT_EQ(card.h().maxNdefSize, c.capacity);
    }
    EXPECT_EQ(tmsDataBlockOfPosition(0), 4);
    EXPECT_EQ(tmsDataBlockOfPosition(47), 6);
    EXPECT_EQ(tmsDataBlockOfPosition(48), 8);
    EXPECT_EQ(tmsDataBlockOfPosition(720), 68);
    EXPECT_EQ(tmsDataBlockOfPosition(1440), 128);
    EXPECT_EQ(tmsSectorTrailerBlock(32), 143);
    EXPECT_EQ(tmsSectorTrailerBlock(39), 255);
    EXPECT_EQ(tmsCalcDatablockNum(1, 2), 0);
}

TEST(MifareCheck, FindsTheMessageInTheDirectorysNfcSectors) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 15, message(40));
    const Outcome o = card.check();
    EXPECT_EQ(o.code, NFACE_DEVICE_IND);
    EXPECT_EQ(o.cause, 0);
    EXPECT_EQ(card.h().maxNdefSize, 716u);
    EXPECT_EQ(card.h().currentNdefSize, 40u);
    EXPECT_EQ(card.property(5), 1u);
    EXPECT_EQ(card.property(16), 1u);
    EXPECT_EQ(card.property(0), 0x10u);
    EXPECT_EQ(card.h().isNdef, 1u);
}

void setGpb(MifareTag& t, size_t block, uint8_t gpb) {
    Bytes b = t.block(block);
    b[9] = gpb;
    t.setBlock(block, b);
}

// The first NFC trailer is not taken: the message is sought from the next NFC sector on.
void passOverSector1(MifareTag& t, uint8_t gpb) {
    setGpb(t, 7, gpb);
    for (size_t b = 4; b < 7; ++b) {
        t.setBlock(b + 4, t.block(b));
        t.setBlock(b, Bytes(16, 0));
    }
}

// The directory and the first NFC trailer as cards carry them, each case a change to a good card.
TEST(MifareCheck, TableOfDirectoriesAndTrailers) {
    struct Case {
        const char* name;
        void (*change)(MifareTag&);
        uint16_t cause;
        uint32_t writable;
        uint32_t madVersion = 1;
    };
    const Case cases[] = {
        {"wrong MAD1 CRC is only traced",
         [](MifareTag& t) {
             Bytes b = t.block(1);
             b[0] ^= 0x5A;
             t.setBlock(1, b);
         },
         0, 1},
        {"NFC trailer GPB 0x43 is read-only", [](MifareTag& t) { setGpb(t, 7, 0x43); }, 0, 0},
        {"GPB 0x41 passed over", [](MifareTag& t) { passOverSector1(t, 0x41); }, 0, 1},
        {"major version 2 passed over", [](MifareTag& t) { passOverSector1(t, 0x80); }, 0, 1},
        {"MAD GPB without bit 7", [](MifareTag& t) { setGpb(t, 3, 0x41); }, nfcCauseNotNfcForumTag, 1, 0},
        {"MAD version 0", [](MifareTag& t) { setGpb(t, 3, 0xC0); }, nfcCauseNotNfcForumTag, 1},
        {"MAD version 3", [](MifareTag& t) { setGpb(t, 3, 0xC3); }, nfcCauseNotNfcForumTag, 1},
        {"no NFC sector in the MAD",
         [](MifareTag& t) {
             for (size_t b : {1, 2}) t.setBlock(b, Bytes(16, 0));
         },
         nfcCauseNotNfcForumTag, 1},
        {"no accepted NFC trailer",
         [](MifareTag& t) {
             for (size_t s = 1; s < 16; ++s) setGpb(t, MifareTag::trailerBlock(s), 0x41);
         },
         nfcCauseNotNfcForumTag, 1},
        {"a terminator and no NDEF TLV", [](MifareTag& t) { t.setBlock(4, Bytes{0xFE}); }, nfcCauseNotNfcForumTag, 1},
        {"a message longer than the NFC sectors",
         [](MifareTag& t) {
             t.setBlock(4, Bytes{0x03, 0xFF, 0x02, 0xFF});
         },
         nfcCauseInvalidData, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Card card;
        simtags::makeNdefFormatted(card.tag, 15, message(30));
        c.change(card.tag);
        const Outcome o = card.check();
        EXPECT_EQ(o.cause, c.cause);
        EXPECT_EQ(card.property(5), c.writable);
        if (c.cause == 0) {
            EXPECT_EQ(card.h().currentNdefSize, 30u);
        }
        EXPECT_EQ(card.property(16), c.madVersion) << "the version becomes 1";
    }
}

TEST(MifareCheck, ReadsATlvThatCrossesABlockAndSkipsOtherTlvsWhole) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 15, {});
    // A proprietary TLV whose value holds 03 bytes, then the NDEF TLV's 3-byte length across
    // blocks 5 and 6.
    Bytes area{0xFD, 0x1B};
    area.resize(2 + 0x1B, 0x03);
    area.insert(area.end(), {0x03, 0xFF, 0x01, 0x2C});
    const Bytes m = message(300);
    area.insert(area.end(), m.begin(), m.end());
    area.push_back(0xFE);
    size_t at = 0;
    for (size_t b = 4; at < area.size(); ++b) {
        if (b % 4 == 3) continue;
        Bytes chunk(16, 0);
        for (size_t k = 0; k < 16 && at < area.size(); ++k) chunk[k] = area[at++];
        card.tag.setBlock(b, chunk);
    }
    ASSERT_EQ(card.check().cause, 0);
    EXPECT_EQ(card.h().currentNdefSize, 300u);
    ASSERT_EQ(card.bench.read(0, 300).cause, 0);
    EXPECT_EQ(card.bench.readData, m);
}

TEST(MifareCheck, AMad2WithAWrongCrcKeepsTheFirstDirectorysSectors) {
    Card card(MifareKind::Classic4K);
    simtags::makeNdefFormatted(card.tag, 20, message(50));
    Bytes b = card.tag.block(64);
    b[0] ^= 0x01;
    card.tag.setBlock(64, b);
    TraceCapture trace;
    debugSetFlags(0x14);
    const Outcome o = card.check();
    debugSetFlags(0);
    EXPECT_EQ(o.cause, 0);
    EXPECT_EQ(card.h().maxNdefSize, 716u);
    EXPECT_TRUE(trace.contains("CRC missmatch in MAD2"));
}

TEST(MifareKeys, AKeyThatWorksLaterInTheListIsTriedFirstNextTime) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 3, message(20));
    for (size_t s = 1; s <= 3; ++s)
        card.tag.setTrailer(s, simtags::kMifareTransportKey, simtags::mifareAccessBytes(0, 0, 0, 3), 0x40,
                            simtags::kMifareNfcKey);
    ASSERT_EQ(card.check().cause, 0);
    const auto first = card.seen(0x60);
    // The MAD sector opens with the first MAD key; the NFC trailer needs the second NFC key.
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(card.keyOf(first[1]), simtags::kMifareNfcKey);
    EXPECT_EQ(card.keyOf(first[2]), simtags::kMifareTransportKey);
    EXPECT_EQ(Bytes(tmsKey(TMS_NFC_KEY_A, 0), tmsKey(TMS_NFC_KEY_A, 0) + 6), simtags::kMifareTransportKey);
    const size_t mark = card.tag.log.size();
    ASSERT_EQ(card.check().cause, 0);
    const auto again = card.seen(0x60, mark);
    ASSERT_GE(again.size(), 2u);
    EXPECT_EQ(card.keyOf(again[1]), simtags::kMifareTransportKey) << "no failed try before it";
    EXPECT_EQ(card.seen(0x60, mark).size(), 2u);
}

TEST(MifareKeys, ARawAuthenticationsKeyGoesToTheListOfItsBlock) {
    Card card;
    card.start();
    const Bytes key = simtags::mifareKey(1, 2, 3, 4, 5, 6);
    Bytes pdu{0x60, 3, 0x3A, 0x5C, 0x71, 0x0D};
    pdu.insert(pdu.end(), key.begin(), key.end());
    tmsSetKeyFromAuthCommand(&card.h(), pdu.data(), static_cast<uint32_t>(pdu.size()));
    EXPECT_EQ(Bytes(tmsKey(TMS_NFC_KEY_A, 0), tmsKey(TMS_NFC_KEY_A, 0) + 6), key);
    pdu[0] = 0x61;
    pdu[1] = 62;
    tmsSetKeyFromAuthCommand(&card.h(), pdu.data(), static_cast<uint32_t>(pdu.size()));
    EXPECT_EQ(Bytes(tmsKey(TMS_MAD_KEY_B, 0), tmsKey(TMS_MAD_KEY_B, 0) + 6), key);
    // The NFC key is the first one the next operation tries on an NFC sector.
    simtags::makeNdefFormatted(card.tag, 3, message(5));
    const size_t mark = card.tag.log.size();
    card.bench.checkNdef();
    const auto auths = card.seen(0x60, mark);
    ASSERT_GE(auths.size(), 2u);
    EXPECT_EQ(card.keyOf(auths[1]), key);
}

TEST(MifareKeys, NfcKeyPropertiesAreRefusedByTheHandler) {
    Card card;
    card.start();
    EXPECT_EQ(thSetProperty(&card.h(), 12, 0x123456), 0u);
    EXPECT_EQ(thSetProperty(&card.h(), 10, 0x030201), 1u);
    EXPECT_EQ(card.property(10), 0x030201u);
    EXPECT_EQ(Bytes(tmsKey(TMS_MAD_KEY_B, 0), tmsKey(TMS_MAD_KEY_B, 0) + 3), (Bytes{1, 2, 3}));
}

TEST(MifareWrite, AChunkedMessageCrossesSectorsAndGetsItsHeaderLast) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 15, message(3));
    ASSERT_EQ(card.check().cause, 0);
    const Bytes m = message(700);
    const size_t mark = card.tag.log.size();
    const Outcome o = card.bench.write(
        {Bytes(m.begin(), m.begin() + 300), Bytes(m.begin() + 300, m.begin() + 500), Bytes(m.begin() + 500, m.end())});
    ASSERT_EQ(o.cause, 0);
    const auto writes = card.seen(0xA0, mark);
    for (const auto& w : writes) EXPECT_NE(w.address % 4, 3u) << "trailer " << w.address << " written";
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().address, 4u);
    EXPECT_EQ(Bytes(writes.back().data.begin(), writes.back().data.begin() + 4), (Bytes{0x03, 0xFF, 0x02, 0xBC}));
    EXPECT_EQ(card.h().currentNdefSize, 700u);
    ASSERT_EQ(card.check().cause, 0);
    ASSERT_EQ(card.bench.read(0, 700).cause, 0);
    EXPECT_EQ(card.bench.readData, m);
}

TEST(MifareWrite, SkipsTheMad2SectorOnA4k) {
    Card card(MifareKind::Classic4K);
    simtags::makeNdefFormatted(card.tag, 20, message(3));
    ASSERT_EQ(card.check().cause, 0);
    const Bytes m = message(900);
    const Bytes mad2Before = card.tag.block(64);
    ASSERT_EQ(card.bench.write({m}).cause, 0);
    for (const auto& w : card.seen(0xA0)) EXPECT_FALSE(w.address >= 64 && w.address < 68);
    EXPECT_EQ(card.tag.block(64), mad2Before);
    ASSERT_EQ(card.check().cause, 0);
    ASSERT_EQ(card.bench.read(0, 900).cause, 0);
    EXPECT_EQ(card.bench.readData, m);
}

TEST(MifareWrite, NothingIsWrittenOutsideTheNfcRun) {
    struct Case {
        std::vector<size_t> chunks;
        uint16_t cause;
    };
    for (const Case& c : {Case{{200, 300}, nfcCauseInputTooBig}, Case{{100, 200}, nfcCauseWrongParameter}}) {
        Card card;
        simtags::makeNdefFormatted(card.tag, 10, message(3));
        simtags::addForeignApplication(card.tag, 11, Bytes(16, 0x5A));
        ASSERT_EQ(card.check().cause, 0);
        EXPECT_EQ(card.h().maxNdefSize, 476u);
        std::vector<Bytes> chunks;
        for (size_t n : c.chunks) chunks.push_back(message(n));
        EXPECT_EQ(card.bench.write(chunks).cause, c.cause);
        for (size_t b = 44; b < 47; ++b) EXPECT_EQ(card.tag.block(b), Bytes(16, 0x5A));
        for (const auto& w : card.seen(0xA0)) EXPECT_LT(w.address, 44u);
    }
}

TEST(MifareRead, AnOffsetPastTheMessageGivesNothing) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 15, message(40));
    ASSERT_EQ(card.check().cause, 0);
    const Outcome o = card.bench.read(50, 10);
    EXPECT_EQ(o.cause, 0);
    EXPECT_EQ(o.count, 0u);
    EXPECT_EQ(card.bench.read(10, 5).cause, nfcCauseTagBufferTooSmall);
    const Bytes m = message(40);
    EXPECT_EQ(card.bench.readData, Bytes(m.begin() + 10, m.begin() + 15));
}

TEST(MifareRead, AShortBlockAnswerIsInvalidData) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 15, message(40));
    card.tag.inject({simtags::FaultKind::Short, 0x30, 1, 1, {}, 8});
    EXPECT_EQ(card.check().cause, nfcCauseInvalidData);
}

TEST(MifareFormat, A4kForAHundredBytesUsesMad2AndOnlyFourSectors) {
    Card card(MifareKind::Classic4K);
    card.start();
    ASSERT_EQ(card.bench.format(100, 0).cause, 0);
    for (const auto& w : card.seen(0xA0)) EXPECT_LT(w.address, 16u) << "block " << w.address;
    EXPECT_EQ(card.tag.block(3)[9], 0xC2);
    const auto nfc = simtags::madNfcSectors(card.tag);
    ASSERT_TRUE(nfc);
    EXPECT_EQ(*nfc, (std::vector<size_t>{1, 2, 3}));
    ASSERT_EQ(card.bench.checkNdef().cause, 0);
    EXPECT_EQ(card.h().maxNdefSize, 142u);
    const Bytes m = message(100);
    ASSERT_EQ(card.bench.write({m}).cause, 0);
    ASSERT_EQ(card.bench.read(0, 100).cause, 0);
    EXPECT_EQ(card.bench.readData, m);
}

TEST(MifareFormat, AFresh1kTakesTheWholeCard) {
    Card card(MifareKind::Classic1K, kUid7);
    card.start();
    ASSERT_EQ(card.bench.format(0, 0).cause, 0);
    const auto nfc = simtags::madNfcSectors(card.tag);
    ASSERT_TRUE(nfc);
    EXPECT_EQ(nfc->size(), 15u);
    ASSERT_EQ(card.bench.checkNdef().cause, 0);
    EXPECT_EQ(card.h().maxNdefSize, 716u);
    EXPECT_EQ(card.h().currentNdefSize, 0u);
    const Bytes m = message(716);
    ASSERT_EQ(card.bench.write({m}).cause, 0);
    ASSERT_EQ(card.bench.read(0, 716).cause, 0);
    EXPECT_EQ(card.bench.readData, m);
}

TEST(MifareReadonly, LocksEveryTrailerAndRefusesLaterWrites) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 15, message(20));
    ASSERT_EQ(card.check().cause, 0);
    const Outcome o = card.bench.setReadonly();
    EXPECT_EQ(o.code, NFACE_SET_READONLY_CONF);
    EXPECT_EQ(o.cause, 0);
    for (size_t s = 0; s < 16; ++s) {
        const Bytes t = card.tag.block(MifareTag::trailerBlock(s));
        EXPECT_EQ(Bytes(t.begin() + 6, t.begin() + 10),
                  (Bytes{0x07, 0x8F, 0x0F, static_cast<uint8_t>(s ? 0x43 : 0xC1)}));
    }
    ASSERT_EQ(card.check().cause, 0);
    EXPECT_EQ(card.property(5), 0u);
    EXPECT_EQ(card.bench.write({message(5)}).cause, nfcCauseWriteProtected);
    ASSERT_EQ(card.bench.read(0, 20).cause, 0);
    EXPECT_EQ(card.bench.readData, message(20));
}

// A trailer write the card refuses ends the make-read-only: the result says what the card now
// is, not writable once any sector is locked, and as it was when none is.
TEST(MifareReadonly, ARefusedTrailerWriteLeavesTheAccessThatTheCardHas) {
    struct Case {
        size_t refusedTrailer;  // counting from 1
        bool writable;
    };
    for (const Case c : {Case{1, true}, Case{2, false}, Case{16, false}}) {
        SCOPED_TRACE(c.refusedTrailer);
        Card card;
        simtags::makeNdefFormatted(card.tag, 15, message(20));
        ASSERT_EQ(card.check().cause, 0);
        card.tag.inject(simtags::Fault{simtags::FaultKind::Nak, 0xA0, std::nullopt, c.refusedTrailer, {}, 0});
        const Outcome o = card.bench.setReadonly();
        EXPECT_EQ(o.code, NFACE_SET_READONLY_CONF);
        EXPECT_EQ(o.reports, 1u);
        EXPECT_NE(o.cause, 0);
        EXPECT_EQ(card.property(5), c.writable ? 1u : 0u);
        EXPECT_EQ((card.h().access & TH_ACCESS_WRITE) != 0, c.writable);
    }
}

TEST(MifareErase, ReturnsEveryKindOfCardToTheTransportConfiguration) {
    struct Case {
        MifareKind kind;
        bool ndef;
    };
    for (const Case c :
         {Case{MifareKind::Classic1K, false}, Case{MifareKind::Classic1K, true}, Case{MifareKind::Classic4K, true},
          Case{MifareKind::Mini, false}, Case{MifareKind::Plus2K, false}, Case{MifareKind::Plus4K, true}}) {
        SCOPED_TRACE(static_cast<int>(c.kind) * 2 + c.ndef);
        Card card(c.kind);
        if (c.ndef) simtags::makeNdefFormatted(card.tag, card.tag.sectors() - 1, message(60));
        const Bytes block0 = card.tag.block(0);
        card.start();
        const Outcome o = card.bench.format(0, TH_FORMAT_ERASE);
        EXPECT_EQ(o.code, NFACE_FORMAT_CONF);
        EXPECT_EQ(o.cause, 0);
        for (size_t s = 0; s < card.tag.sectors(); ++s) EXPECT_TRUE(card.isTransport(s)) << "sector " << s;
        EXPECT_EQ(card.tag.block(0), block0);
        EXPECT_EQ(card.h().isNdef, 0u);
        if (c.ndef && card.tag.sectors() == 16) {
            // The MAD sector's write authentication starts with the NFC Forum key.
            // Each of the three keys is tried once, the NFC Forum key first.
            const auto auths = card.seen(0x61);
            ASSERT_GE(auths.size(), 3u);
            EXPECT_EQ(card.keyOf(auths[0]), simtags::kMifareNfcKey);
            EXPECT_EQ(card.keyOf(auths[1]), simtags::kMifareTransportKey);
            EXPECT_EQ(card.keyOf(auths[2]), simtags::kMifareMadKey);
        }
    }
}

TEST(MifareErase, ASectorNoKeyOpensEndsAfterThreeTries) {
    Card card;
    const Bytes key = simtags::mifareKey(9, 8, 7, 6, 5, 4);
    card.tag.setTrailer(5, key, simtags::mifareAccessBytes(0, 0, 0, 1), 0x69, key);
    card.start();
    EXPECT_EQ(card.bench.format(0, TH_FORMAT_ERASE).cause, 0x206);
    size_t onSector5 = 0;
    for (const auto& a : card.seen(0x60)) onSector5 += a.address == 20;
    EXPECT_EQ(onSector5, 3u);
    for (size_t s = 0; s < 5; ++s) EXPECT_TRUE(card.isTransport(s));
}

TEST(MifareErase, ANakOnABlockEndsTheErase) {
    Card card;
    card.tag.inject({simtags::FaultKind::Nak, 0xA0, std::nullopt, 6, {}, 0});
    card.start();
    EXPECT_EQ(card.bench.format(0, TH_FORMAT_ERASE).cause, nfcCauseRejected);
}

TEST(MifareErase, TheSequencersAccessDecodeNamesTheWriteKeys) {
    struct Case {
        Bytes access;
        bool a[4], b[4];
    };
    for (const Case& c : {Case{{0xFF, 0x07, 0x80}, {true, true, true, true}, {true, true, true, false}},
                          Case{{0x7F, 0x07, 0x88}, {true, true, true, false}, {true, true, true, true}},
                          Case{{0x07, 0x8F, 0x0F}, {false, false, false, false}, {false, false, false, false}}}) {
        Bytes trailer(16, 0);
        std::copy(c.access.begin(), c.access.end(), trailer.begin() + 6);
        bool a[4], b[4];
        tmfWritableBlocks(trailer.data(), a, b);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(a[i], c.a[i]) << i;
            EXPECT_EQ(b[i], c.b[i]) << i;
        }
    }
}

TEST(MifarePlus, ALevel0CardIsPersonalisedAndMustBeActivatedAgain) {
    Card card(MifareKind::Plus4K, kUid7, 0);
    card.start();
    const Outcome o = card.bench.format(0, 0);
    EXPECT_EQ(o.cause, nfcCauseNoMoreWriting);
    const auto& log = card.tag.log;
    ASSERT_EQ(log.size(), 5u);
    for (uint8_t k = 0; k < 4; ++k) {
        EXPECT_EQ(log[k].command.size(), 19u);
        EXPECT_EQ(Bytes(log[k].command.begin(), log[k].command.begin() + 3), (Bytes{0xA8, 0x90, k}));
    }
    EXPECT_EQ(log[4].command, Bytes{0xAA});
    card.tag.reset();
    EXPECT_EQ(card.tag.securityLevel(), 1);
    EXPECT_EQ(*card.tag.a.selRes, 0x18);
}

TEST(MifarePlus, AFailedPersonalisationSendIsReported) {
    Card card(MifareKind::Plus2K, kUid7, 0);
    card.start();
    card.bench.owner.refuseFrom = 2;
    EXPECT_EQ(card.bench.format(0, 0).cause, nfcCauseNotPlausible);
    card.tag.persoStatus = 0x0B;
    card.bench.owner.refuseFrom = SIZE_MAX;
    EXPECT_EQ(card.bench.format(0, 0).cause, 0x206);
}

TEST(MifareTest, PassesWithTheLastKeyAndFailsWhenNoKeyOpens) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 15, message(20));
    ASSERT_EQ(card.check().cause, 0);
    EXPECT_EQ(card.bench.test().cause, 0);
    const Bytes other = simtags::mifareKey(1, 1, 1, 1, 1, 1);
    card.tag.setTrailer(1, other, simtags::mifareAccessBytes(0, 0, 0, 3), 0x40, other);
    card.tag.setTrailer(3, other, simtags::mifareAccessBytes(0, 0, 0, 3), 0x40, other);
    EXPECT_EQ(card.bench.test().cause, 0x206);
}

TEST(MifareMagic, RepairsATrailerItCanStillWriteWithKeyA) {
    Card card;
    simtags::makeNdefFormatted(card.tag, 15, message(20));
    ASSERT_EQ(card.check().cause, 0);
    // Key B no longer opens the sector; key A may still write its access bits.
    card.tag.setTrailer(2, simtags::kMifareNfcKey, simtags::mifareAccessBytes(0, 0, 0, 1), 0x40,
                        simtags::mifareKey(0x11, 0x22, 0x33, 0x44, 0x55, 0x66));
    card.start();
    TTagHandler& h = card.h();
    tmsSetProperty(&h, 16, 1);
    smPostEvent(&h.sm, EV_TH_CMD_MAGIC);
    smProcessEvents(&h.sm);
    ASSERT_TRUE(card.bench.pump());
    const Bytes t = card.tag.block(11);
    EXPECT_EQ(Bytes(t.begin() + 6, t.begin() + 10), (Bytes{0x7F, 0x07, 0x88, 0x40}));
}

} // namespace
