#include "transport/transportbuffer.h"

#include <cstddef>

#include "util/trace.h"

void transportBufferPoolInit(TTransportBufferPool* pool, TTransportBuffer* nodes, uint32_t count) {
    pool->nodes = nodes;
    pool->count = count;
    dlQueueInitLockless(&pool->free);
    for (uint32_t i = 0; i < count; ++i) {
        nodes[i] = TTransportBuffer{};
        dlQueueAddTail(&pool->free, &nodes[i].node);
    }
}

void transportBufferPoolDestroy(TTransportBufferPool* pool) {
    pool->free.lock.lock();
    pool->free.head = pool->free.tail = nullptr;
    pool->free.count = 0;
    pool->free.lock.unlock();
    pool->free.lock.destroy();
}

TTransportBuffer* comAllocBuffer(TTransportBufferPool* pool, uint32_t pendingActions) {
    auto* buffer = reinterpret_cast<TTransportBuffer*>(dlQueueRemoveHead(&pool->free));
    if (!buffer) {
        debugPrint(DBG_ERROR, "! comAllocBuffer failed, in pending queue %u", pendingActions);
        return nullptr;
    }
    buffer->tag = TRANSPORT_BUFFER_TAG;
    buffer->type = 0;
    buffer->length = 0;
    buffer->data = buffer->area;
    return buffer;
}

TTransportBuffer* transportBufferOf(TTransportBufferPool* pool, const BYTE* data) {
    // Only a pointer at one of the pool's own data areas is looked at: anything else is no node.
    const auto at = reinterpret_cast<uintptr_t>(data);
    const auto first = reinterpret_cast<uintptr_t>(pool->nodes);
    const auto end = first + uintptr_t{pool->count} * sizeof(TTransportBuffer);
    const uintptr_t offset = at - first - offsetof(TTransportBuffer, area);
    if (!data || at < first || at >= end || offset % sizeof(TTransportBuffer) != 0) {
        debugPrint(DBG_ERROR, "! buffer %p invalid, node %p, tag 0x%X", static_cast<const void*>(data), nullptr, 0u);
        return nullptr;
    }
    TTransportBuffer* node = &pool->nodes[offset / sizeof(TTransportBuffer)];
    if (node->tag != TRANSPORT_BUFFER_TAG) {
        debugPrint(DBG_ERROR, "! buffer %p invalid, node %p, tag 0x%X", static_cast<const void*>(data),
                   static_cast<void*>(node), node->tag);
        return nullptr;
    }
    return node;
}

void transportBufferRelease(TTransportBufferPool* pool, TTransportBuffer* buffer) {
    buffer->tag = 0;
    dlQueueAddTail(&pool->free, &buffer->node);
}
