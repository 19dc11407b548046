#include "th/memory_mapper.h"

#include <algorithm>

#include "util/trace.h"

namespace {

constexpr uint32_t kTrace = 0x20;

uint64_t endOf(const TMemorySegment& s) { return uint64_t{s.absolute} + s.length; }
uint32_t logicalEndOf(const TMemorySegment& s) { return s.logical + s.length; }

TMemorySegment& last(TMemoryMapper* m) { return m->segments[m->count - 1]; }

// Room for a segment inserted before index, the later ones moved up one slot.
void openSlot(TMemoryMapper* m, uint16_t index) {
    std::copy_backward(m->segments + index, m->segments + m->count, m->segments + m->count + 1);
    ++m->count;
}

// Splits segment index around the hole [absolute, absolute + holeLength), which lies inside it;
// the part behind the hole continues the logical run.
uint32_t splitSegment(TMemoryMapper* m, uint16_t index, uint32_t absolute, uint32_t holeLength) {
    TRACE(kTrace, "memoryMapper: Splitting memory segment %d at absolute address %d", index, static_cast<int>(absolute));
    if (m->count >= m->capacity) {
        TRACE(TRC_ERROR, "memoryMapper: ! Not enough memory segments available");
        return MEMORY_MAPPER_NO_SEGMENT;
    }
    TMemorySegment& s = m->segments[index];
    const uint32_t kept = absolute - s.absolute;
    const auto behind = static_cast<uint32_t>(endOf(s) - absolute - holeLength);
    const TMemorySegment tail{1, absolute + holeLength, behind, s.logical + kept};
    s.length = kept;
    openSlot(m, static_cast<uint16_t>(index + 1));
    m->segments[index + 1] = tail;
    TRACE(kTrace, "memoryMapper: New memory segment %d for absolute address %d, length %d, mapped to address %d",
          index + 1, static_cast<int>(tail.absolute), static_cast<int>(tail.length), static_cast<int>(tail.logical));
    return MEMORY_MAPPER_OK;
}

// The logical runs follow each other again after lengths changed, from the first segment's start.
void closeLogicalGaps(TMemoryMapper* m) {
    for (uint16_t i = 1; i < m->count; ++i) {
        const uint32_t start = logicalEndOf(m->segments[i - 1]);
        if (m->segments[i].logical == start) continue;
        m->segments[i].logical = start;
        TRACE(kTrace, "memoryMapper: Adjusting logical start of segment %d to %d", i, static_cast<int>(start));
    }
}

// Takes [from, to) out of segment index, which it overlaps. False when a split had no slot.
bool cutOut(TMemoryMapper* m, uint16_t index, uint64_t from, uint64_t to) {
    TMemorySegment& s = m->segments[index];
    const uint64_t start = std::max<uint64_t>(from, s.absolute), end = std::min(to, endOf(s));
    const auto piece = static_cast<uint32_t>(end - start);
    if (start > s.absolute && end < endOf(s))
        return splitSegment(m, index, static_cast<uint32_t>(start), piece) == MEMORY_MAPPER_OK;
    if (start == s.absolute) {
        s.absolute += piece;
        TRACE(kTrace, "memoryMapper: Adjusting start of segment %d to %d", index, static_cast<int>(s.absolute));
    } else {
        TRACE(kTrace, "memoryMapper: Adjusting end of segment %d to %d", index, static_cast<int>(end - piece));
    }
    s.length -= piece;
    return true;
}

} // namespace

void memoryMapperInit(TMemoryMapper* m, TMemorySegment* slots, uint16_t capacity) {
    std::fill(slots, slots + capacity, TMemorySegment{});
    *m = TMemoryMapper{slots, capacity, 0, 0};
}

uint32_t memoryMapperAdd(TMemoryMapper* m, uint32_t absolute, uint32_t logical, uint32_t length) {
    if (m->count >= m->capacity) {
        TRACE(TRC_ERROR, "memoryMapper: ! Not enough memory segments available");
        return MEMORY_MAPPER_NO_SEGMENT;
    }
    if (m->count && (absolute < endOf(last(m)) || logical < logicalEndOf(last(m)))) return MEMORY_MAPPER_BAD_RANGE;
    m->segments[m->count] = TMemorySegment{1, absolute, length, logical};
    TRACE(kTrace, "memoryMapper: New memory segment %d for absolute address %d, length %d, mapped to address %d",
          m->count, static_cast<int>(absolute), static_cast<int>(length), static_cast<int>(logical));
    ++m->count;
    return MEMORY_MAPPER_OK;
}

