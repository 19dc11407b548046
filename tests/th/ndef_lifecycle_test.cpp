// Every family through the life of a tag's NDEF content, against its simulated tag: an erase
// leaves no NDEF behind until the tag is formatted again; a write that the tag leaves in the
// middle of, or refuses at any command, leaves the old, an empty or the new message and nothing
// else, and a read after it returns what the tag holds. The tag's memory is decoded by the
// test's own readers.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "core/nfacemsg.h"
#include "harness.h"
#include "tags/iso15693_tag.h"
#include "tags/iso_dep_tag.h"
#include "tags/mifare_tag.h"
#include "tags/ndef_image.h"
#include "tags/t1t_tag.h"
#include "tags/t2t_tag.h"
#include "tags/t3t_tag.h"
#include "th/th_frame.h"
#include "th/th_mifare.h"

namespace {

using simtags::Fault;
using simtags::FaultKind;
using simtags::concat;
using simtags::ndefTlv;
using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;

// What a reader finds on the tag: a message (empty for an NDEF TLV of length 0), or nothing a
// reader would take as NDEF at all.
using Stored = std::optional<Bytes>;
using TagPtr = std::unique_ptr<simtags::Tag>;

Bytes message(size_t n, uint8_t step) { return simtags::mimeMessage(n, step); }

// ---- Images and readers, by family --------------------------------------------------------------

const Bytes kT1DynamicTlvs{0x01, 0x03, 0xF2, 0x30, 0x33, 0x02, 0x03, 0xF0, 0x02, 0x03};

// The Type 1 data area as a reader walks it: bytes 12-103, then from 128 on.
Bytes t1Area(const simtags::Tag& t) { return concat(t.bytes(12, 92), t.bytes(128, t.memory.size())); }

TagPtr t1Tag(size_t memory, const std::optional<Bytes>& content) {
    auto tag = std::make_unique<simtags::T1tTag>(std::array<uint8_t, 7>{0x3B, 0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB}, memory);
    if (!content) return tag;
    const bool dynamic = memory > simtags::T1tTag::STATIC_SIZE;
    tag->put(8, {0xE1, 0x10, static_cast<uint8_t>(dynamic ? 0x3F : 0x0E), 0x00});
    Bytes area = concat(dynamic ? kT1DynamicTlvs : Bytes{}, ndefTlv(*content));
    for (size_t k = 0, at = 12; k < area.size(); ++k, ++at) {
        if (at == 104) at = 128;
        tag->memory.at(at) = area[k];
    }
    return tag;
}

Stored t1Stored(simtags::Tag& t) {
    if (t.memory[8] != 0xE1) return std::nullopt;
    return simtags::firstNdefMessage(t1Area(t));
}

// A lock control TLV for the dynamic lock bytes at 512 (after 496 data bytes): 56 bits, each
// locking 8 bytes, pages of 64 bytes. It puts the NDEF TLV at offset 1 of its block.
const Bytes kT2LockTlv{0x01, 0x03, 0x80, 0x38, 0x36};

TagPtr t2Tag(const Bytes& before, const std::optional<Bytes>& content) {
    auto shared = simtags::T2tTag::make(simtags::T2tTag::Chip::Ntag496, true);
    auto tag = std::make_unique<simtags::T2tTag>(std::array<uint8_t, 7>{0x04, 0x51, 0x82, 0x3A, 0x6C, 0x2F, 0x80}, 135);
    tag->memory = shared->memory;
    tag->pastTheEnd = shared->pastTheEnd;
    tag->dynamicLock = shared->dynamicLock;
    tag->put(16, concat(before, content ? ndefTlv(*content) : Bytes{0x03, 0x00, 0xFE}));
    return tag;
}

Stored t2Stored(simtags::Tag& t) {
    if (t.memory[12] != 0xE1) return std::nullopt;
    return simtags::firstNdefMessage(t.bytes(16, 496));
}

TagPtr vicinityTag(std::array<uint8_t, 8> uid, size_t blocks, size_t blockSize, const std::optional<Bytes>& content) {
    auto tag = std::make_unique<simtags::Iso15693Tag>(uid, blocks, blockSize, false);
    if (!content) return tag;
    tag->put(0, {0xE1, 0x40, static_cast<uint8_t>(std::min<size_t>(blocks * blockSize / 8, 0xFF)), 0x01});
    tag->put(4, ndefTlv(*content));
    return tag;
}

Stored vicinityStored(simtags::Tag& t) {
    if (t.memory[0] != 0xE1) return std::nullopt;
    return simtags::firstNdefMessage(t.bytes(4, t.memory.size()));
}

Bytes aib(uint8_t nmaxb, uint8_t writeFlag, size_t ln) {
    Bytes b{0x10, 4, 3, 0x00, nmaxb, 0, 0, 0, 0, writeFlag, 0x01, static_cast<uint8_t>(ln >> 16), static_cast<uint8_t>(ln >> 8),
            static_cast<uint8_t>(ln)};
    unsigned sum = 0;
    for (uint8_t x : b) sum += x;
    b.push_back(static_cast<uint8_t>(sum >> 8));
    b.push_back(static_cast<uint8_t>(sum));
    return b;
}

TagPtr felicaTag(const std::optional<Bytes>& content) {
    auto tag = std::make_unique<simtags::T3tTag>();
    tag->maxRead = 4;
    tag->maxWrite = 3;
    if (!content) return tag;
    tag->put(0, aib(15, 0x00, content->size()));
    tag->put(16, *content);
    return tag;
}

// The attribute block decides: a write in progress may only announce an empty message.
Stored felicaStored(simtags::Tag& t) {
    const Bytes b = t.bytes(0, 16);
    unsigned sum = 0;
    for (size_t k = 0; k < 14; ++k) sum += b[k];
    if ((b[0] & 0xF0) != 0x10 || (sum & 0xFFFF) != (unsigned{b[14]} << 8 | b[15])) return std::nullopt;
    const size_t ln = size_t{b[11]} << 16 | size_t{b[12]} << 8 | b[13];
    if (b[9] != 0x00) return ln == 0 ? Stored{Bytes{}} : std::nullopt;
    const Bytes data = t.bytes(16, ln);
    if (data.size() != ln) return std::nullopt;
    return data;
}

TagPtr isoDepTag(const std::optional<Bytes>& content) {
    auto tag = std::make_unique<simtags::IsoDepTag>(simtags::Technology::A, 1024);
    simtags::IsoDepTag::Cc cc = tag->cc();
    cc.mle = 0x0040;
    cc.mlc = 0x0030;
    tag->setCc(cc);
    if (content) tag->setMessage(*content);
    return tag;
}

Stored nlenStored(const Bytes& file) {
    if (file.size() < 2) return std::nullopt;
    const size_t nlen = size_t{file[0]} << 8 | file[1];
    if (nlen + 2 > file.size()) return std::nullopt;
    return Bytes(file.begin() + 2, file.begin() + 2 + static_cast<std::ptrdiff_t>(nlen));
}

Stored isoDepStored(simtags::Tag& t) { return nlenStored(static_cast<simtags::IsoDepTag&>(t).file(simtags::IsoDepTag::NDEF_FILE)); }

TagPtr desfireTag(const std::optional<Bytes>& content) {
    auto tag = std::make_unique<simtags::DesfireTag>();
    tag->a.nfcid1 = {0x04, 0x31, 0x42, 0x53, 0x64, 0x75, 0x86};
    if (content) tag->createNdefApplication(1024, *content);
    return tag;
}

Stored desfireStored(simtags::Tag& t) {
    const simtags::DesfireTag::File* f = static_cast<simtags::DesfireTag&>(t).ndefFile();
    return f ? nlenStored(f->data) : std::nullopt;
}

TagPtr mifareTag(const std::optional<Bytes>& content) {
    auto tag = std::make_unique<simtags::MifareTag>(simtags::MifareKind::Classic1K);
    if (content) simtags::makeNdefFormatted(*tag, 15, *content);
    else simtags::makeFactoryFresh(*tag);
    return tag;
}

// The data blocks of the sectors the directory gives the NFC Forum, as one stream.
Stored mifareStored(simtags::Tag& t) {
    const auto& card = static_cast<simtags::MifareTag&>(t);
    const auto sectors = simtags::madNfcSectors(card);
    if (!sectors) return std::nullopt;
    Bytes area;
    for (size_t s : *sectors)
        for (size_t b = simtags::MifareTag::firstBlock(s); b < simtags::MifareTag::trailerBlock(s); ++b)
            area = concat(area, card.block(b));
    return simtags::firstNdefMessage(area);
}

// ---- The families -------------------------------------------------------------------------------

struct Family {
    std::string name;
    uint32_t tagType;
    std::function<TagPtr(const std::optional<Bytes>&)> make;   // holding the message, or blank
    std::function<Stored(simtags::Tag&)> stored;
    size_t oldSize, newSize;
    bool erasable = true;
};

std::ostream& operator<<(std::ostream& os, const Family& f) { return os << f.name; }

std::vector<Family> families() {
    using Uid = std::array<uint8_t, 8>;
    const Uid nxp{0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78}, st{0xE0, 0x02, 0x0C, 0x00, 0x12, 0x34, 0x56, 0x78};
    return {
        {"StaticType1", TAG_JEWEL_TYPE1, [](const auto& c) { return t1Tag(simtags::T1tTag::STATIC_SIZE, c); }, t1Stored, 30, 80},
        {"DynamicType1Long", TAG_JEWEL_TYPE1, [](const auto& c) { return t1Tag(512, c); }, t1Stored, 30, 300},
        {"DynamicType1LongToShort", TAG_JEWEL_TYPE1, [](const auto& c) { return t1Tag(512, c); }, t1Stored, 300, 100},
        {"Type2Long", TAG_ULTRALIGHT_TYPE2, [](const auto& c) { return t2Tag({}, c); }, t2Stored, 30, 300, false},
        {"Type2BehindALockTlvLong", TAG_ULTRALIGHT_TYPE2, [](const auto& c) { return t2Tag(kT2LockTlv, c); }, t2Stored, 300, 280,
         false},
        {"Type2BehindALockTlvShortToLong", TAG_ULTRALIGHT_TYPE2, [](const auto& c) { return t2Tag(kT2LockTlv, c); }, t2Stored, 40,
         300, false},
        {"Type2BehindALockTlvShort", TAG_ULTRALIGHT_TYPE2, [](const auto& c) { return t2Tag(kT2LockTlv, c); }, t2Stored, 40, 60,
         false},
        {"Iso15693", TAG_15693, [nxp](const auto& c) { return vicinityTag(nxp, 28, 4, c); }, vicinityStored, 20, 90},
        {"Iso15693EightByteBlocksLong", TAG_15693, [st](const auto& c) { return vicinityTag(st, 64, 8, c); }, vicinityStored, 30,
         300},
        {"Iso15693SixByteBlocksLong", TAG_15693, [st](const auto& c) { return vicinityTag(st, 64, 6, c); }, vicinityStored, 30, 300},
        {"Felica", TAG_FELICA_TYPE3, felicaTag, felicaStored, 30, 100},
        {"IsoDep", TAG_ISO14443A, isoDepTag, isoDepStored, 30, 200, false},
        {"Desfire", TAG_DESFIRE_TYPE4, desfireTag, desfireStored, 30, 200},
        {"Mifare1K", TAG_MIFARE_STD_1K, mifareTag, mifareStored, 30, 100},
    };
}

Bytes uidOf(const simtags::Tag& tag) {
    switch (tag.technology) {
    case simtags::Technology::F: return Bytes(tag.f.sensfRes.begin(), tag.f.sensfRes.begin() + 8);
    case simtags::Technology::V: return Bytes(tag.v.uid.begin(), tag.v.uid.end());
    default: return tag.a.nfcid1;
    }
}

// A tag of the family in front of its handler, identified and checked.
struct OnTag {
    OnTag(const Family& f, const std::optional<Bytes>& content) : family(f), tag(f.make(content)), bench(thtest::fromTag(*tag)) {
        tmsResetKeyLists();
        bench.create(f.tagType, uidOf(*tag));
        if (tag->a.selRes) bench.owner.tag.a.sak = *tag->a.selRes;
        bench.identify();
        checked = bench.checkNdef();
    }
    TTagHandler& h() { return bench.owner.handler; }
    Stored stored() { return family.stored(*tag); }
    size_t seen() const { return tag->log.size(); }

