// The Type 2 handler against simulated Type 2 tags in-process: the capability container, the TLV
// scan and its control TLVs, the block cache, chunked writes laid around reserved bytes and
// across sectors, format, make read-only, and images that try to make it read or write where it
// must not. What it left on a tag is decoded by the test's own reader, never by the handler.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "core/nfacemsg.h"
#include "harness.h"
#include "tags/ndef_image.h"
#include "tags/t2t_tag.h"
#include "th/th_frame.h"
#include "th/th_subtypes.h"
#include "th/th_type2.h"

namespace {

using simtags::Exchange;
using simtags::Fault;
using simtags::FaultKind;
using simtags::T2tTag;
using simtags::concat;
using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;
using Chip = T2tTag::Chip;

constexpr uint8_t kRead = 0x30, kWrite = 0xA2;

Bytes counting(size_t n, uint8_t from = 1) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(from + k * 7);
    return b;
}

// A tag in the field with a handler that has identified it.
struct Tagged {
    explicit Tagged(std::shared_ptr<T2tTag> t) : tag(std::move(t)), bench(thtest::fromTag(*tag)) {
        created = bench.create(TAG_ULTRALIGHT_TYPE2, tag->a.nfcid1);
        identified = bench.identify();
    }
    Tagged(Chip chip, bool formatted) : Tagged(T2tTag::make(chip, formatted)) {}

    TTagHandler& h() { return bench.owner.handler; }
    // The exchanges of the tag from index `from` on with this command code.
    std::vector<Exchange> sent(uint8_t op, size_t from = 0) const {
        std::vector<Exchange> out;
        for (size_t k = from; k < tag->log.size(); ++k)
            if (tag->log[k].op == op && !tag->log[k].command.empty()) out.push_back(tag->log[k]);
        return out;
    }
    std::vector<uint32_t> pages(uint8_t op, size_t from = 0) const {
        std::vector<uint32_t> out;
        for (const Exchange& e : sent(op, from)) out.push_back(e.address);
        return out;
    }
    // The data area from byte 16, without the absolute byte ranges given.
    Bytes area(size_t end, const std::vector<std::pair<size_t, size_t>>& skipped = {}) const {
        Bytes out;
        for (size_t p = 16; p < end; ++p) {
            bool skip = false;
            for (const auto& [from, to] : skipped) skip = skip || (p >= from && p < to);
            if (!skip) out.push_back(tag->memory[p]);
        }
        return out;
    }

    std::shared_ptr<T2tTag> tag;
    Bench bench;
    uint32_t created = 0;
    Outcome identified;
};

// A formatted tag whose TLV area is replaced by `tlvs`.
std::unique_ptr<Tagged> withTlvs(Chip chip, const Bytes& tlvs) {
    auto t = T2tTag::make(chip, true);
    t->put(16, tlvs);
    return std::make_unique<Tagged>(t);
}

Bytes readAll(Tagged& t, size_t size) {
    const Outcome o = t.bench.read(0, static_cast<uint32_t>(size));
    EXPECT_EQ(o.cause, 0u);
    return t.bench.readData;
}

// ---- Identification, capability container, TLV scan -------------------------------------------

TEST(Type2, PresetsAreNamedSizedAndCheckedFromTheirCapabilityContainer) {
    struct Case {
        Chip chip;
        uint32_t subtype;
        T2Type type;
        uint32_t physical, max;
    };
    for (const Case c : {Case{Chip::Ultralight, TH_SUBTYPE_UL, T2_TYPE_STATIC, 48, 46},
                         Case{Chip::UltralightC, TH_SUBTYPE_UL_C, T2_TYPE_DYN_NXP_UL, 144, 137},
                         Case{Chip::Ntag144, TH_SUBTYPE_UL_C, T2_TYPE_DYN_NXP_UL, 144, 142},
                         Case{Chip::Ntag496, TH_SUBTYPE_UL_C, T2_TYPE_DYN_NXP_UL, 496, 492},
                         Case{Chip::Ntag872, TH_SUBTYPE_UL_C, T2_TYPE_DYN_NXP_UL, 872, 868},
                         Case{Chip::MydMove, TH_SUBTYPE_MYD_MOVE_66R01P, T2_TYPE_DYN_MY_D_66R01P, 128, 126},
                         Case{Chip::Myd16P, TH_SUBTYPE_MYD_66R16P, T2_TYPE_DYN_MY_D_66R16P, 1008, 946},
                         Case{Chip::Myd32P, TH_SUBTYPE_MYD_66R32P, T2_TYPE_DYN_MY_D_66R32P, 2032, 2010}}) {
        SCOPED_TRACE(thSubtypeName(c.subtype));
        Tagged t(c.chip, true);
        ASSERT_EQ(t.created, 1u);
        EXPECT_EQ(t.identified.code, TH_DEVICE_CONF);
        const Outcome o = t.bench.checkNdef();
        EXPECT_EQ(o.code, NFACE_DEVICE_IND);
        EXPECT_EQ(o.cause, 0u);
        EXPECT_EQ(t.h().isNdef, 1u);
        EXPECT_EQ(t.h().tagSubtype, c.subtype);
        EXPECT_EQ(t2TypeOf(&t.h()), c.type);
        EXPECT_EQ(t.h().physicalSize, c.physical);
        EXPECT_EQ(t.h().maxNdefSize, c.max);
        EXPECT_EQ(t.h().currentNdefSize, 0u);
        EXPECT_EQ(t.h().access & (TH_ACCESS_READ | TH_ACCESS_WRITE), TH_ACCESS_READ | TH_ACCESS_WRITE);
        EXPECT_EQ(t.pages(kRead), (std::vector<uint32_t>{3}));   // CC and TLVs come with one READ
    }
}

