// The simulated tags on their own: each one is fed commands in order and its answers (or its
// silence) compared with what the tag definitions prescribe.
#include <gtest/gtest.h>
#include <nettle/des.h>

#include <memory>
#include <optional>
#include <vector>

#include "tags/iso15693_tag.h"
#include "tags/iso_dep_tag.h"
#include "tags/kovio_tag.h"
#include "tags/ndef_image.h"
#include "tags/t1t_tag.h"
#include "tags/t2t_tag.h"
#include "tags/t3t_tag.h"

using namespace simtags;

namespace {

struct Step {
    Bytes command;
    std::optional<Bytes> answer;   // nullopt: the tag stays silent
};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes counting(size_t n, uint8_t from = 0) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(from + k);
    return b;
}

void run(Tag& tag, const std::vector<Step>& steps) {
    for (size_t k = 0; k < steps.size(); ++k) {
        SCOPED_TRACE("step " + std::to_string(k));
        EXPECT_EQ(tag.exchange(steps[k].command), steps[k].answer);
    }
}

const Bytes kNfcid2{0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
Bytes t3t(uint8_t code, const Bytes& rest, const Bytes& id = kNfcid2) {
    Bytes body = cat(cat({code}, id), rest);
    return cat({static_cast<uint8_t>(body.size() + 1)}, body);
}

} // namespace