    const Family& family;
    TagPtr tag;
    Bench bench;
    Outcome checked;
};

struct Lifecycle : ::testing::TestWithParam<Family> {
    Bytes oldMessage() const { return message(GetParam().oldSize, 3); }
    Bytes newMessage() const { return message(GetParam().newSize, 7); }
    // The exchanges a whole write of the new message over the old one takes.
    size_t writeLength() {
        OnTag t(GetParam(), oldMessage());
        const size_t before = t.seen();
        EXPECT_EQ(t.bench.write({newMessage()}).cause, 0u);
        EXPECT_EQ(t.stored(), newMessage());
        return t.seen() - before;
    }
    ::testing::AssertionResult oldEmptyOrNew(const Stored& s) {
        if (s == oldMessage() || s == Bytes{} || s == newMessage()) return ::testing::AssertionSuccess();
        if (!s) return ::testing::AssertionFailure() << "the tag holds no NDEF message";
        return ::testing::AssertionFailure() << "the tag holds a message of " << s->size() << " bytes";
    }
};

TEST_P(Lifecycle, AnEraseLeavesNoNdefUntilTheTagIsFormatted) {
    OnTag t(GetParam(), oldMessage());
    ASSERT_EQ(t.checked.cause, 0u);
    const Outcome erased = t.bench.format(0, TH_FORMAT_ERASE);
    ASSERT_EQ(erased.code, NFACE_FORMAT_CONF);
    if (!GetParam().erasable) {
        // A tag without an erase refuses it and keeps its message.
        EXPECT_NE(erased.cause, 0u);
        EXPECT_EQ(t.stored(), oldMessage());
        if (t.bench.read(0, 4096).cause == 0) {
            EXPECT_EQ(t.bench.readData, oldMessage());
        }
        return;
    }
    ASSERT_EQ(erased.cause, 0u);
    EXPECT_EQ(t.h().isNdef, 0u);
    EXPECT_EQ(t.h().currentNdefSize, 0u);
    EXPECT_EQ(t.stored(), std::nullopt);
    const Outcome read = t.bench.read(0, 4096);
    EXPECT_EQ(read.code, NFACE_READ_IND);
    EXPECT_EQ(read.cause, nfcCauseWrongState) << "refused as on a tag without NDEF";
    EXPECT_EQ(read.count, 0u);
    t.bench.owner.forbidPdus = true;
    EXPECT_EQ(t.bench.write({newMessage()}).cause, nfcCauseWrongState);
    t.bench.owner.forbidPdus = false;

    const Outcome formatted = t.bench.format(0, 0);
    ASSERT_EQ(formatted.cause, 0u);
    EXPECT_EQ(t.stored(), Bytes{});
    ASSERT_EQ(t.bench.write({newMessage()}).cause, 0u);
    EXPECT_EQ(t.stored(), newMessage());
    EXPECT_EQ(t.bench.read(0, 4096).cause, 0u);
    EXPECT_EQ(t.bench.readData, newMessage());
}

// The tag leaves after n commands of the write, for every n, with the nth carried out and
// answered or carried out and its answer lost.
TEST_P(Lifecycle, AWriteTheTagLeavesAnywhereLeavesTheOldAnEmptyOrTheNewMessage) {
    const size_t length = writeLength();
    ASSERT_GT(length, 1u);
    for (bool answerLost : {false, true}) {
        for (size_t n = 0; n <= length; ++n) {
            SCOPED_TRACE(testing::Message() << "leaves after " << n << " of " << length << (answerLost ? ", answer lost" : ""));
            OnTag t(GetParam(), oldMessage());
            ASSERT_EQ(t.checked.cause, 0u);
            t.tag->removeAfter(n, answerLost);
            const Outcome w = t.bench.write({newMessage()});
            EXPECT_EQ(w.reports, 1u);
            EXPECT_TRUE(oldEmptyOrNew(t.stored()));
            if (n == length && !answerLost) {
                EXPECT_EQ(w.cause, 0u);
            }
            if (n < length) {
                EXPECT_NE(w.cause, 0u) << "a write cut short is no success";
            }
        }
    }
}

// The tag refuses the nth command of the write, for every n, and stays: a read then returns
// what the tag holds, never what the handler meant to write.
TEST_P(Lifecycle, AReadAfterARefusedWriteReturnsWhatTheTagHolds) {
    const size_t length = writeLength();
    for (size_t n = 1; n <= length; ++n) {
        SCOPED_TRACE(testing::Message() << "refused at " << n << " of " << length);
        OnTag t(GetParam(), oldMessage());
        ASSERT_EQ(t.checked.cause, 0u);
        t.tag->inject(Fault{FaultKind::Nak, std::nullopt, std::nullopt, n, {}, 0});
        const Outcome w = t.bench.write({newMessage()});
        EXPECT_EQ(w.reports, 1u);
        const Stored s = t.stored();
        EXPECT_TRUE(oldEmptyOrNew(s));
        if (w.cause == 0) {
            EXPECT_EQ(s, newMessage()) << "a write reported whole is on the tag";
        }
        if (t.bench.read(0, 4096).cause == 0) {
            EXPECT_EQ(t.bench.readData, s.value_or(Bytes{}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Families, Lifecycle, ::testing::ValuesIn(families()), [](const auto& info) { return info.param.name; });

} // namespace