TEST(Type2, CapabilityContainerDecidesVersionNdefAndAccess) {
    struct Case {
        Bytes cc;
        uint16_t cause;
        uint16_t access;
    };
    for (const Case& c : {Case{{0xE1, 0x20, 0x12, 0x00}, nfcCauseVersionMismatch, 0x7},
                         Case{{0xE2, 0x10, 0x12, 0x00}, nfcCauseNotNfcForumTag, 0x7},
                         Case{{0x00, 0x00, 0x00, 0x00}, nfcCauseNotNfcForumTag, 0x7},
                         Case{{0xE1, 0x10, 0x12, 0x0F}, 0, TH_ACCESS_READ | TH_ACCESS_FORMATTABLE},
                         Case{{0xE1, 0x1F, 0x12, 0xFF}, 0, TH_ACCESS_FORMATTABLE}}) {
        auto tag = T2tTag::make(Chip::Ntag144, true);
        tag->put(12, c.cc);
        Tagged t(tag);
        EXPECT_EQ(t.bench.checkNdef().cause, c.cause);
        EXPECT_EQ(t.h().access, c.access);
        EXPECT_EQ(t.h().isNdef, c.cause == 0 ? 1u : 0u);
    }
}

TEST(Type2, ControlTlvsBeforeTheNdefTlvAreReservedAndItsMessageRead) {
    const Bytes message = counting(20);
    // A memory control TLV that reserves bytes 40..43, a NULL TLV, an unknown TLV, then the NDEF
    // TLV at 26 whose message runs round the reserved bytes.
    Bytes laid{0x02, 0x03, 0x50, 0x04, 0x03, 0x00, 0xFD, 0x02, 0xAA, 0xBB, 0x03, 20};
    laid = concat(laid, Bytes(message.begin(), message.begin() + 12));
    laid = concat(laid, Bytes(4, 0xEE));
    laid = concat(laid, concat(Bytes(message.begin() + 12, message.end()), {0xFE}));
    auto t = withTlvs(Chip::Ntag144, laid);
    EXPECT_EQ(t->bench.checkNdef().cause, 0u);
    EXPECT_EQ(t->h().currentNdefSize, 20u);
    EXPECT_EQ(t->h().maxNdefSize, 144u - 5 - 4 - 5 - 2);
    EXPECT_EQ(readAll(*t, 20), message);
}

TEST(Type2, CheckGoesOnReadingWhileTheTlvsRunPastTheCachedBlocks) {
    Bytes tlvs(40, 0x00);   // NULL TLVs
    tlvs = concat(tlvs, concat({0x03, 0x03, 0xD1, 0x00, 0x00}, {0xFE}));
    auto t = withTlvs(Chip::Ntag144, tlvs);
    EXPECT_EQ(t->bench.checkNdef().cause, 0u);
    EXPECT_EQ(t->pages(kRead), (std::vector<uint32_t>{3, 7, 11}));
    EXPECT_EQ(readAll(*t, 3), (Bytes{0xD1, 0x00, 0x00}));
    EXPECT_EQ(t->h().maxNdefSize, 144u - 40 - 2);
}

// ---- Hostile images ---------------------------------------------------------------------------------

