// Named pools of fixed-size buffers for message payloads, and the counted memory of the OS layer.
// A pool holds partitions of equal buffers; a request takes the first partition, in ascending
// order of buffer length, whose buffers are large enough and has one free.
#pragma once

#include <cstdint>

#include "os/os.h"

constexpr uint16_t OS_POOL_COUNT = 8;
constexpr uint16_t OS_POOL_ID_BASE = 0x100;
constexpr int OS_BUFFER_CALLBACKS = 32;      // callback elements, and as many callback queues: room for
                                             // every TX buffer of the ETSI HCI driver (20) and more

using OsBufferReleaseProc = void (*)(void* userData);

// Zeroed and counted; released with osMemoryRelease.
OsResult osMemoryAllocate(uint16_t size, void** out);
void osMemoryRelease(void* memory);

OsResult osPoolCreate(uint32_t name, uint16_t bufferLength, uint16_t count, uint16_t* hPool);
OsResult osPoolFindByName(uint32_t name, uint16_t* hPool);
OsResult osPoolSetName(uint16_t hPool, uint32_t name);
// Free buffers over all partitions of the pool.
uint16_t osPoolFree(uint16_t hPool);

// The callback, when given, runs with userData once the buffer is released.
OsResult osBufferGet(uint16_t hPool, uint16_t size, void** out, OsBufferReleaseProc callback, void* userData);
OsResult osBufferRelease(void* buffer);
// The start of the pool buffer whose data area holds this address (a buffer written from an
// offset comes back to its owner that way); null for an address outside every data area.
void* osBufferStartOf(const void* address);

// Called by osInit: empty pools and fresh callback free lists.
void osMemoryInit();
// Called by osDone: frees every partition and reports what is still allocated.
void osMemoryDone();
