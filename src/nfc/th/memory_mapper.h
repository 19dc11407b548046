// A contiguous logical byte space over a tag's memory for the Type 1 and Type 2 handlers: an
// ordered list of segments, each a run of absolute (physical) bytes mapped to a run of logical
// addresses, so that the bytes the NDEF data must skip (UID, capability container, lock and
// reserved areas) take absolute addresses but no logical ones.
#pragma once

#include <cstdint>

struct TMemorySegment {
    uint32_t used;          // 1 for a segment in use
    uint32_t absolute;      // first absolute byte address
    uint32_t length;
    uint32_t logical;       // logical address of the first byte
};

struct TMemoryMapper {
    TMemorySegment* segments;   // slot storage of the owner, cleared before use
    uint16_t capacity;
    uint16_t count;
    uint32_t size;              // end of the mapped physical space
};

// Slots a Type 1 or Type 2 handler gives its mapper: the fixed areas and several control TLVs.
constexpr uint16_t MEMORY_MAPPER_SEGMENTS = 8;

enum : uint32_t {
    MEMORY_MAPPER_OK = 0,
    MEMORY_MAPPER_NO_SEGMENT = 1,
    MEMORY_MAPPER_BAD_RANGE = 2,
    MEMORY_MAPPER_NO_SHRINK = 3,
    MEMORY_MAPPER_NOT_MAPPED = 4,
};

// Points the mapper at cleared slot storage, with nothing mapped.
void memoryMapperInit(TMemoryMapper* mapper, TMemorySegment* slots, uint16_t capacity);
// Appends a segment behind the last one, in absolute and in logical terms.
uint32_t memoryMapperAdd(TMemoryMapper* mapper, uint32_t absolute, uint32_t logical, uint32_t length);
// Grows the physical space to newSize; the new bytes continue the logical space.
uint32_t memoryMapperResize(TMemoryMapper* mapper, uint32_t newSize);
// Cuts a hole of holeLength bytes at absolute into the last segment.
uint32_t memoryMapperSplit(TMemoryMapper* mapper, uint32_t absolute, uint32_t holeLength);
// Drops the segments of length 0.
void memoryMapperCompact(TMemoryMapper* mapper);
// Takes an absolute range out of the logical space, from every segment it overlaps; bytes already
// out of it stay out. Refused (1) without any change when a segment would have to be split and
// no slot is free; 4 when nothing is mapped there.
uint32_t memoryMapperReserve(TMemoryMapper* mapper, uint32_t absolute, uint32_t length);
// The absolute address of a logical one and how many bytes run on from it without a hole.
uint32_t memoryMapperMap(const TMemoryMapper* mapper, uint32_t logical, uint32_t* absolute, uint32_t* contiguous);
uint32_t memoryMapperTotal(const TMemoryMapper* mapper);
void memoryMapperDump(const TMemoryMapper* mapper);