TEST(Type2, HostileImagesAreRefusedBeforeAnythingIsStoredOrWritten) {
    const Bytes ndef{0x03, 0x00, 0xFE};
    auto mem = [](uint8_t v0) { return Bytes{0x00, 0x02, 0x03, v0, 0x02, 0x03}; };
    struct Case {
        const char* what;
        Bytes tlvs;
        uint16_t cause;
    };
    const Bytes five = concat(concat(concat(concat(concat({0x02, 0x03, 0x74, 0x02, 0x03}, {0x02, 0x03, 0xA0, 0x02, 0x03}),
                                       {0x02, 0x03, 0xC4, 0x02, 0x03}),
                                   {0x02, 0x03, 0xF0, 0x02, 0x03}),
                               {0x02, 0x03, 0x90, 0x02, 0x03}),
                           ndef);
    const Bytes splitting = concat(concat(concat(concat(mem(0x74), mem(0xA0)), mem(0xC4)), mem(0xF0)), ndef);
    for (const Case& c : {
             Case{"a fifth control TLV", five, nfcCauseInternalSoftware},
             Case{"a control TLV of 16 bytes", concat({0x01, 0x10}, Bytes(16, 0x11)), nfcCauseInvalidData},
             Case{"a control TLV in the long form", {0x02, 0xFF, 0x00, 0x03, 0x50, 0x04, 0x03}, nfcCauseInvalidData},
             Case{"reservations past the mapper's slots", splitting, nfcCauseInternalSoftware},
             Case{"a terminator before the NDEF TLV", concat({0xFE}, concat({0x03, 0x01, 0xD0}, {0xFE})), nfcCauseNotNfcForumTag},
             Case{"an NDEF length past the capacity", {0x03, 0x8F, 0xD1}, nfcCauseInvalidData},
             Case{"an NDEF length past the end in the long form", {0x03, 0xFF, 0x01, 0x00}, nfcCauseInvalidData},
             Case{"an unknown TLV with an invalid length", {0xFD, 0xFF, 0xFF, 0xFF}, nfcCauseInvalidData},
             Case{"lock bytes beyond the last sector", {0x01, 0x03, 0xF0, 0x10, 0x0F, 0x03, 0x00, 0xFE}, nfcCauseInvalidData},
         }) {
        SCOPED_TRACE(c.what);
        auto t = withTlvs(Chip::Ntag144, c.tlvs);
        const Outcome o = t->bench.checkNdef();
        EXPECT_EQ(o.reports, 1u);
        EXPECT_EQ(o.cause, c.cause);
        EXPECT_EQ(t->h().isNdef, 0u);
        EXPECT_TRUE(t->sent(kWrite).empty());
    }
}

TEST(Type2, TerminatorFirstEndsTheCheckAtOnce) {
    auto t = withTlvs(Chip::Ntag496, concat({0xFE}, Bytes(60, 0x00)));
    EXPECT_EQ(t->bench.checkNdef().cause, nfcCauseNotNfcForumTag);
    EXPECT_EQ(t->pages(kRead), (std::vector<uint32_t>{3}));
}

TEST(Type2, SmallDynamicTagGetsNoImplicitLockAndLocksOnlyItsStaticBits) {
    // A dynamic layout by its maker with a data area of 32 bytes: no lock bits past the static ones.
    auto tag = T2tTag::make(Chip::Ntag144, true);
    tag->put(12, {0xE1, 0x10, 0x04, 0x00});
    Tagged t(tag);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t2TypeOf(&t.h()), T2_TYPE_DYN_NXP_UL);
    const size_t before = tag->log.size();
    EXPECT_EQ(t.bench.setReadonly().cause, 0u);
    EXPECT_EQ(t.pages(kWrite, before), (std::vector<uint32_t>{3, 2}));
}

TEST(Type2, LockBytesNamedInTheHeaderBlocksAreNeverWritten) {
    // A lock control TLV whose two lock bytes would be bytes 8 and 9: the UID's last bytes.
    auto t = withTlvs(Chip::Ntag144, {0x01, 0x03, 0x08, 0x10, 0x00, 0x03, 0x00, 0xFE});
    const Bytes head = t->tag->bytes(0, 10);
    ASSERT_EQ(t->bench.checkNdef().cause, 0u);
    EXPECT_EQ(t->bench.setReadonly().cause, nfcCauseInternalSoftware);
    EXPECT_EQ(t->pages(kWrite), (std::vector<uint32_t>{3, 2}));
    EXPECT_EQ(t->tag->bytes(0, 10), head);
}

// ---- Cache and read ----------------------------------------------------------------------------------

TEST(Type2, ReadNearTheEndOfASixteenPageTagTakesNoWrappedBytes) {
    auto tag = T2tTag::make(Chip::Ultralight, true);
    const Bytes message = counting(46, 0x40);
    tag->put(16, concat({0x03, 46}, message));
    Tagged t(tag);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const Outcome o = t.bench.read(34, 12);   // bytes 52..63: page 13 on
    EXPECT_EQ(o.cause, 0u);
    EXPECT_EQ(t.bench.readData, Bytes(message.begin() + 34, message.end()));
    EXPECT_EQ(t.pages(kRead), (std::vector<uint32_t>{3, 13}));
    // Pages 13..15 were all the READ gave: the bytes of 12 are read again.
    EXPECT_EQ(t.bench.read(30, 16).cause, 0u);
    EXPECT_EQ(t.bench.readData, Bytes(message.begin() + 30, message.end()));
    EXPECT_EQ(t.pages(kRead), (std::vector<uint32_t>{3, 13, 12}));
}

TEST(Type2, ReadServedFromTheCacheChecksThePresenceWithOneReadOfPageZero) {
    auto t = withTlvs(Chip::Ntag496, {0x03, 0x05, 0xD1, 0x01, 0x01, 0x54, 0x41, 0xFE});
    ASSERT_EQ(t->bench.checkNdef().cause, 0u);
    const size_t before = t->tag->log.size();
    const Outcome o = t->bench.read(0, 5);
    EXPECT_EQ(o.code, NFACE_READ_IND);
    EXPECT_EQ(o.cause, 0u);
    EXPECT_EQ(o.count, 5u);
    EXPECT_EQ(t->pages(kRead, before), (std::vector<uint32_t>{0}));
    EXPECT_EQ(t->tag->log.size(), before + 1);
}

