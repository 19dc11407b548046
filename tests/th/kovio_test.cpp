// The Kovio barcode handler as the build's family table gives it to thCreate: identified by its
// 16-byte identifier, every command answered at once, and not one frame sent to the tag.
#include <gtest/gtest.h>

#include <functional>

#include "core/nfacemsg.h"
#include "harness.h"
#include "th/th_frame.h"
#include "th/th_kovio.h"

namespace {

using thtest::Bench;
using thtest::Bytes;
using thtest::Outcome;

Bytes identifier(size_t length) {
    Bytes b(length);
    for (size_t k = 0; k < length; ++k) b[k] = static_cast<uint8_t>(0x81 + k);
    return b;
}

// A barcode identified through the device indication, with an owner that fails on any PDU.
struct Barcode {
    explicit Barcode(size_t idLength = 16) {
        bench.owner.forbidPdus = true;
        created = bench.create(TAG_KOVIO_BARCODE, identifier(idLength));
        identified = bench.identify();
    }
    Bench bench;
    uint32_t created = 0;
    Outcome identified;
    TTagHandler& h() { return bench.owner.handler; }
};

TEST(Kovio, IsIdentifiedByASixteenByteIdentifierOnly) {
    struct Case {
        size_t length;
        uint16_t code, cause;
        size_t uidLength, recordLength;
    };
    for (const Case c : {Case{15, NFACE_DEVICE_IND, nfcCauseNotNfcForumTag, 0, 15}, Case{16, TH_DEVICE_CONF, 0, 16, 16},
                         Case{17, TH_DEVICE_CONF, 0, 16, 16}}) {
        SCOPED_TRACE(c.length);
        Barcode b(c.length);
        ASSERT_EQ(b.created, 1u);
        EXPECT_EQ(b.identified.reports, 1u);
        EXPECT_EQ(b.identified.code, c.code);
        EXPECT_EQ(b.identified.cause, c.cause);
        EXPECT_EQ(b.h().uidLength, c.uidLength);
        EXPECT_EQ(b.bench.owner.tag.uidLength, c.recordLength);
        if (c.uidLength) {
            EXPECT_EQ(Bytes(b.h().uid, b.h().uid + 16), identifier(16));
        }
        EXPECT_EQ(b.h().isNdef, 0u);
    }
}

TEST(Kovio, AnswersEveryCommandAtOnceWithoutAFrame) {
    struct Case {
        const char* name;
        std::function<Outcome(Bench&)> command;
        uint16_t code, cause;
    };
    const Case cases[] = {
        {"check NDEF", [](Bench& b) { return b.checkNdef(); }, NFACE_DEVICE_IND, nfcCauseNotNfcForumTag},
        {"test", [](Bench& b) { return b.test(); }, NFACE_TEST_IND, nfcCauseOk},
        {"read", [](Bench& b) { return b.read(0, 14); }, NFACE_READ_IND, nfcCauseNotImplemented},
        {"write", [](Bench& b) { return b.write({Bytes{0xD0, 0x00, 0x00}}); }, NFACE_WRITE_CONF, nfcCauseNotImplemented},
        {"make read-only", [](Bench& b) { return b.setReadonly(); }, NFACE_SET_READONLY_CONF, nfcCauseNotImplemented},
        {"format", [](Bench& b) { return b.format(14, 0); }, NFACE_FORMAT_CONF, nfcCauseRejected},
        {"erase", [](Bench& b) { return b.format(0, TH_FORMAT_ERASE); }, NFACE_FORMAT_CONF, nfcCauseRejected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Barcode b;
        ASSERT_EQ(b.identified.code, TH_DEVICE_CONF);
        const Outcome o = c.command(b.bench);
        EXPECT_EQ(o.reports, 1u);
        EXPECT_EQ(o.code, c.code);
        EXPECT_EQ(o.cause, c.cause);
        EXPECT_EQ(b.h().isNdef, 0u);
        EXPECT_EQ(b.h().sm.current, b.h().sm.stateTable[1].handler) << "still a legacy tag";
        // And once more: nothing was left half done.
        EXPECT_EQ(c.command(b.bench).cause, c.cause);
    }
}

TEST(Kovio, ACommandBeforeIdentificationIsAnsweredToo) {
    Bench bench;
    bench.owner.forbidPdus = true;
    ASSERT_EQ(bench.create(TAG_KOVIO_BARCODE, identifier(16)), 1u);
    const Outcome o = bench.read(0, 4);
    EXPECT_EQ(o.code, NFACE_READ_IND);
    EXPECT_EQ(o.cause, nfcCauseNotImplemented);
}

TEST(Kovio, PropertiesAndAccess) {
    Barcode b;
    struct Case {
        uint32_t id, value;
        int found;
    };
    for (const Case c : {Case{0, 0, 1}, Case{1, 0, 0}, Case{2, 0, 0}, Case{3, 14, 1}, Case{4, 1, 1}, Case{5, 1, 1},
                         Case{17, 0, 0}, Case{18, 0, 0}}) {
        SCOPED_TRACE(c.id);
        int found = -1;
        EXPECT_EQ(b.h().getProperty(&b.h(), c.id, &found), c.value);
        EXPECT_EQ(found, c.found);
    }
    EXPECT_EQ(b.h().access, TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE);
    EXPECT_EQ(b.h().maxNdefSize, 14u);
    EXPECT_EQ(thSetProperty(&b.h(), 7, 1), 0u) << "nothing of the barcode can be set";
}

} // namespace
