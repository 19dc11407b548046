// The Type 3 handler against the simulated FeliCa tag: the attribute information block, reads
// across several CHECKs, writes with leftovers between parts, capacity and block-limit
// measurement, format and wipe, the FeliCa Lite detection, system option and read-only
// sequence, and the presence test; every hostile image or answer ends with a cause.
#include <gtest/gtest.h>

#include "core/nfacemsg.h"
#include "harness.h"
#include "tags/ndef_image.h"
#include "tags/t3t_tag.h"
#include "th/th_frame.h"

namespace {

using simtags::Fault;
using simtags::FaultKind;
using simtags::T3tTag;
using simtags::concat;
using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;

constexpr uint8_t CHECK = 0x06, UPDATE = 0x08;

Bytes counting(size_t n, uint8_t from = 0) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(from + k);
    return b;
}

struct AibFields {
    uint8_t ver = 0x10, nbr = 4, nbw = 3;
    uint16_t nmaxb = 10;
    uint8_t writeFlag = 0, rwFlag = 1;
    uint32_t ln = 0;
    int checksumDelta = 0;
};

// Block 0 as the NFC Forum defines it: the checksum is the sum of bytes 0-13.
Bytes aib(const AibFields& f) {
    Bytes b{f.ver, f.nbr, f.nbw, static_cast<uint8_t>(f.nmaxb >> 8), static_cast<uint8_t>(f.nmaxb), 0, 0, 0, 0, f.writeFlag,
            f.rwFlag, static_cast<uint8_t>(f.ln >> 16), static_cast<uint8_t>(f.ln >> 8), static_cast<uint8_t>(f.ln)};
    unsigned sum = 0;
    for (uint8_t x : b) sum += x;
    sum = (sum + static_cast<unsigned>(f.checksumDelta)) & 0xFFFF;
    b.push_back(static_cast<uint8_t>(sum >> 8));
    b.push_back(static_cast<uint8_t>(sum));
    return b;
}

struct Felica {
    explicit Felica(std::unique_ptr<T3tTag> t = std::make_unique<T3tTag>()) : tag(std::move(t)) {
        const Bytes idm(tag->f.sensfRes.begin(), tag->f.sensfRes.begin() + 8);
        created = bench.create(TAG_FELICA_TYPE3, idm);
        identified = bench.identify();
    }
    TTagHandler& h() { return bench.owner.handler; }
    // The UPDATEs the tag took, as their first block numbers.
    std::vector<uint8_t> updates() const {
        std::vector<uint8_t> out;
        for (const auto& e : tag->log)
            if (e.op == UPDATE && e.data.size() > 13) out.push_back(e.data[13]);
        return out;
    }

    std::unique_ptr<T3tTag> tag;
    Bench bench{thtest::fromTag(*tag)};
    uint32_t created = 0;
    Outcome identified;
};