TEST(Type2, ReadWindowsAreCutAtTheMessage) {
    const Bytes message = counting(30);
    auto t = withTlvs(Chip::Ntag496, concat(concat({0x03, 30}, message), {0xFE}));
    ASSERT_EQ(t->bench.checkNdef().cause, 0u);
    struct Case {
        uint32_t offset, size;
        uint16_t cause;
        size_t count;
    };
    for (const Case c : {Case{0, 10, nfcCauseTagBufferTooSmall, 10}, Case{25, 10, 0, 5}, Case{30, 4, 0, 0},
                         Case{1000, 4, 0, 0}, Case{0xFFFFFFF0u, 0x20, 0, 0}}) {
        SCOPED_TRACE(c.offset);
        const Outcome o = t->bench.read(c.offset, c.size);
        EXPECT_EQ(o.cause, c.cause);
        EXPECT_EQ(o.count, c.count);
        if (c.count) {
            EXPECT_EQ(t->bench.readData, Bytes(message.begin() + c.offset, message.begin() + c.offset + c.count));
        }
    }
}

// ---- Write ------------------------------------------------------------------------------------------

struct WriteCase {
    Chip chip;
    std::vector<size_t> chunks;
};

// Every chunk confirmed with cause 0; the header goes out with length 0 first and with the real
// length last; what the tag holds decodes to the message.
TEST(Type2, ChunkedWritesRoundTripWithTheLengthWrittenLast) {
    for (const WriteCase& c : {WriteCase{Chip::Ultralight, {46}}, WriteCase{Chip::Ntag144, {1}}, WriteCase{Chip::Ntag144, {0}},
                               WriteCase{Chip::Ntag496, {100, 100, 54}}, WriteCase{Chip::Ntag496, {255}},
                               WriteCase{Chip::Ntag496, {300, 100, 92}}, WriteCase{Chip::UltralightC, {7, 130}}}) {
        Tagged t(c.chip, true);
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        std::vector<Bytes> chunks;
        Bytes message;
        for (size_t n : c.chunks) {
            chunks.push_back(counting(n, static_cast<uint8_t>(message.size())));
            message = concat(message, chunks.back());
        }
        SCOPED_TRACE(message.size());
        const size_t before = t.tag->log.size(), reportsBefore = t.bench.owner.reports.size();
        const Outcome o = t.bench.write(chunks);
        EXPECT_EQ(o.code, NFACE_WRITE_CONF);
        EXPECT_EQ(o.cause, 0u);
        ASSERT_EQ(t.bench.owner.reports.size() - reportsBefore, chunks.size());
        for (size_t k = reportsBefore; k < t.bench.owner.reports.size(); ++k) EXPECT_EQ(t.bench.owner.reports[k].cause, 0u);
        const auto writes = t.sent(kWrite, before);
        ASSERT_GE(writes.size(), 2u);
        const size_t headerPage = c.chip == Chip::UltralightC ? 5 : 4;   // behind the lock control TLV
        const bool longForm = c.chunks[0] > 254;
        // The message is empty until the last write: the length byte says so in the one-byte form.
        const Bytes zeroHeader = longForm ? Bytes{0x03, 0x00, 0xFE, 0x00} : Bytes{0x03, 0x00};
        const Exchange& first = writes.front();
        const Exchange& last = writes.back();
        EXPECT_EQ(first.address, headerPage);
        EXPECT_EQ(last.address, headerPage);
        const size_t at = c.chip == Chip::UltralightC ? 1 : 0;
        EXPECT_EQ(Bytes(first.data.begin() + at, first.data.begin() + at + zeroHeader.size()), zeroHeader);
        if (longForm)
            EXPECT_EQ(Bytes(last.data.begin(), last.data.begin() + 4),
                      (Bytes{0x03, 0xFF, static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())}));
        else EXPECT_EQ(last.data[at + 1], message.size());
        const Bytes area = c.chip == Chip::UltralightC ? t.area(160, {{16, 21}}) : t.area(16 + t.h().physicalSize);
        EXPECT_EQ(simtags::ndefMessage(area), message);
        EXPECT_EQ(t.h().currentNdefSize, message.size());
        // Read back through a new check.
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        EXPECT_EQ(t.h().currentNdefSize, message.size());
        if (!message.empty()) {
            EXPECT_EQ(readAll(t, message.size()), message);
        }
    }
}

TEST(Type2, WriteOfTheWholeCapacityFillsTheTagWithoutATerminator) {
    for (Chip chip : {Chip::Ntag144, Chip::Ntag872}) {
        Tagged t(chip, true);
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        const Bytes message = counting(t.h().maxNdefSize);
        EXPECT_EQ(t.bench.write({message}).cause, 0u);
        EXPECT_EQ(simtags::ndefMessage(t.area(16 + t.h().physicalSize)), message);
        // Nothing past the data area was touched.
        for (const Exchange& e : t.sent(kWrite)) EXPECT_LT(e.address * 4, 16 + t.h().physicalSize);
        EXPECT_EQ(t.bench.write({concat(message, {0x01})}).cause, nfcCauseInputTooBig);
    }
}

