// The transport buffers of a transport adapter: fixed nodes with a 256-byte data area that
// travel between the adapter's free queue, its action queue and the link layer above it.
#pragma once

#include <cstdint>

#include "util/dlqueue.h"

constexpr uint32_t TRANSPORT_BUFFER_SIZE = 256;
constexpr uint32_t TRANSPORT_BUFFER_TAG = 0xAEAEAEAEu;   // carried while the node is handed out

struct TTransportBuffer {
    dlQueueNode node;   // first: the node's address is the buffer's
    uint32_t tag;
    uint32_t type;
    uint32_t length;
    BYTE* data;
    BYTE area[TRANSPORT_BUFFER_SIZE];
};

// The pool of a link: its nodes and the free queue they return to.
struct TTransportBufferPool {
    TTransportBuffer* nodes = nullptr;
    uint32_t count = 0;
    dlQueue free;
};

// Puts every node of the array on the free queue, which gets its lock.
void transportBufferPoolInit(TTransportBufferPool* pool, TTransportBuffer* nodes, uint32_t count);
void transportBufferPoolDestroy(TTransportBufferPool* pool);
// The first free node, tagged and with its data pointer at its own area; none when the pool is
// empty (traced with the number of actions waiting).
TTransportBuffer* comAllocBuffer(TTransportBufferPool* pool, uint32_t pendingActions);
// The handed-out node whose data area starts at data; none for any other pointer (traced).
TTransportBuffer* transportBufferOf(TTransportBufferPool* pool, const BYTE* data);
// Back to the free queue; the tag is cleared, so a second release of the same data is refused.
void transportBufferRelease(TTransportBufferPool* pool, TTransportBuffer* buffer);
