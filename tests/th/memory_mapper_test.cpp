// The memory mapper on the layouts Type 1 and Type 2 tags give it, and against a model: a bitmap
// of the reserved absolute bytes, after every step of thousands of random resize and reserve
// sequences.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "th/memory_mapper.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

struct Seg {
    uint32_t absolute, length, logical;
    bool operator==(const Seg&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Seg& s) {
    return os << "{" << s.absolute << ", " << s.length << ", " << s.logical << "}";
}

struct Mapper {
    explicit Mapper(uint16_t capacity = MEMORY_MAPPER_SEGMENTS) : slots(capacity) {
        memoryMapperInit(&m, slots.data(), capacity);
    }
    std::vector<Seg> segments() const {
        std::vector<Seg> out;
        for (uint16_t i = 0; i < m.count; ++i) out.push_back({m.segments[i].absolute, m.segments[i].length, m.segments[i].logical});
        return out;
    }
    std::vector<TMemorySegment> slots;
    TMemoryMapper m{};
};

TEST(MemoryMapper, AReservationInsideTheLastSegmentSplitsIt) {
    Mapper mm;
    ASSERT_EQ(memoryMapperResize(&mm.m, 512), 0u);
    ASSERT_EQ(memoryMapperReserve(&mm.m, 12, 10), 0u);
    EXPECT_EQ(mm.segments(), (std::vector<Seg>{{0, 12, 0}, {22, 490, 12}}));
    uint32_t absolute = 0, contiguous = 0;
    ASSERT_EQ(memoryMapperMap(&mm.m, 12, &absolute, &contiguous), 0u);
    EXPECT_EQ(absolute, 22u);
    EXPECT_EQ(contiguous, 490u);
    EXPECT_EQ(memoryMapperTotal(&mm.m), 502u);
}

TEST(MemoryMapper, StaticType1LayoutLeavesNinetyTwoBytes) {
    Mapper mm(4);
    ASSERT_EQ(memoryMapperResize(&mm.m, 120), 0u);
    ASSERT_EQ(memoryMapperReserve(&mm.m, 0, 12), 0u);
    EXPECT_EQ(mm.segments(), (std::vector<Seg>{{12, 108, 0}}));
    ASSERT_EQ(memoryMapperReserve(&mm.m, 104, 16), 0u);
    EXPECT_EQ(mm.segments(), (std::vector<Seg>{{12, 92, 0}}));
    EXPECT_EQ(memoryMapperTotal(&mm.m), 92u);
}

TEST(MemoryMapper, AHoleAlreadyCutIsLeftAsItIs) {
    Mapper mm;
    memoryMapperResize(&mm.m, 512);
    memoryMapperReserve(&mm.m, 12, 10);
    const auto before = mm.segments();
    TraceCapture trace;
    debugSetFlags(0x20);
    EXPECT_EQ(memoryMapperReserve(&mm.m, 14, 4), 0u);
    debugSetFlags(0);
    EXPECT_TRUE(trace.contains("memoryMapper: Bytes at address 14 with length 4 are already reserved, not adding again"));
    EXPECT_EQ(mm.segments(), before);
}

TEST(MemoryMapper, RefusalsChangeNothing) {
    Mapper mm(4);
    for (uint32_t k = 0; k < 4; ++k) ASSERT_EQ(memoryMapperAdd(&mm.m, k * 10, k * 5, 5), 0u);
    auto before = mm.segments();
    EXPECT_EQ(memoryMapperAdd(&mm.m, 100, 100, 5), 1u) << "a fifth segment";
    EXPECT_EQ(memoryMapperReserve(&mm.m, 31, 2), 1u) << "a split without a free slot";
    EXPECT_EQ(mm.segments(), before);

    Mapper grown;
    memoryMapperResize(&grown.m, 64);
    EXPECT_EQ(memoryMapperAdd(&grown.m, 32, 70, 4), 2u) << "inside the last segment";
    EXPECT_EQ(memoryMapperResize(&grown.m, 63), 3u);
    EXPECT_EQ(memoryMapperResize(&grown.m, 64), 0u);
    EXPECT_EQ(grown.segments(), (std::vector<Seg>{{0, 64, 0}}));
    EXPECT_EQ(grown.m.size, 64u);
}

TEST(MemoryMapper, MappingAtOrPastTheEndAndReservingWithoutSegmentsGiveNotMapped) {
    Mapper mm;
    EXPECT_EQ(memoryMapperReserve(&mm.m, 0, 4), 4u);
    memoryMapperResize(&mm.m, 48);
    memoryMapperReserve(&mm.m, 0, 16);
    uint32_t absolute = 7, contiguous = 7;
    EXPECT_EQ(memoryMapperMap(&mm.m, 32, &absolute, &contiguous), 4u);
    EXPECT_EQ(absolute, 0u);
    EXPECT_EQ(contiguous, 0u);
    EXPECT_EQ(memoryMapperMap(&mm.m, 31, nullptr, &contiguous), 0u);
    EXPECT_EQ(contiguous, 1u);
    EXPECT_EQ(memoryMapperReserve(&mm.m, 48, 4), 4u);
}

TEST(MemoryMapper, GrowingBehindAReservedEndAddsASegment) {
    Mapper mm;
    memoryMapperResize(&mm.m, 64);
    memoryMapperReserve(&mm.m, 48, 16);
    ASSERT_EQ(memoryMapperResize(&mm.m, 128), 0u);
    EXPECT_EQ(mm.segments(), (std::vector<Seg>{{0, 48, 0}, {64, 64, 48}}));

    Mapper all;
    memoryMapperResize(&all.m, 16);
    ASSERT_EQ(memoryMapperReserve(&all.m, 0, 16), 0u);
    EXPECT_TRUE(all.segments().empty());
    ASSERT_EQ(memoryMapperResize(&all.m, 32), 0u);
    EXPECT_EQ(all.segments(), (std::vector<Seg>{{16, 16, 0}})) << "the reserved bytes stay out";
}

// Ranges that a tag's control TLVs may name across what is already cut: each is clipped against
// every segment it touches, so no declared byte stays in the logical space.
TEST(MemoryMapper, ARangeAcrossSegmentsOrHolesIsReservedWhereverItOverlaps) {
    struct Case {
        const char* name;
        uint32_t absolute, length;
        std::vector<Seg> after;
    };
    // Starting from {0,12,0} {22,490,12}: 512 bytes with a hole at 12..21.
    const Case cases[] = {
        {"past the first segment's end", 8, 8, {{0, 8, 0}, {22, 490, 8}}},
        {"from the hole into the next segment", 16, 10, {{0, 12, 0}, {26, 486, 12}}},
        {"over the hole and both sides", 10, 20, {{0, 10, 0}, {30, 482, 10}}},
        {"over a whole segment", 0, 12, {{22, 490, 0}}},
        {"past the end of the space", 500, 40, {{0, 12, 0}, {22, 478, 12}}},
        {"inside an earlier segment", 4, 4, {{0, 4, 0}, {8, 4, 4}, {22, 490, 8}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Mapper mm;
        memoryMapperResize(&mm.m, 512);
        memoryMapperReserve(&mm.m, 12, 10);
        EXPECT_EQ(memoryMapperReserve(&mm.m, c.absolute, c.length), 0u);
        EXPECT_EQ(mm.segments(), c.after);
    }
}

// ---- The model.

struct Model {
    std::vector<bool> reserved;   // by absolute byte, for the mapped physical space

    std::vector<uint32_t> free() const {
        std::vector<uint32_t> out;
        for (uint32_t a = 0; a < reserved.size(); ++a)
            if (!reserved[a]) out.push_back(a);
        return out;
    }
};

void expectMatches(const Mapper& mm, const Model& model, const std::string& step) {
    SCOPED_TRACE(step);
    const TMemoryMapper& m = mm.m;
    ASSERT_EQ(m.size, model.reserved.size());
    uint32_t logical = 0;
    for (uint16_t i = 0; i < m.count; ++i) {
        const TMemorySegment& s = m.segments[i];
        ASSERT_EQ(s.used, 1u);
        ASSERT_GT(s.length, 0u);
        ASSERT_EQ(s.logical, logical) << "logical space without gaps";
        if (i) {
            ASSERT_GE(s.absolute, m.segments[i - 1].absolute + m.segments[i - 1].length) << "ordered, apart";
        }
        ASSERT_LE(s.absolute + s.length, m.size);
        logical += s.length;
    }
    const std::vector<uint32_t> free = model.free();
    ASSERT_EQ(memoryMapperTotal(&m), free.size());
    for (uint32_t k = 0; k < free.size(); ++k) {
        uint32_t absolute = 0, contiguous = 0;
        ASSERT_EQ(memoryMapperMap(&m, k, &absolute, &contiguous), 0u);
        ASSERT_EQ(absolute, free[k]) << "logical " << k;
        uint32_t run = 1;
        while (k + run < free.size() && free[k + run] == absolute + run) ++run;
        ASSERT_EQ(contiguous, run) << "logical " << k;
    }
    ASSERT_EQ(memoryMapperMap(&m, static_cast<uint32_t>(free.size()), nullptr, nullptr), 4u);
}

TEST(MemoryMapperModel, RandomResizeAndReserveSequencesKeepTheMapExact) {
    std::mt19937 rng(20261210);
    auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    size_t refused = 0, clipped = 0;
    for (int sequence = 0; sequence < 10000; ++sequence) {
        Mapper mm;
        Model model;
        const int steps = static_cast<int>(pick(1, 16));
        for (int step = 0; step < steps; ++step) {
            const uint32_t size = mm.m.size;
            if (size == 0 || pick(0, 4) == 0) {
                const uint32_t grown = size + pick(0, 96);
                const uint32_t r = memoryMapperResize(&mm.m, grown);
                ASSERT_TRUE(r == 0 || (r == 1 && mm.m.count == mm.m.capacity)) << r;
                if (r == 0) {
                    model.reserved.resize(grown, false);
                } else {
                    ++refused;
                }
            } else {
                // Inside, at the edges, across holes and past the end.
                const uint32_t absolute = pick(0, size + 8);
                const uint32_t length = pick(0, 3) == 0 ? pick(0, size) : pick(0, 12);
                const uint16_t countBefore = mm.m.count;
                bool overlapsFree = false;
                for (uint64_t a = absolute; a < uint64_t{absolute} + length && a < size; ++a)
                    overlapsFree = overlapsFree || !model.reserved[a];
                const uint32_t r = memoryMapperReserve(&mm.m, absolute, length);
                if (r == 1) {
                    ASSERT_EQ(countBefore, mm.m.capacity);
                    ++refused;
                } else {
                    ASSERT_TRUE(r == 0 || (r == 4 && !overlapsFree)) << r;
                    for (uint64_t a = absolute; a < uint64_t{absolute} + length && a < size; ++a) model.reserved[a] = true;
                    if (overlapsFree && uint64_t{absolute} + length > size) ++clipped;
                }
            }
            ASSERT_NO_FATAL_FAILURE(expectMatches(mm, model, "sequence " + std::to_string(sequence) + " step " +
                                                                 std::to_string(step)));
        }
    }
    EXPECT_GT(refused, 0u) << "the sequences reach a full mapper";
    EXPECT_GT(clipped, 0u) << "the sequences reach past the end";
}

} // namespace