// One part of a write, final or not.
Outcome part(Tagged& t, const Bytes& data, bool final) {
    const size_t reports = t.bench.owner.reports.size();
    thWrite(&t.h(), data.data(), static_cast<uint32_t>(data.size()), final);
    t.bench.pump();
    Outcome o;
    o.reports = t.bench.owner.reports.size() - reports;
    if (o.reports) o.cause = t.bench.owner.reports.back().cause;
    return o;
}

TEST(Type2, PartsBeyondTheCapacityOrTheFirstPartsLengthFormAreRefusedWithoutAWrite) {
    struct Case {
        size_t first, second;
        uint16_t cause;
    };
    for (const Case c : {Case{200, 100, nfcCauseWrongParameter}, Case{400, 100, nfcCauseInputTooBig},
                         Case{0, 493, nfcCauseInputTooBig}}) {
        Tagged t(Chip::Ntag496, true);
        t.tag->put(16, {0x03, 0x02, 0xAB, 0xCD, 0xFE});
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        if (c.first) {
            ASSERT_EQ(part(t, counting(c.first), false).cause, 0u);
        }
        const size_t before = t.tag->log.size();
        const Outcome o = part(t, counting(c.second), true);
        EXPECT_EQ(o.reports, 1u);
        EXPECT_EQ(o.cause, c.cause);
        EXPECT_TRUE(t.sent(kWrite, before).empty());
        // What stands on the tag never looks like a cut message.
        const auto m = simtags::ndefMessage(t.area(512));
        EXPECT_TRUE(m == Bytes{} || m == (Bytes{0xAB, 0xCD}));
    }
}

TEST(Type2, WriteKeepsNullAndUnknownTlvsAndLaysTheMessageBehindThem) {
    auto t = withTlvs(Chip::Ntag144, {0x00, 0x00, 0xFD, 0x02, 0xAA, 0xBB, 0x03, 0x02, 0x11, 0x22, 0xFE});
    ASSERT_EQ(t->bench.checkNdef().cause, 0u);
    EXPECT_EQ(readAll(*t, 2), (Bytes{0x11, 0x22}));
    EXPECT_EQ(t->h().maxNdefSize, 144u - 6 - 2);
    const Bytes message = counting(9);
    EXPECT_EQ(t->bench.write({message}).cause, 0u);
    const Bytes area = t->area(160);
    EXPECT_EQ(Bytes(area.begin(), area.begin() + 6), (Bytes{0x00, 0x00, 0xFD, 0x02, 0xAA, 0xBB}));
    EXPECT_EQ(simtags::ndefMessage(area), message);
}

TEST(Type2, WriteAroundReservedAreasKeepsTheirBytes) {
    Tagged t(Chip::Myd16P, true);
    // The lock bytes at 208..211 and the reserved area at 224..267 hold what they held.
    t.tag->put(224, Bytes(44, 0xA5));
    const Bytes lockBefore = t.tag->bytes(208, 4);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const Bytes message = counting(400);
    EXPECT_EQ(t.bench.write({message}).cause, 0u);
    EXPECT_EQ(t.tag->bytes(224, 44), Bytes(44, 0xA5));
    EXPECT_EQ(t.tag->bytes(208, 4), lockBefore);
    EXPECT_EQ(simtags::ndefMessage(t.area(1024, {{16, 26}, {208, 212}, {224, 268}})), message);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(readAll(t, message.size()), message);
}

TEST(Type2, DataAboveOneKilobyteSelectsTheSectorAndThePassiveAckCountsAsDone) {
    Tagged t(Chip::Myd32P, true);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const Bytes message = counting(t.h().maxNdefSize);
    EXPECT_EQ(t.bench.write({message}).cause, 0u);
    const auto selects = t.sent(0xC2);
    ASSERT_GE(selects.size(), 2u);   // into sector 1 and back to sector 0 for the header
    for (size_t k = 0; k < t.tag->log.size(); ++k) {
        if (t.tag->log[k].op != 0xC2) continue;
        ASSERT_LT(k + 1, t.tag->log.size());
        EXPECT_EQ(t.tag->log[k].answer, Bytes{T2tTag::ACK});
        EXPECT_EQ(t.tag->log[k + 1].command.size(), 4u);
        EXPECT_EQ(t.tag->log[k + 1].answer, std::nullopt);   // acknowledged by silence
    }
    bool timeoutGiven = false;
    for (const auto& pdu : t.bench.owner.pdus) timeoutGiven = timeoutGiven || (pdu.bytes.size() == 4 && pdu.extra == 50);
    EXPECT_TRUE(timeoutGiven);
    EXPECT_EQ(simtags::ndefMessage(t.area(2048, {{16, 26}, {144, 152}})), message);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(readAll(t, message.size()), message);
}

