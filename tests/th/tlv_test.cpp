// The shared TLV routines on the byte strings tags hold, and on every cut of them: each input
// lives in a heap block of exactly its size, so reading one byte too far fails under ASan.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "th/th_tlv.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The bytes in a block of exactly their size.
struct Exact {
    explicit Exact(const Bytes& b) : size(static_cast<uint32_t>(b.size())), data(new uint8_t[b.size()]) {
        std::copy(b.begin(), b.end(), data.get());
    }
    uint32_t size;
    std::unique_ptr<uint8_t[]> data;
};

Bytes cut(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); }

struct LengthCase {
    Bytes tlv;
    uint16_t length;
};

TEST(TlvGetLength, ReadsBothLengthFormsAndRefusesAHeaderThatDoesNotFit) {
    const LengthCase cases[] = {
        {{0x03, 0xFF, 0x01, 0x02}, 258}, {{0x03, 0xFF, 0x01}, 0xFFFF}, {{0x03, 0xFF, 0xFF, 0xFF}, 0xFFFF},
        {{0x03, 0xFF, 0xFF, 0xFE}, 0xFFFE}, {{0x03, 0x05}, 5},        {{0x01, 0x00}, 0},
        {{0x03, 0xFE, 0x00}, 0xFE},      {{}, 0xFFFF},                 {{0x03}, 0xFFFF},
        {{0x03, 0xFF}, 0xFFFF},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.tlv));
        Exact in(c.tlv);
        EXPECT_EQ(tlvGetLength(in.data.get(), in.size), c.length);
    }
}

struct FindCase {
    Bytes data;
    uint32_t position;   // of the NDEF TLV; for none, what is returned (at least the length)
};

TEST(TlvFindNdef, SkipsNullAndControlTlvsStopsAtTheTerminatorAndAtABadLength) {
    const Bytes first{0x00, 0x00, 0x01, 0x03, 0xA0, 0x0C, 0x34, 0x03, 0x10};
    std::vector<FindCase> cases = {
        {first, 7},
        {{0x01, 0x03, 0xA0, 0x0C, 0x34, 0xFE, 0x03}, 7},
        {{0x01, 0xFF, 0x00}, 3},
        {{0x02, 0xFF, 0x00, 0x02, 0xAA, 0xBB, 0x03, 0x00}, 6},
        {{0x01, 0x10, 0x00}, 18},    // a length past the end leaves the walk behind the data
        {{0xFD, 0x00, 0x03, 0x00}, 2},
    };
    for (size_t n = 0; n <= 3; ++n) cases.push_back({cut(first, n), static_cast<uint32_t>(n)});
    for (const FindCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.data));
        Exact in(c.data);
        const uint32_t found = tlvFindNdef(in.data.get(), in.size);
        EXPECT_EQ(found, c.position);
        if (found < in.size) {
            EXPECT_EQ(in.data[found], TLV_NDEF);
        }
    }
}

TEST(TlvDecodeControl, DecodesLockAndMemoryControls) {
    const Bytes lock{0x01, 0x03, 0xF2, 0x30, 0x43};
    Exact in(lock);
    TControlTlv t{};
    ASSERT_EQ(tlvDecodeControl(in.data.get(), in.size, 48, &t), TLV_DECODED);
    EXPECT_EQ(t.type, 1u);
    EXPECT_EQ(t.address, 122u);
    EXPECT_EQ(t.size, 48);
    EXPECT_EQ(t.bytesPerPage, 8);
    EXPECT_EQ(t.bytesLockedPerBit, 16);
    EXPECT_EQ(t.lockStartAddress, 48u);
    EXPECT_EQ(t.lockRange, 768u);

    const Bytes memory{0x02, 0x03, 0xF0, 0x00, 0x03};
    Exact in2(memory);
    ASSERT_EQ(tlvDecodeControl(in2.data.get(), in2.size, 48, &t), TLV_DECODED);
    EXPECT_EQ(t.type, 2u);
    EXPECT_EQ(t.address, 120u);
    EXPECT_EQ(t.size, 256);
    EXPECT_EQ(t.bytesPerPage, 8);
    EXPECT_EQ(t.bytesLockedPerBit, 0);
    EXPECT_EQ(t.lockStartAddress, 0u);
    EXPECT_EQ(t.lockRange, 0u);
}

TEST(TlvDecodeControl, RefusesOtherTlvsAndEveryCutWithoutReadingPastIt) {
    const Bytes lock{0x01, 0x03, 0xF2, 0x30, 0x43};
    struct Case {
        Bytes tlv;
        uint32_t result;
    };
    std::vector<Case> cases = {
        {{0x03, 0x03, 0xF2, 0x30, 0x43}, TLV_NOT_CONTROL},
        {{0x01, 0x04, 0xF2, 0x30, 0x43, 0x00}, TLV_NOT_CONTROL},
        {{0x02, 0x02, 0xF2, 0x30, 0x43}, TLV_NOT_CONTROL},
        {{0x03}, TLV_NOT_CONTROL},
    };
    for (size_t n = 0; n < lock.size(); ++n) cases.push_back({cut(lock, n), TLV_TOO_SHORT});
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.tlv));
        Exact in(c.tlv);
        TControlTlv t{};
        t.address = 0xABCD;
        EXPECT_EQ(tlvDecodeControl(in.data.get(), in.size, 0, &t), c.result);
        EXPECT_EQ(t.address, 0xABCDu) << "a refused TLV leaves the record alone";
    }
}

TEST(TlvDumpControl, TracesAControlRecordAndOnlyTheTypeOfAnyOther) {
    TraceCapture trace;
    debugSetFlags(0x20);
    TControlTlv t{1, 122, 48, 8, 16, 48, 768};
    tlvDumpControl(&t);
    t.type = 7;
    tlvDumpControl(&t);
    debugSetFlags(0);
    EXPECT_TRUE(trace.contains("th:   size             = 48"));
    EXPECT_TRUE(trace.contains("th:   lockRange        = 768"));
    EXPECT_TRUE(trace.contains("th: TLV type = 7"));
    EXPECT_EQ(trace.count("th: Control TLV:"), 1u);
}

} // namespace