TEST(Type3, TheAibDecidesTheCheck) {
    struct Case {
        const char* name;
        AibFields fields;
        uint16_t cause;
    };
    const Case cases[] = {
        {"valid", {}, 0},
        {"checksum", {.checksumDelta = 1}, nfcCauseInvalidData},
        {"version 2.0", {.ver = 0x20}, nfcCauseNotNfcForumTag},
        {"version 1.5", {.ver = 0x15}, 0},
        {"length above the capacity", {.ln = 161}, nfcCauseInvalidData},
        {"length at the capacity", {.ln = 160}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Felica t;
        t.tag->put(0, aib(c.fields));
        const Outcome check = t.bench.checkNdef();
        EXPECT_EQ(check.code, NFACE_DEVICE_IND);
        EXPECT_EQ(check.cause, c.cause);
        if (c.cause == 0) {
            EXPECT_EQ(t.h().maxNdefSize, 160u);
            EXPECT_EQ(t.h().currentNdefSize, c.fields.ln);
        }
    }
}

TEST(Type3, AReadSpansSeveralChecksFromAnOffset) {
    Felica t;
    const Bytes m = counting(100, 0x40);
    t.tag->put(0, aib({.nbr = 2, .ln = 100}));
    t.tag->put(16, m);
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const Outcome part = t.bench.read(5, 60);
    EXPECT_EQ(part.cause, nfcCauseTagBufferTooSmall);
    EXPECT_EQ(t.bench.readData, Bytes(m.begin() + 5, m.begin() + 65));
    const Outcome rest = t.bench.read(65, 100);
    EXPECT_EQ(rest.cause, 0u);
    EXPECT_EQ(t.bench.readData, Bytes(m.begin() + 65, m.end()));
    for (uint32_t offset : {100u, 0xFFFFFFF0u}) {
        const Outcome past = t.bench.read(offset, 10);
        EXPECT_EQ(past.cause, 0u);
        EXPECT_EQ(past.count, 0u);
    }
}

TEST(Type3, TwentyBytesInTwoPartsAreWrittenWithLeftovers) {
    const Bytes m = counting(20, 0x10);
    Felica w;
    w.tag->put(0, aib({.ln = 0}));
    ASSERT_EQ(w.bench.checkNdef().cause, 0u);
    thWrite(&w.h(), m.data(), 10, false);
    ASSERT_TRUE(w.bench.pump());
    ASSERT_EQ(w.bench.owner.reports.back().cause, 0u);
    EXPECT_EQ(w.updates(), std::vector<uint8_t>{0}) << "the AIB only: no UPDATE for the first part";
    EXPECT_EQ(w.tag->bytes(0, 16), aib({.writeFlag = 0x0F, .ln = 0}));
    thWrite(&w.h(), m.data() + 10, 10, true);
    ASSERT_TRUE(w.bench.pump());
    EXPECT_EQ(w.bench.owner.reports.back().cause, 0u);
    EXPECT_EQ(w.updates(), (std::vector<uint8_t>{0, 1, 0}));
    EXPECT_EQ(w.tag->bytes(16, 32), concat(m, Bytes(12, 0x00)));
    EXPECT_EQ(w.tag->bytes(0, 16), aib({.ln = 20}));
    EXPECT_EQ(w.bench.read(0, 100).cause, 0u);
    EXPECT_EQ(w.bench.readData, m);
}

TEST(Type3, WritesFailSafely) {
    struct Case {
        const char* name;
        AibFields fields;
        std::function<void(T3tTag&)> fault;
        size_t length;
        uint16_t cause;
        uint32_t ln;   // in the AIB afterwards
    };
    const Case cases[] = {
        {"read-only", {.rwFlag = 0, .ln = 5}, nullptr, 10, nfcCauseWriteProtected, 5},
        {"no block per update", {.nbw = 0, .ln = 5}, nullptr, 10, nfcCauseNoMoreData, 5},
        {"above the capacity", {.ln = 5}, nullptr, 161, nfcCauseInputTooBig, 5},
        {"block past the end", {.ln = 5},
         [](T3tTag& t) { t.inject(Fault{FaultKind::Reply, UPDATE, std::nullopt, 2, {0x0C, 0x09, 0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0xFF, 0xA8}, 0}); },
         40, nfcCauseNoMoreWriting, 0},
        {"silence", {.ln = 5}, [](T3tTag& t) { t.inject(Fault{FaultKind::Silence, UPDATE, std::nullopt, 3, {}, 0}); }, 60,
         nfcCauseNoMoreWriting, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Felica t;
        t.tag->put(0, aib(c.fields));
        ASSERT_EQ(t.bench.checkNdef().cause, 0u);
        if (c.fault) c.fault(*t.tag);
        EXPECT_EQ(t.bench.write({counting(c.length)}).cause, c.cause);
        const Bytes block0 = t.tag->bytes(0, 16);
        EXPECT_EQ(uint32_t{block0[11]} << 16 | uint32_t{block0[12]} << 8 | block0[13], c.ln);
        EXPECT_EQ(block0[9], 0x00) << "no write left marked in progress";
    }
}

TEST(Type3, AnUpdateAnsweredWithA8GivesInputTooBigOnTheAib) {
    Felica t;
    t.tag->put(0, aib({}));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    t.tag->inject(Fault{FaultKind::Reply, UPDATE, std::nullopt, 1,
                        {0x0C, 0x09, 0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x01, 0xA8}, 0});
    EXPECT_EQ(t.bench.write({counting(10)}).cause, nfcCauseInputTooBig);
}

TEST(Type3, APartPastTheCapacityEndsWithAnEmptyMessage) {
    Felica t;
    t.tag->put(0, aib({}));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const Outcome w = t.bench.write({counting(100), counting(70)});
    EXPECT_EQ(w.cause, nfcCauseNoMoreWriting);
    EXPECT_EQ(t.tag->bytes(0, 16), aib({.ln = 0}));
}

TEST(Type3, UpdatesAboveBlock255StayWithinOneFrame) {
    Felica t(std::make_unique<T3tTag>(std::array<uint8_t, 8>{0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, 320));
    t.tag->maxWrite = 13;
    t.tag->put(0, aib({.nbr = 15, .nbw = 13, .nmaxb = 319}));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const Bytes m = counting(5000, 7);
    EXPECT_EQ(t.bench.write({m}).cause, 0u);
    for (const auto& p : t.bench.owner.pdus) EXPECT_EQ(p.bytes.size(), p.bytes[0]) << "the length byte holds the frame";
    EXPECT_EQ(t.tag->bytes(16, 5000), m);
    EXPECT_EQ(t.bench.read(0, 6000).cause, 0u);
    EXPECT_EQ(t.bench.readData, m);
}

TEST(Type3, ATagWithoutCapacityIsMeasuredThenFormatted) {
    Felica t(std::make_unique<T3tTag>(std::array<uint8_t, 8>{0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, 8));
    t.tag->maxRead = 4;
    t.tag->maxWrite = 2;
    t.tag->put(0, aib({.nbr = 0, .nbw = 0, .nmaxb = 0}));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const Outcome f = t.bench.format(0, 0);
    EXPECT_EQ(f.code, NFACE_FORMAT_CONF);
    EXPECT_EQ(f.cause, 0u);
    EXPECT_EQ(t.tag->bytes(0, 16), aib({.nbr = 4, .nbw = 2, .nmaxb = 7}));
    EXPECT_EQ(t.h().maxNdefSize, 112u);
    EXPECT_EQ(t.bench.write({counting(100)}).cause, 0u);
    EXPECT_EQ(t.bench.read(0, 200).cause, 0u);
    EXPECT_EQ(t.bench.readData, counting(100));
}

TEST(Type3, FormatRefusesAnUnknownVersionAndWipes) {
    Felica v2;
    v2.tag->put(0, aib({.ver = 0x20}));
    EXPECT_EQ(v2.bench.checkNdef().cause, nfcCauseNotNfcForumTag);
    EXPECT_EQ(v2.bench.format(0, 0).cause, nfcCauseVersionMismatch);
    EXPECT_EQ(v2.tag->bytes(0, 16), aib({.ver = 0x20})) << "nothing written";

    Felica t;
    t.tag->put(0, aib({.ln = 30}));
    t.tag->put(16, Bytes(160, 0xAA));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t.bench.format(0, 0x2).cause, 0u);
    EXPECT_EQ(t.tag->bytes(0, 16), aib({}));
    EXPECT_EQ(t.tag->bytes(16, 160), Bytes(160, 0x00));
}

TEST(Type3, AFelicaLiteIsDetectedFixedUpFormattedAndLocked) {
    Felica t(T3tTag::felicaLite());
    t.tag->put(0, aib({.nbr = 1, .nbw = 1, .nmaxb = 13, .ln = 0}));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t.h().tagSubtype, 0x1A0002u);
    EXPECT_EQ(t.h().maxNdefSize, 208u);
    EXPECT_EQ(t.bench.owner.tag.felica.systemCode, 0x88B4);
    EXPECT_EQ(t.bench.format(0, 0).cause, 0u);
    EXPECT_EQ(t.tag->bytes(0, 16), aib({.nbr = 4, .nbw = 1, .nmaxb = 13}));
    EXPECT_EQ(t.tag->mc[3], 0x01) << "the system option for NDEF";
    const Bytes m = counting(60);
    EXPECT_EQ(t.bench.write({m}).cause, 0u);
    for (const auto& p : t.bench.owner.pdus)
        if (p.bytes.size() > 13 && p.bytes[1] == CHECK) {
            EXPECT_LE(p.bytes[13], 4) << "Nbr 4";
        }
    const Outcome ro = t.bench.setReadonly();
    EXPECT_EQ(ro.code, NFACE_SET_READONLY_CONF);
    EXPECT_EQ(ro.cause, 0u);
    EXPECT_EQ(t.tag->mc[0], 0x00);
    EXPECT_EQ(t.tag->mc[1], 0x00);
    EXPECT_EQ(t.tag->bytes(0, 16), aib({.nbr = 4, .nbw = 1, .nmaxb = 13, .rwFlag = 0, .ln = 60}));
    EXPECT_EQ(t.bench.write({m}).cause, nfcCauseWriteProtected);
    EXPECT_EQ(t.bench.read(0, 100).cause, 0u);
    EXPECT_EQ(t.bench.readData, m);
    EXPECT_EQ(t.bench.checkNdef().cause, 0u);
    EXPECT_EQ(t.h().access & TH_ACCESS_WRITE, 0u);
}

TEST(Type3, APlainFelicaIsNotMadeReadOnly) {
    Felica t;
    t.tag->put(0, aib({}));
    ASSERT_EQ(t.bench.checkNdef().cause, 0u);
    const size_t sent = t.bench.owner.pdus.size();
    EXPECT_EQ(t.bench.setReadonly().cause, nfcCauseNotImplemented);
    EXPECT_EQ(t.bench.owner.pdus.size(), sent);
}

TEST(Type3, HostileAnswersEndWithACause) {
    const Bytes idm{0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    struct Case {
        const char* name;
        Bytes answer;
        uint16_t cause;
    };
    const Case cases[] = {
        {"IDm of another tag", concat(concat({0x1D, 0x07}, {0x02, 0xFE, 0, 1, 2, 3, 4, 6}), concat({0, 0, 1}, Bytes(16, 0))),
         nfcCauseInvalidData},
        {"block count without its data", concat(concat({0x1D, 0x07}, idm), concat({0, 0, 2}, Bytes(16, 0))), nfcCauseInvalidData},
        {"length byte above the answer", concat(concat({0x30, 0x07}, idm), concat({0, 0, 1}, Bytes(16, 0))), nfcCauseInvalidData},
        {"only the IDm", concat({0x0A, 0x07}, idm), nfcCauseInvalidData},
        {"not a check answer", concat(concat({0x1D, 0x09}, idm), concat({0, 0, 1}, Bytes(16, 0))), nfcCauseInvalidData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Felica t;
        t.tag->put(0, aib({}));
        // The first CHECK asks for the FeliCa Lite system-code block; the second for the AIB.
        t.tag->inject(Fault{FaultKind::Reply, CHECK, std::nullopt, 2, c.answer, 0});
        EXPECT_EQ(t.bench.checkNdef().cause, c.cause);
    }
    Felica gone;
    gone.tag->removeAfter(1);   // the polling only
    EXPECT_EQ(gone.bench.checkNdef().cause, nfcCauseRejected) << "no answer twice";
}

TEST(Type3, ThePresenceTestPolls) {
    Felica t;
    EXPECT_EQ(t.bench.test().code, NFACE_TEST_IND);
    EXPECT_EQ(t.bench.owner.pdus.back().bytes, (Bytes{6, 0x00, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(t.bench.owner.pdus.back().flags, TH_PDU_CHECK);
    // Layer 1 hands on the answer of another tag: the IDm changed.
    const Bytes other = concat(concat({0x12, 0x01}, {9, 9, 9, 9, 9, 9, 9, 9}), Bytes(8, 0));
    thTest(&t.h());
    t.bench.owner.answer({0, {}});
    EXPECT_EQ(t.bench.owner.reports.back().cause, 0u);
    thTest(&t.h());
    thCheckConfirmation(&t.h(), 0, other.data(), static_cast<uint32_t>(other.size()));
    EXPECT_EQ(t.bench.owner.reports.back().cause, nfcCauseRejected);
    Felica gone;
    gone.tag->removeAfter(0);
    EXPECT_EQ(gone.bench.test().cause, nfcCauseRejected);
}

} // namespace