TEST(Type2, FailuresMidWriteLeaveAnEmptyMessageAndReportTheFailure) {
    struct Case {
        const char* what;
        Fault fault;
        uint16_t cause;
    };
    for (const Case& c : {Case{"NAK", Fault{FaultKind::Nak, kWrite, std::nullopt, 3, {}, 0}, nfcCauseInvalidData},
                          Case{"silence", Fault{FaultKind::Silence, kWrite, std::nullopt, 5, {}, 0}, nfcCauseInvalidData}}) {
        SCOPED_TRACE(c.what);
        Tagged t(Chip::Ntag496, true);
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        t.tag->inject(c.fault);
        EXPECT_EQ(t.bench.write({counting(100)}).cause, c.cause);
        EXPECT_EQ(simtags::ndefMessage(t.area(512)), Bytes{});
    }
}

TEST(Type2, ShortOrMissingReadAnswersFailTheCommand) {
    {
        Tagged t(Chip::Ntag496, true);
        t.tag->inject(Fault{FaultKind::Short, kRead, std::nullopt, 1, {}, 8});
        EXPECT_EQ(t.bench.checkNdef().cause, nfcCauseRejected);
        EXPECT_EQ(t.bench.test().cause, nfcCauseWrongState);   // back to Idle: the tag is lost to it
    }
    {
        auto t = withTlvs(Chip::Ntag496, concat({0x03, 60}, counting(60)));
        ASSERT_EQ(t->bench.checkNdef().cause, 0u);
        t->tag->inject(Fault{FaultKind::Short, kRead, std::nullopt, 1, {}, 15});
        EXPECT_EQ(t->bench.read(0, 60).cause, nfcCauseInvalidData);
        t->tag->inject(Fault{FaultKind::Silence, kRead, std::nullopt, 1, {}, 0});
        EXPECT_EQ(t->bench.read(0, 60).cause, nfcCauseInvalidData);
        EXPECT_EQ(t->bench.read(0, 60).cause, 0u);
    }
}

// ---- Format ---------------------------------------------------------------------------------------------

TEST(Type2, BlankTagsAreRecognisedAndFormattedWithTheirTemplates) {
    struct Case {
        Chip chip;
        uint32_t subtype;
        Bytes cc, tlvs;
    };
    for (const Case& c : {Case{Chip::UltralightC, TH_SUBTYPE_UL_C, {0xE1, 0x11, 0x12, 0x00},
                               {0x01, 0x03, 0xA0, 0x10, 0x44, 0x03, 0x00, 0xFE}},
                          Case{Chip::Ultralight, TH_SUBTYPE_UL, {0xE1, 0x10, 0x06, 0x00}, {0x03, 0x00, 0xFE}},
                          Case{Chip::MydMove, TH_SUBTYPE_MYD_MOVE_66R01P, {0xE1, 0x11, 0x10, 0x00}, {0x03, 0x00, 0xFE}}}) {
        SCOPED_TRACE(thSubtypeName(c.subtype));
        Tagged t(c.chip, false);
        const Outcome check = t.bench.checkNdef();
        EXPECT_EQ(check.cause, nfcCauseNotNfcForumTag);
        EXPECT_EQ(t.h().tagSubtype, c.subtype);
        EXPECT_EQ(t.h().access & TH_ACCESS_FORMATTABLE, TH_ACCESS_FORMATTABLE);
        const Outcome f = t.bench.format(0, 0);
        EXPECT_EQ(f.code, NFACE_FORMAT_CONF);
        EXPECT_EQ(f.cause, 0u);
        EXPECT_EQ(t.h().isNdef, 1u);
        EXPECT_EQ(t.tag->bytes(12, 4), c.cc);
        EXPECT_EQ(t.tag->bytes(16, c.tlvs.size()), c.tlvs);
        for (const Exchange& e : t.sent(kWrite)) EXPECT_TRUE(e.address == 3 || e.address >= 4) << e.address;
        // A new check finds the empty message behind the control TLVs.
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        EXPECT_EQ(t.h().currentNdefSize, 0u);
        const Bytes message = counting(t.h().maxNdefSize);
        EXPECT_EQ(t.bench.write({message}).cause, 0u);
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        EXPECT_EQ(readAll(t, message.size()), message);
    }
}

// A blank tag whose first data bytes say nothing of its layout is formatted for no more memory
// than it shows: 16 blocks that wrap a read round, or 20 that refuse a read of the claimed last
// block, are the static 48 bytes, and a message that does not fit them is refused before any
// write.
TEST(Type2, ABlankTagIsTakenForNoMoreMemoryThanItShows) {
    for (size_t pages : {16u, 20u}) {
        SCOPED_TRACE(pages);
        auto tag = std::make_shared<T2tTag>(std::array<uint8_t, 7>{0x04, 0x51, 0x82, 0x3A, 0x6C, 0x2F, 0x80}, pages);
        tag->pastTheEnd = pages == 16 ? T2tTag::PastTheEnd::Wrap : T2tTag::PastTheEnd::Nak;
        Tagged t(tag);
        EXPECT_EQ(t.bench.checkNdef().cause, nfcCauseNotNfcForumTag);
        ASSERT_EQ(t.bench.format(0, 0).cause, 0u);
        EXPECT_EQ(t2TypeOf(&t.h()), T2_TYPE_STATIC);
        EXPECT_EQ(t.tag->bytes(12, 4), (Bytes{0xE1, 0x10, 0x06, 0x00}));
        EXPECT_EQ(t.h().maxNdefSize, 46u);
        const Bytes text = simtags::mimeMessage(37, 3);
        ASSERT_EQ(t.bench.write({text}).cause, 0u);
        t.bench.owner.forbidPdus = true;
        EXPECT_EQ(t.bench.write({simtags::mimeMessage(72, 5)}).cause, nfcCauseInputTooBig);
        t.bench.owner.forbidPdus = false;
        EXPECT_EQ(simtags::ndefMessage(t.area(64)), text);
    }
    Tagged big(Chip::UltralightC, false);
    EXPECT_EQ(big.bench.checkNdef().cause, nfcCauseNotNfcForumTag);
    ASSERT_EQ(big.bench.format(0, 0).cause, 0u);
    EXPECT_EQ(t2TypeOf(&big.h()), T2_TYPE_DYN_NXP_UL) << "48 blocks answer the read of block 39";
    EXPECT_EQ(big.tag->bytes(12, 4), (Bytes{0xE1, 0x11, 0x12, 0x00}));
}