TEST(TagModels, Type2ReadsFourPagesWrapsAtTheEndAndProtectsItsUid) {
    T2tTag tag({0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 16);
    for (size_t k = 16; k < tag.memory.size(); ++k) tag.memory[k] = static_cast<uint8_t>(k);
    run(tag, {
                 {{0x30, 0x0E}, cat(counting(8, 56), {0x04, 0x11, 0x22, 0xBF, 0x33, 0x44, 0x55, 0x66})},
                 {{0x30, 0x10}, Bytes{T2tTag::NAK}},
                 {{0xA2, 0x01, 1, 2, 3, 4}, Bytes{T2tTag::NAK}},
                 {{0xA2, 0x0F, 1, 2, 3, 4}, Bytes{T2tTag::ACK}},
                 {{0x30, 0x0F}, cat({1, 2, 3, 4}, {0x04, 0x11, 0x22, 0xBF, 0x33, 0x44, 0x55, 0x66, 0x44, 0x00, 0x00, 0x00})},
                 {{0xA2, 0x05, 1, 2, 3}, std::nullopt},
                 {{0x60}, std::nullopt},
             });
}

TEST(TagModels, Type2LockBitsFreezeTheirPagesAndTheOneTimeBytesOnlyGainBits) {
    auto tag = T2tTag::make(T2tTag::Chip::UltralightC, true);
    const Bytes ack{T2tTag::ACK}, nak{T2tTag::NAK};
    const Bytes serial = tag->bytes(8, 2);
    run(*tag, {
                  {{0xA2, 0x03, 0x00, 0x00, 0x00, 0x0F}, ack},   // the CC only gains bits
                  {{0xA2, 0x02, 0x99, 0x99, 0x28, 0x01}, ack},   // locks pages 3, 5 and 8
                  {{0xA2, 0x03, 1, 2, 3, 4}, nak},
                  {{0xA2, 0x04, 1, 2, 3, 4}, ack},
                  {{0xA2, 0x05, 1, 2, 3, 4}, nak},
                  {{0xA2, 0x08, 1, 2, 3, 4}, nak},
                  {{0xA2, 0x10, 1, 2, 3, 4}, ack},
                  {{0xA2, 0x28, 0x01, 0x00, 0x00, 0x00}, ack},   // dynamic bit 0: bytes 64..79
                  {{0xA2, 0x10, 1, 2, 3, 4}, nak},
                  {{0xA2, 0x14, 1, 2, 3, 4}, ack},
                  {{0xA2, 0x28, 0x00, 0x00, 0x77, 0x00}, ack},
              });
    EXPECT_EQ(tag->bytes(8, 8), cat(serial, {0x28, 0x01, 0xE1, 0x10, 0x12, 0x0F}));   // bytes 8 and 9 kept
    EXPECT_EQ(tag->bytes(160, 4), (Bytes{0x01, 0x00, 0x77, 0x00}));
    EXPECT_TRUE(tag->pageLocked(19));
    EXPECT_FALSE(tag->pageLocked(20));
}

TEST(TagModels, Type2ReadPastTheEndWrapsOnSmallTagsAndIsRefusedOnLargeOnes) {
    auto ul = T2tTag::make(T2tTag::Chip::Ultralight, true);
    auto ntag = T2tTag::make(T2tTag::Chip::Ntag144, true);
    EXPECT_EQ(ul->exchange({0x30, 0x0F}), cat(ul->bytes(60, 4), ul->bytes(0, 12)));
    EXPECT_EQ(ntag->exchange({0x30, 0x29}), ntag->bytes(164, 16));
    EXPECT_EQ(ntag->exchange({0x30, 0x2A}), Bytes{T2tTag::NAK});
    EXPECT_EQ(ntag->exchange({0x30, 0x2D}), Bytes{T2tTag::NAK});
}

TEST(TagModels, Type2SectorSelectIsAcknowledgedThenTheSectorTakenInSilence) {
    auto tag = T2tTag::make(T2tTag::Chip::Myd32P, true);
    tag->put(1024, counting(16, 0x40));
    run(*tag, {
                  {{0xC2, 0xFF}, Bytes{T2tTag::ACK}},
                  {{0x01, 0x00, 0x00, 0x00}, std::nullopt},
                  {{0x30, 0x00}, counting(16, 0x40)},
                  {{0xC2, 0xFF}, Bytes{T2tTag::ACK}},
                  {{0x02, 0x00, 0x00, 0x00}, Bytes{T2tTag::NAK}},   // no third sector
                  {{0xC2, 0xFF}, Bytes{T2tTag::ACK}},
                  {{0x00, 0x00, 0x00, 0x00}, std::nullopt},
              });
    EXPECT_EQ(tag->selectedSector(), 0);
    auto small = T2tTag::make(T2tTag::Chip::Ntag496, true);
    EXPECT_EQ(small->exchange({0xC2, 0xFF}), Bytes{T2tTag::NAK});
}

TEST(TagModels, Type2PresetsCarryTheirLayouts) {
    using C = T2tTag::Chip;
    struct Case {
        C chip;
        bool formatted;
        size_t pages;
        Bytes from12;
    };
    for (const Case& c : {Case{C::Ultralight, false, 16, {0, 0, 0, 0, 0xFF, 0xFF}},
                          Case{C::UltralightC, false, 48, {0, 0, 0, 0, 0x02, 0x00, 0x00, 0x10, 0x00, 0x06, 0x01, 0x10}},
                          Case{C::UltralightC, true, 48, {0xE1, 0x10, 0x12, 0x00, 0x01, 0x03, 0xA0, 0x10, 0x44, 0x03, 0x00, 0xFE}},
                          Case{C::Ntag144, true, 45, {0xE1, 0x10, 0x12, 0x00, 0x03, 0x00, 0xFE}},
                          Case{C::Ntag496, true, 135, {0xE1, 0x10, 0x3E, 0x00, 0x03, 0x00, 0xFE}},
                          Case{C::Ntag872, true, 231, {0xE1, 0x10, 0x6D, 0x00, 0x03, 0x00, 0xFE}},
                          Case{C::MydMove, true, 38, {0xE1, 0x11, 0x10, 0x00, 0x03, 0x00, 0xFE}},
                          Case{C::Myd16P, true, 256, {0xE1, 0x11, 0x7E, 0x00, 0x01, 0x03, 0xD0}},
                          Case{C::Myd32P, true, 512, {0xE1, 0x11, 0xFE, 0x00, 0x01, 0x03, 0x90}}}) {
        auto tag = T2tTag::make(c.chip, c.formatted);
        EXPECT_EQ(tag->pages(), c.pages);
        EXPECT_EQ(tag->bytes(12, c.from12.size()), c.from12);
    }
}

TEST(TagModels, Type1AnswersOnlyItsOwnUidAndKeepsBlockZero) {
    T1tTag tag;
    const Bytes uid4{0x3B, 0x21, 0x43, 0x65};
    Bytes all = cat({0x11, 0x48}, tag.memory);
    run(tag, {
                 {cat({0x00, 0x00, 0x00}, uid4), all},
                 {cat({0x53, 0x08, 0xE1}, uid4), Bytes{0x08, 0xE1}},
                 {cat({0x01, 0x08, 0x00}, uid4), Bytes{0x08, 0xE1}},
                 {cat({0x01, 0x08, 0x00}, {0x3B, 0x21, 0x43, 0x66}), std::nullopt},
                 {cat({0x53, 0x02, 0xFF}, uid4), std::nullopt},
                 {cat({0x01, 0x78, 0x00}, uid4), std::nullopt},
                 {{0x78, 0x00, 0x00}, std::nullopt},
             });
    EXPECT_EQ(tag.memory[2], 0x43);
}

TEST(TagModels, Type3ChecksAndUpdatesThroughItsServices) {
    T3tTag tag;
    const Bytes block = counting(16, 0xA0);
    const Bytes ok{0x00, 0x00};
    auto status = [](uint8_t code, uint8_t sf2) { return t3t(code, {0x01, sf2}); };
    run(tag, {
                 {t3t(0x08, cat({0x01, 0x09, 0x00, 0x01, 0x80, 0x02}, block)), t3t(0x09, ok)},
                 {t3t(0x06, {0x01, 0x0B, 0x00, 0x02, 0x80, 0x02, 0x00, 0x00, 0x00}),   // short and long block forms
                  t3t(0x07, cat(cat({0x00, 0x00, 0x02}, block), Bytes(16, 0x00)))},
                 {t3t(0x08, cat({0x01, 0x0B, 0x00, 0x01, 0x80, 0x02}, block)), status(0x09, 0xA5)},
                 {t3t(0x06, {0x01, 0x0B, 0x00, 0x01, 0x80, 0x10}), t3t(0x07, {0xFF, 0xA8})},
                 {t3t(0x06, {0x01, 0x4B, 0x10, 0x01, 0x80, 0x00}), status(0x07, 0xA6)},
                 {t3t(0x06, {0x01, 0x0B, 0x00, 0x01, 0x81, 0x00}), status(0x07, 0xA3)},
                 {t3t(0x06, {0x01, 0x0B, 0x00, 0x00}), status(0x07, 0xA2)},
                 {t3t(0x06, {0x01, 0x0B, 0x00, 0x01, 0x80, 0x00}, Bytes(8, 0x00)), std::nullopt},
                 {{0x06, 0x00, 0xFF, 0xFF, 0x00, 0x00}, t3t(0x01, {0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF})},
                 {{0x06, 0x00, 0x12, 0xFF, 0x01, 0x00},
                  t3t(0x01, {0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF, 0x12, 0xFC})},
                 {{0x06, 0x00, 0x88, 0xB4, 0x00, 0x00}, std::nullopt},
                 {{0x07, 0x00, 0x12, 0xFC, 0x00, 0x00}, std::nullopt},   // length byte does not match
             });
}

TEST(TagModels, Type4ApplicationSelectsReadsAndUpdatesItsFiles) {
    IsoDepTag tag(Technology::A, 300);
    const Bytes selectApp{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    const Bytes ok{0x90, 0x00};
    auto selectFile = [](uint8_t hi, uint8_t lo) { return Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, hi, lo}; };
    run(tag, {
                 {{0x00, 0xB0, 0x00, 0x00, 0x0F}, Bytes{0x69, 0x86}},
                 {selectFile(0xE1, 0x03), Bytes{0x6A, 0x82}},   // the application first
                 {{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x00}, Bytes{0x6A, 0x82}},
                 {selectApp, ok},
                 {selectFile(0xE1, 0x03), ok},
                 {{0x00, 0xB0, 0x00, 0x00, 0x0F},
                  Bytes{0x00, 0x0F, 0x20, 0x00, 0xFF, 0x00, 0xFF, 0x04, 0x06, 0xE1, 0x04, 0x01, 0x2C, 0x00, 0x00, 0x90, 0x00}},
                 {{0x00, 0xD6, 0x00, 0x00, 0x01, 0x00}, Bytes{0x69, 0x82}},
                 {selectFile(0xE1, 0x05), Bytes{0x6A, 0x82}},
                 {selectFile(0xE1, 0x04), ok},
                 {cat({0x00, 0xD6, 0x01, 0x20, 0x0C}, counting(12)), ok},   // the file's last 12 bytes
                 {{0x00, 0xB0, 0x01, 0x24, 0x10}, cat(counting(8, 4), {0x62, 0x82})},
                 {{0x00, 0xB0, 0x01, 0x2D, 0x01}, Bytes{0x6B, 0x00}},
                 {cat({0x00, 0xD6, 0x01, 0x24, 0x09}, Bytes(9, 0x00)), Bytes{0x6A, 0x84}},
                 {{0x00, 0xB0, 0x00, 0x00, 0x00}, cat(Bytes(256, 0x00), ok)},   // Le 00: 256 bytes
                 {{0x00, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x00}, cat(cat(Bytes(288, 0x00), counting(12)), {0x62, 0x82})},
                 {{0x00, 0xB0, 0x80, 0x00, 0x01}, Bytes{0x6A, 0x86}},
                 {{0x00, 0xCA, 0x00, 0x00, 0x00}, Bytes{0x6D, 0x00}},
                 {{0x80, 0xB0, 0x00, 0x00, 0x01}, Bytes{0x6E, 0x00}},
                 {{0x00, 0xD6, 0x00, 0x00, 0x05, 0x01}, Bytes{0x67, 0x00}},
                 {{0x00, 0xB0}, Bytes{0x67, 0x00}},
             });
    tag.reset();   // deselected: no file is current any more
    run(tag, {{{0x00, 0xB0, 0x00, 0x00, 0x02}, Bytes{0x69, 0x86}}});
}

TEST(TagModels, Iso15693ReadsAndWritesSingleBlocksAddressedOrNot) {
    Iso15693Tag tag({0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78}, 28);
    const Bytes uidOnAir{0x78, 0x56, 0x34, 0x12, 0x00, 0x01, 0x04, 0xE0};
    run(tag, {
                 {{0x02, 0x21, 0x1B, 1, 2, 3, 4}, Bytes{0x00}},
                 {{0x02, 0x20, 0x1B}, Bytes{0x00, 1, 2, 3, 4}},
                 {cat({0x22, 0x20}, cat(uidOnAir, {0x1B})), Bytes{0x00, 1, 2, 3, 4}},
                 {cat({0x22, 0x20}, cat(Bytes(8, 0x00), {0x1B})), std::nullopt},
                 {{0x42, 0x20, 0x1B}, Bytes{0x00, 0x00, 1, 2, 3, 4}},   // option flag: security status first
                 {{0x0A, 0x20, 0x1B, 0x00}, Bytes{0x00, 1, 2, 3, 4}},   // two-byte block number
                 {{0x0A, 0x20, 0x1B, 0x01}, Bytes{0x01, 0x10}},
                 {{0x02, 0x20, 0x1C}, Bytes{0x01, 0x10}},
                 {{0x02, 0x21, 0x00, 1, 2}, Bytes{0x01, 0x02}},
                 {{0x02, 0x22, 0x1B}, Bytes{0x00}},
                 {{0x02, 0x21, 0x1B, 5, 6, 7, 8}, Bytes{0x01, 0x12}},   // a locked block keeps its data
                 {{0x42, 0x20, 0x1B}, Bytes{0x00, 0x01, 1, 2, 3, 4}},
                 {{0x02, 0x2B}, cat({0x00, 0x0F}, cat(uidOnAir, {0x00, 0x00, 0x1B, 0x03, 0x01}))},
                 {{0x02, 0x23}, Bytes{0x01, 0x01}},
                 {{0x02}, std::nullopt},
             });
}

TEST(TagModels, AnIso15693ChipWithWideBlockNumbersNeedsTheExtensionFlag) {
    Iso15693Tag tag({0xE0, 0x02, 0x2C, 0x00, 0x12, 0x34, 0x56, 0x78}, 300, 32, true);
    const Bytes uidOnAir{0x78, 0x56, 0x34, 0x12, 0x00, 0x2C, 0x02, 0xE0};
    run(tag, {
                 {{0x02, 0x20, 0x05}, Bytes{0x01, 0x02}},
                 {{0x0A, 0x21, 0x2B, 0x01, 0x2A}, Bytes{0x01, 0x02}},
                 {cat({0x0A, 0x21, 0x2B, 0x01}, Bytes(32, 0x2A)), Bytes{0x00}},
                 {{0x0A, 0x20, 0x2B, 0x01}, cat({0x00}, Bytes(32, 0x2A))},
                 {{0x0A, 0x20, 0x2C, 0x01}, Bytes{0x01, 0x10}},
                 {{0x02, 0x2B}, cat({0x00, 0x0F}, cat(uidOnAir, {0x00, 0x00, 0x2B, 0x01, 0x1F, 0x01}))},
             });
}

TEST(TagModels, AFelicaLiteGuardsItsBlocksWithTheMemoryConfiguration) {
    auto tag = T3tTag::felicaLite();
    const Bytes id{0x01, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A, 0x79, 0x88};
    const Bytes ok{0x00, 0x00};
    const Bytes block = counting(16, 0x30);
    auto status = [&](uint8_t code, uint8_t sf1, uint8_t sf2) { return t3t(code, {sf1, sf2}, id); };
    run(*tag, {
                  {t3t(0x06, {0x01, 0x0B, 0x00, 0x01, 0x80, 0x85}, id), t3t(0x07, cat({0x00, 0x00, 0x01}, cat({0x88, 0xB4}, Bytes(14, 0))), id)},
                  {t3t(0x06, {0x01, 0x0B, 0x00, 0x05, 0x80, 0, 0x80, 1, 0x80, 2, 0x80, 3, 0x80, 4}, id), status(0x07, 0x01, 0xA2)},
                  {t3t(0x08, cat({0x01, 0x09, 0x00, 0x01, 0x80, 0x0D}, block), id), t3t(0x09, ok, id)},
                  {t3t(0x06, {0x01, 0x0B, 0x00, 0x01, 0x80, 0x0E}, id), status(0x07, 0xFF, 0xA8)},
                  // MC0 = MC1 = 0: every user block and the configuration itself read-only.
                  {t3t(0x08, cat({0x01, 0x09, 0x00, 0x01, 0x80, 0x88}, Bytes(16, 0)), id), t3t(0x09, ok, id)},
                  {t3t(0x08, cat({0x01, 0x09, 0x00, 0x01, 0x80, 0x0D}, Bytes(16, 0)), id), status(0x09, 0x01, 0xA5)},
                  {t3t(0x08, cat({0x01, 0x09, 0x00, 0x01, 0x80, 0x88}, Bytes(16, 0xFF)), id), status(0x09, 0x01, 0xA5)},
              });
    EXPECT_EQ(tag->bytes(13 * 16, 16), block);
}

TEST(TagModels, KovioRepeatsItsIdentifierWhateverItIsSent) {
    KovioTag tag(counting(16));
    run(tag, {{{0x30, 0x00}, counting(16)}, {{}, counting(16)}});
}

// ---- The shape every model shares: the exchange log, faults and the image.

TEST(TagModels, EveryExchangeIsLoggedWithWhatItsProtocolNamesInIt) {
    T2tTag t2;
    t2.exchange({0xA2, 0x05, 1, 2, 3, 4});
    t2.exchange({0x30, 0x10});
    ASSERT_EQ(t2.log.size(), 2u);
    EXPECT_EQ(t2.log[0].op, 0xA2);
    EXPECT_EQ(t2.log[0].address, 5u);
    EXPECT_EQ(t2.log[0].data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(t2.log[0].answer, Bytes{T2tTag::ACK});
    EXPECT_EQ(t2.log[1].answer, Bytes{T2tTag::NAK});

    T1tTag t1;
    t1.exchange({0x53, 0x0A, 0x77, 0x3B, 0x21, 0x43, 0x65});
    EXPECT_EQ(t1.log[0].data, Bytes{0x77});

    Iso15693Tag v;
    v.exchange({0x0A, 0x21, 0x01, 0x02, 1, 2, 3, 4});   // extended block number 0x0201
    EXPECT_EQ(v.log[0].op, 0x21);
    EXPECT_EQ(v.log[0].address, 0x0201u);
    EXPECT_EQ(v.log[0].data, (Bytes{1, 2, 3, 4}));

    IsoDepTag dep;
    dep.exchange({0x00, 0xB0, 0x01, 0x02, 0x04});
    EXPECT_EQ(dep.log[0].op, 0xB0);
    EXPECT_EQ(dep.log[0].address, 0x0102u);
}

TEST(TagModels, FaultsHitTheNthMatchingCommandOnly) {
    T2tTag tag;
    tag.inject({FaultKind::Nak, 0xA2, std::nullopt, 2, {}, 0});
    tag.inject({FaultKind::Silence, 0x30, 4u, 1, {}, 0});
    tag.inject({FaultKind::Short, 0x30, 8u, 1, {}, 3});
    tag.inject({FaultKind::Reply, std::nullopt, std::nullopt, 7, {0x01}, 0});
    run(tag, {
                 {{0xA2, 0x04, 1, 2, 3, 4}, Bytes{T2tTag::ACK}},
                 {{0x30, 0x00}, cat({0x04, 0x11, 0x22, 0xBF, 0x33, 0x44, 0x55, 0x66, 0x44, 0x00, 0x00, 0x00}, Bytes(4, 0))},
                 {{0xA2, 0x05, 1, 2, 3, 4}, Bytes{T2tTag::NAK}},
                 {{0x30, 0x04}, std::nullopt},
                 {{0x30, 0x04}, cat({1, 2, 3, 4}, Bytes(12, 0))},
                 {{0x30, 0x08}, Bytes(3, 0)},
                 {{0xA2, 0x06, 9, 9, 9, 9}, Bytes{0x01}},
                 {{0xA2, 0x06, 9, 9, 9, 9}, Bytes{T2tTag::ACK}},
             });
    EXPECT_EQ(tag.bytes(16, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(tag.bytes(20, 4), Bytes(4, 0)) << "a NAKed write leaves the page alone";
    EXPECT_EQ(tag.bytes(24, 4), (Bytes{9, 9, 9, 9}));
}

TEST(TagModels, ATagRemovedAfterItsExchangesIsSilent) {
    T1tTag tag;
    tag.removeAfter(2);
    const Bytes rid{0x78, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(tag.exchange(rid));
    EXPECT_FALSE(tag.removed());
    EXPECT_TRUE(tag.exchange(rid));
    EXPECT_TRUE(tag.removed());
    EXPECT_EQ(tag.exchange(rid), std::nullopt);
    EXPECT_EQ(tag.log.size(), 3u);
}

TEST(TagModels, ATagThatLeavesWithItsAnswerLostHasCarriedOutTheCommand) {
    Iso15693Tag tag({0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78}, 2);
    tag.removeAfter(1, true);
    EXPECT_EQ(tag.exchange({0x02, 0x21, 0x01, 0xAA, 0xBB, 0xCC, 0xDD}), std::nullopt);
    EXPECT_TRUE(tag.removed());
    EXPECT_EQ(tag.bytes(4, 4), (Bytes{0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(tag.exchange({0x02, 0x21, 0x00, 1, 2, 3, 4}), std::nullopt);
    EXPECT_EQ(tag.bytes(0, 4), Bytes(4, 0)) << "nothing is carried out once it has left";
}

TEST(TagModels, TheImageIsReadAndWrittenByteExactWithinItsSize) {
    Iso15693Tag tag({0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78}, 2);
    tag.put(6, {0xAA, 0xBB, 0xCC});
    EXPECT_EQ(tag.memory, (Bytes{0, 0, 0, 0, 0, 0, 0xAA, 0xBB}));
    EXPECT_EQ(tag.bytes(6, 10), (Bytes{0xAA, 0xBB}));
    EXPECT_TRUE(tag.bytes(8, 1).empty());
    EXPECT_EQ(tag.exchange({0x02, 0x20, 0x01}), (Bytes{0x00, 0x00, 0x00, 0xAA, 0xBB}));
}

TEST(TagModels, AType2AnswerIsJudgedAsDataAckOrNak) {
    T2tTag tag;
    EXPECT_EQ(tag.judge(Bytes{T2tTag::ACK}), Reply::Ack);
    EXPECT_EQ(tag.judge(Bytes{T2tTag::NAK}), Reply::Nak);
    EXPECT_EQ(tag.judge(Bytes{0x01}), Reply::Nak);
    EXPECT_EQ(tag.judge(Bytes(16, 0x0A)), Reply::Data);
    KovioTag kovio;
    EXPECT_EQ(kovio.judge(kovio.barcode), Reply::Data);
}

TEST(NdefImage, DecodesTheTlvsAndRecordsOfADataArea) {
    // Lock control, NULL, NDEF (one short Text record "hi"), terminator.
    const Bytes area{0x01, 0x03, 0xA0, 0x0C, 0x34, 0x00, 0x03, 0x09, 0xD1, 0x01, 0x05, 0x54,
                     0x02, 0x65, 0x6E, 0x68, 0x69, 0xFE, 0x00, 0x00};
    const auto tlvs = readTlvs(area);
    ASSERT_TRUE(tlvs);
    ASSERT_EQ(tlvs->size(), 3u);
    EXPECT_EQ((*tlvs)[1].offset, 6u);
    const auto message = ndefMessage(area);
    ASSERT_TRUE(message);
    const auto records = parseNdef(*message);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0].tnf, 1);
    EXPECT_EQ((*records)[0].type, Bytes{'T'});
    EXPECT_EQ((*records)[0].payload, (Bytes{0x02, 'e', 'n', 'h', 'i'}));

    EXPECT_FALSE(readTlvs({0x03, 0xFF, 0x01, 0x00, 0x01})) << "a value past the area";
    EXPECT_FALSE(parseNdef({0xD1, 0x01, 0x09, 0x54, 0x02})) << "a payload past the message";
    EXPECT_EQ(ndefMessage({0x03, 0x00, 0xFE}), Bytes{}) << "an empty NDEF TLV";
}

namespace {

Bytes desfire(uint8_t ins, const Bytes& data = {}) {
    Bytes b{0x90, ins, 0x00, 0x00};
    if (!data.empty()) {
        b.push_back(static_cast<uint8_t>(data.size()));
        b.insert(b.end(), data.begin(), data.end());
    }
    b.push_back(0x00);
    return b;
}

Bytes status91(uint8_t code, Bytes data = {}) {
    data.push_back(0x91);
    data.push_back(code);
    return data;
}

Bytes des(const uint8_t key[8], const Bytes& block, bool encrypt) {
    des_ctx ctx;
    des_set_key(&ctx, key);
    Bytes out(8);
    if (encrypt) des_encrypt(&ctx, 8, out.data(), block.data());
    else des_decrypt(&ctx, 8, out.data(), block.data());
    return out;
}

} // namespace

TEST(TagModels, DesfireDirectoryFilesAndFrames) {
    DesfireTag tag;
    const Bytes ndefAid{0x10, 0xEE, 0xEE};
    run(tag, {
                 {desfire(0x60), status91(0xAF, {0x04, 0x01, 0x01, 0x00, 0x01, 0x18, 0x05})},
                 {desfire(0xAF), status91(0xAF, {0x04, 0x01, 0x01, 0x00, 0x06, 0x18, 0x05})},
                 {desfire(0xAF), status91(0x00, cat(tag.a.nfcid1, {0xBA, 0x7C, 0x40, 0x00, 0x12, 0x34, 0x26}))},
                 {desfire(0x5A, ndefAid), status91(0xA0)},
                 {desfire(0xCA, cat(ndefAid, {0x0F, 0x01})), status91(0x00)},
                 {desfire(0xCA, cat(ndefAid, {0x0F, 0x01})), status91(0xDE)},
                 {desfire(0x5A, ndefAid), status91(0x00)},
                 {desfire(0xCA, cat({0x11, 0x22, 0x33}, {0x0F, 0x01})), status91(0x9D)},   // not on the PICC level
                 {desfire(0xCD, {0x04, 0x00, 0xEE, 0xEE, 100, 0, 0}), status91(0x00)},
                 {desfire(0xCD, {0x04, 0x00, 0xEE, 0xEE, 100, 0, 0}), status91(0xDE)},
                 {desfire(0x3D, cat({0x04, 95, 0, 0, 10, 0, 0}, Bytes(10, 0xAB))), status91(0xBE)},
                 {desfire(0x3D, cat({0x04, 90, 0, 0, 10, 0, 0}, Bytes(10, 0xAB))), status91(0x00)},
                 {desfire(0xBD, {0x04, 0, 0, 0, 100, 0, 0}), status91(0xAF, Bytes(59, 0))},
                 {desfire(0xAF), status91(0x00, cat(Bytes(31, 0), Bytes(10, 0xAB)))},
                 {desfire(0xBD, {0x04, 90, 0, 0, 11, 0, 0}), status91(0xBE)},
                 {desfire(0xBD, {0x05, 0, 0, 0, 1, 0, 0}), status91(0xF0)},
                 {desfire(0xFC), status91(0xAE)},
                 {desfire(0x5A, {0, 0, 0}), status91(0x00)},
                 {desfire(0xFC), status91(0xAE)},   // not authenticated
                 {desfire(0x77), status91(0x1C)},
             });
    EXPECT_EQ(tag.applications.size(), 1u);
}

TEST(TagModels, DesfireFormatsOnlyAfterTheLegacyAuthentication) {
    for (const bool rightKey : {true, false}) {
        SCOPED_TRACE(rightKey);
        DesfireTag tag;
        tag.createNdefApplication(64);
        const uint8_t key[8] = {};
        if (!rightKey) tag.piccKey[0] = 0x5A;
        ASSERT_EQ(tag.exchange(desfire(0x5A, {0, 0, 0})), status91(0x00));
        const auto first = tag.exchange(Bytes{0x90, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00});
        ASSERT_TRUE(first);
        ASSERT_EQ(first->size(), 10u);
        EXPECT_EQ(Bytes(first->end() - 2, first->end()), (Bytes{0x91, 0xAF}));
        // The reader's side, in the legacy chaining: deciphering where it sends.
        const Bytes rndB = des(key, Bytes(first->begin(), first->begin() + 8), false);
        Bytes rotated(rndB.begin() + 1, rndB.end());
        rotated.push_back(rndB[0]);
        const Bytes rndA{1, 2, 3, 4, 5, 6, 7, 8};
        const Bytes a = des(key, rndA, false);
        Bytes x(8);
        for (size_t i = 0; i < 8; ++i) x[i] = rotated[i] ^ a[i];
        const Bytes second = tag.exchange(desfire(0xAF, cat(a, des(key, x, false)))).value_or(Bytes{});
        if (!rightKey) {
            EXPECT_EQ(second, status91(0xAE));
            EXPECT_EQ(tag.exchange(desfire(0xFC)), status91(0xAE));
            EXPECT_FALSE(tag.applications.empty());
            continue;
        }
        Bytes rotatedA(rndA.begin() + 1, rndA.end());
        rotatedA.push_back(rndA[0]);
        EXPECT_EQ(second, status91(0x00, des(key, rotatedA, true)));
        EXPECT_EQ(tag.exchange(desfire(0xFC)), status91(0x00));
        EXPECT_TRUE(tag.applications.empty());
    }
}

TEST(TagModels, Type4CardOfMappingOneAnswersOnlyItsName) {
    IsoDepTag tag(Technology::A, 0xFFFE, IsoDepTag::Mapping::V1Only);
    tag.setMessage(counting(300));
    run(tag, {
                 {{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00}, Bytes{0x6A, 0x82}},
                 {{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x00}, Bytes{0x90, 0x00}},
                 {{0x00, 0xA4, 0x00, 0x00, 0x02, 0xE1, 0x04}, Bytes{0x90, 0x00}},
                 // Extended Le: the whole message in one answer.
                 {{0x00, 0xB0, 0x00, 0x02, 0x00, 0x01, 0x2C}, cat(counting(300), {0x90, 0x00})},
             });
    EXPECT_EQ(tag.file(IsoDepTag::NDEF_FILE).size(), 0xFFFEu);
}