uint32_t memoryMapperResize(TMemoryMapper* m, uint32_t newSize) {
    if (newSize < m->size) {
        TRACE(TRC_ERROR, "memoryMapper: ! ERROR: trying to shrink the memory from %d to %d", static_cast<int>(m->size),
              static_cast<int>(newSize));
        return MEMORY_MAPPER_NO_SHRINK;
    }
    TRACE(kTrace, "memoryMapper: Changing size from %d to %d", static_cast<int>(m->size), static_cast<int>(newSize));
    const uint32_t added = newSize - m->size;
    uint32_t result = MEMORY_MAPPER_OK;
    if (added == 0) return result;
    // With every byte so far reserved the new ones start behind them, not at 0.
    if (m->count == 0) result = memoryMapperAdd(m, m->size, 0, added);
    else if (endOf(last(m)) >= m->size) last(m).length += added;
    else result = memoryMapperAdd(m, m->size, logicalEndOf(last(m)), added);
    // Bytes that found no segment are not claimed: a later resize may still map them.
    if (result == MEMORY_MAPPER_OK) m->size = newSize;
    return result;
}

uint32_t memoryMapperSplit(TMemoryMapper* m, uint32_t absolute, uint32_t holeLength) {
    if (m->count == 0) return MEMORY_MAPPER_NOT_MAPPED;
    const TMemorySegment& s = last(m);
    if (absolute <= s.absolute || uint64_t{absolute} + holeLength >= endOf(s)) return MEMORY_MAPPER_BAD_RANGE;
    return splitSegment(m, static_cast<uint16_t>(m->count - 1), absolute, holeLength);
}

void memoryMapperCompact(TMemoryMapper* m) {
    for (int i = m->count - 1; i >= 0; --i) {
        if (m->segments[i].length != 0) continue;
        TRACE(kTrace, "memoryMapper: Removing empty segment %d", i);
        std::copy(m->segments + i + 1, m->segments + m->count, m->segments + i);
        m->segments[--m->count] = TMemorySegment{};
    }
}

uint32_t memoryMapperReserve(TMemoryMapper* m, uint32_t absolute, uint32_t length) {
    if (m->count == 0) return MEMORY_MAPPER_NOT_MAPPED;
    const uint64_t from = absolute, to = from + length;
    if (from >= endOf(last(m))) return MEMORY_MAPPER_NOT_MAPPED;
    if (to > endOf(last(m)))
        TRACE(TRC_ERROR, "memoryMapper: ! Reserved bytes range beyond end of region");
    // A range that overlaps nothing lies wholly in holes cut before.
    bool overlaps = false;
    for (uint16_t i = 0; i < m->count; ++i)
        overlaps = overlaps || (from < endOf(m->segments[i]) && to > m->segments[i].absolute);
    if (!overlaps || length == 0) {
        TRACE(kTrace, "memoryMapper: Bytes at address %d with length %d are already reserved, not adding again",
              static_cast<int>(absolute), static_cast<int>(length));
        return MEMORY_MAPPER_OK;
    }
    // From the last segment to the first, so that a split does not move what is still to come.
    const uint32_t firstLogical = m->segments[0].logical;
    for (int i = m->count - 1; i >= 0; --i) {
        const TMemorySegment& s = m->segments[i];
        if (from >= endOf(s) || to <= s.absolute) continue;
        // Only a range inside one segment splits it, so a refusal comes before any change.
        if (!cutOut(m, static_cast<uint16_t>(i), from, to)) return MEMORY_MAPPER_NO_SEGMENT;
    }
    memoryMapperCompact(m);
    if (m->count) m->segments[0].logical = firstLogical;
    closeLogicalGaps(m);
    return MEMORY_MAPPER_OK;
}

uint32_t memoryMapperMap(const TMemoryMapper* m, uint32_t logical, uint32_t* absolute, uint32_t* contiguous) {
    for (uint16_t i = 0; i < m->count; ++i) {
        const TMemorySegment& s = m->segments[i];
        if (logicalEndOf(s) <= logical || logical < s.logical) continue;
        if (absolute) *absolute = logical - s.logical + s.absolute;
        if (contiguous) *contiguous = logicalEndOf(s) - logical;
        return MEMORY_MAPPER_OK;
    }
    if (absolute) *absolute = 0;
    if (contiguous) *contiguous = 0;
    return MEMORY_MAPPER_NOT_MAPPED;
}

uint32_t memoryMapperTotal(const TMemoryMapper* m) {
    uint32_t total = 0;
    for (uint16_t i = 0; i < m->count; ++i) total += m->segments[i].length;
    return total;
}

void memoryMapperDump(const TMemoryMapper* m) {
    if (!debugOn(kTrace)) return;
    for (uint16_t i = 0; i < m->count; ++i) {
        const TMemorySegment& s = m->segments[i];
        debugPrint(0, "memoryMapper: Segment %d Absolute Address=%d Logical Address=%d Length=%d", i,
                   static_cast<int>(s.absolute), static_cast<int>(s.logical), static_cast<int>(s.length));
    }
    debugPrint(0, "memoryMapper: Total size=%d", static_cast<int>(memoryMapperTotal(m)));
}