TEST(Type2, FormatWithoutACheckRunsTheCheckFirst) {
    Tagged t(Chip::UltralightC, false);
    const Outcome f = t.bench.format(0, 0);
    EXPECT_EQ(f.reports, 1u);
    EXPECT_EQ(f.cause, 0u);
    EXPECT_EQ(t.tag->bytes(12, 12), (Bytes{0xE1, 0x11, 0x12, 0x00, 0x01, 0x03, 0xA0, 0x10, 0x44, 0x03, 0x00, 0xFE}));
    EXPECT_EQ(t.h().maxNdefSize, 137u);
    EXPECT_EQ(t.bench.format(0, TH_FORMAT_ERASE).cause, nfcCauseNotImplemented);
}

TEST(Type2, FormatOfAFormattedTagKeepsItsLayout) {
    auto t = withTlvs(Chip::Ntag496, {0x03, 0x03, 0xD0, 0x00, 0x00, 0xFE});
    ASSERT_EQ(t->bench.checkNdef().cause, 0u);
    EXPECT_EQ(t->bench.format(0, 0).cause, 0u);
    EXPECT_EQ(t->tag->bytes(12, 7), (Bytes{0xE1, 0x10, 0x3E, 0x00, 0x03, 0x00, 0xFE}));
    EXPECT_EQ(t->h().maxNdefSize, 492u);
}

// ---- Make read-only -------------------------------------------------------------------------------

TEST(Type2, MakeReadOnlySetsTheCcTheStaticAndTheDynamicLockBytes) {
    struct Case {
        Chip chip;
        size_t lockAt, lockBytes;
    };
    for (const Case c : {Case{Chip::UltralightC, 160, 2}, Case{Chip::Ntag872, 888, 13}, Case{Chip::Ultralight, 0, 0}}) {
        Tagged t(c.chip, true);
        // The bytes that share the last lock block are kept.
        const size_t tail = c.lockAt + c.lockBytes;
        if (c.lockBytes) t.tag->put(tail, Bytes((4 - tail % 4) % 4, 0x5A));
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        const size_t before = t.tag->log.size();
        const Outcome o = t.bench.setReadonly();
        EXPECT_EQ(o.code, NFACE_SET_READONLY_CONF);
        EXPECT_EQ(o.cause, 0u);
        EXPECT_EQ(t.tag->memory[15], 0x0F);
        EXPECT_EQ(t.tag->bytes(10, 2), (Bytes{0xFF, 0xFF}));
        if (c.lockBytes) {
            EXPECT_EQ(t.tag->bytes(c.lockAt, c.lockBytes), Bytes(c.lockBytes, 0xFF));
            EXPECT_EQ(t.tag->bytes(tail, (4 - tail % 4) % 4), Bytes((4 - tail % 4) % 4, 0x5A));
        }
        const auto writes = t.pages(kWrite, before);
        ASSERT_GE(writes.size(), 2u);
        EXPECT_EQ(writes[0], 3u);
        EXPECT_EQ(writes[1], 2u);
        EXPECT_EQ(t.h().access & TH_ACCESS_WRITE, 0);
        // Locked: the tag itself refuses what the handler no longer offers.
        EXPECT_TRUE(t.tag->pageLocked(4));
        const size_t after = t.tag->log.size();
        EXPECT_EQ(t.bench.setReadonly().cause, nfcCauseWriteProtected);
        EXPECT_EQ(t.bench.write({counting(4)}).cause, nfcCauseWriteProtected);
        EXPECT_EQ(t.tag->log.size(), after);
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        EXPECT_EQ(t.h().access & (TH_ACCESS_READ | TH_ACCESS_WRITE), TH_ACCESS_READ);
    }
}

TEST(Type2, NoBlockOfTheHeaderAreaIsWrittenButTheCcAndTheStaticLockBytes) {
    Tagged t(Chip::UltralightC, false);
    ASSERT_EQ(t.bench.format(0, 0).cause, 0u);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    ASSERT_EQ(t.bench.write({counting(100)}).cause, 0u);
    ASSERT_EQ(t.bench.setReadonly().cause, 0u);
    std::set<uint32_t> header;
    for (const Exchange& e : t.sent(kWrite))
        if (e.address < 4) header.insert(e.address);
    EXPECT_EQ(header, (std::set<uint32_t>{2, 3}));
    EXPECT_EQ(t.tag->bytes(0, 10), Bytes(t.tag->memory.begin(), t.tag->memory.begin() + 10));
}

// ---- Presence and wrong state ------------------------------------------------------------------------

TEST(Type2, TestIsAPresenceCheckThatFailsOnceTheTagLeft) {
    Tagged t(Chip::Ntag144, true);
    const Outcome ok = t.bench.test();
    EXPECT_EQ(ok.code, NFACE_TEST_IND);
    EXPECT_EQ(ok.cause, 0u);
    ASSERT_EQ(t.bench.owner.pdus.size(), 1u);
    EXPECT_EQ(t.bench.owner.pdus[0].bytes, (Bytes{kRead, 0x00}));
    EXPECT_EQ(t.bench.owner.pdus[0].flags, TH_PDU_CHECK);
    t.tag->removeAfter(0);
    EXPECT_EQ(t.bench.test().cause, nfcCauseRejected);
}

TEST(Type2, MagicReadsBlockAfterBlockUntilAReadFails) {
    Tagged t(Chip::Ultralight, true);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t before = t.tag->log.size();
    t.h().commandMode = TH_MODE_TEST;
    ASSERT_EQ(smPostEvent(&t.h().sm, EV_TH_CMD_MAGIC), 1u);
    smProcessEvents(&t.h().sm);
    ASSERT_TRUE(t.bench.pump());
    const auto reads = t.pages(kRead, before);
    ASSERT_FALSE(reads.empty());
    for (size_t k = 1; k < reads.size(); ++k) EXPECT_EQ(reads[k], reads[k - 1] + 1);
    EXPECT_EQ(t.tag->log.back().answer, Bytes{T2tTag::NAK});   // it stops at the first failed read
    EXPECT_EQ(t.bench.owner.reports.back().cause, 0u);
}

TEST(Type2, CommandsOutsideTheirStatesAreAnsweredWithWrongState) {
    Tagged t(Chip::Ntag144, false);
    EXPECT_EQ(t.bench.read(0, 4).cause, nfcCauseWrongState);    // no NDEF check yet
    EXPECT_EQ(t.bench.write({{1}}).cause, nfcCauseWrongState);
    EXPECT_EQ(t.bench.setReadonly().cause, nfcCauseWrongState);
    EXPECT_TRUE(t.bench.owner.pdus.empty());
}

TEST(Type2, ShortUidIsNotATypeTwoTag) {
    Bench bench;
    ASSERT_EQ(bench.create(TAG_ULTRALIGHT_TYPE2, {0x04, 0x01, 0x02}), 1u);
    const Outcome o = bench.identify();
    EXPECT_EQ(o.code, NFACE_DEVICE_IND);
    EXPECT_EQ(o.cause, nfcCauseNotNfcForumTag);
    EXPECT_EQ(bench.checkNdef().code, NFACE_NFC_NDEF_CHECK_CONF);   // still idle
}

TEST(Type2, PropertiesComeFromTheCapabilityContainerAndTheCheck) {
    Tagged t(Chip::Ntag496, true);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    struct Case {
        uint32_t id, value;
        int found;
    };
    for (const Case c : {Case{0, 0x10, 1}, Case{1, 492, 1}, Case{2, 0, 1}, Case{3, 496, 1}, Case{4, 1, 1}, Case{5, 1, 1},
                         Case{6, 0, 0}}) {
        int found = -1;
        EXPECT_EQ(t.h().getProperty(&t.h(), c.id, &found), c.value) << c.id;
        EXPECT_EQ(found, c.found);
    }
    EXPECT_EQ(thSetProperty(&t.h(), 7, 1), 0u);
}

// ---- Subtype table ---------------------------------------------------------------------------------------

TEST(Subtypes, TheTableNamesEveryChipAndTheFirstRowWins) {
    thInstallSubtypes();
    std::set<std::string> names;
    for (size_t k = 0; k < TH_SUBTYPE_COUNT; ++k) names.insert(thSubtypeRows()[k].name);
    EXPECT_EQ(names.size(), TH_SUBTYPE_COUNT);
    struct Case {
        uint32_t code;
        const char* name;
    };
    for (const Case c : {Case{0, "NONE"}, Case{0x250001, "TOPAZ"}, Case{0x40002, "UL_C"}, Case{0x4000A, "UL_NTAG216F"},
                         Case{0x4000B, "DESFIRE_EV1"}, Case{0x2000E, "ST_M24LR04E"}, Case{0x40011, "NXP_SLI_X_LHC"},
                         Case{0x50005, "INFINEON_MY_D_VICINITY"}, Case{0x70004, "TI_HF_I_PRO"}, Case{0x1, "T4"},
                         Case{0x40012, "<unknown>"}}) {
        EXPECT_STREQ(thSubtypeName(c.code), c.name);
    }
}

} // namespace
