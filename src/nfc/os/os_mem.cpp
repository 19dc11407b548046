#include "os/os_mem.h"

#include <atomic>
#include <cstdlib>

#include "mm/mm.h"
#include "util/dlqueue.h"
#include "util/trace.h"

namespace {

constexpr char kSource[] = "..\\..\\src\\nfc\\os\\os_mem";
constexpr uint16_t kBufferMagic = 0x4254;
constexpr uint16_t kPartitionMagic = 0x5054;
constexpr uint32_t kBlockLimit = 0xFFFF;     // a partition's block size is a 16-bit value

enum : uint16_t {
    POOL_USED = 0x1,
    POOL_CALLBACKS = 0x4,
};

enum : uint16_t {
    BUFFER_FREE = 0x1,
    BUFFER_CALLBACKS = 0x2,
};

struct CallbackElement {
    slQueueNode link;
    OsBufferReleaseProc function;
    void* userData;
};

struct CallbackQueue {
    slQueueNode link;
    slQueue callbacks;
};

struct OsPartition;

// Sits directly before the caller's data; its size keeps the data 8-byte aligned.
struct OsBuffer {
    slQueueNode link;
    OsPartition* partition;
    uint16_t magic;
    uint16_t flags;
    uint16_t size;      // size requested
    uint16_t spare;
    CallbackQueue* callbacks;
};
static_assert(sizeof(OsBuffer) % 8 == 0);

struct OsPartition {
    slQueueNode link;
    uint16_t magic;
    uint16_t pool;            // slot of the owning pool
    uint16_t length;          // buffer length
    uint16_t count;
    uint16_t maxUsed;
    uint16_t maxRequested;
    uint16_t minRequested;
    uint16_t blockSize;
    uint16_t stride;
    uint8_t* block;
    slQueue freeList;
    slQueue usedList;
};

struct OsPool {
    uint32_t name;
    uint16_t flags;
    slQueue partitions;       // ascending buffer length
};

static_assert(offsetof(CallbackElement, link) == 0 && offsetof(CallbackQueue, link) == 0 &&
              offsetof(OsBuffer, link) == 0 && offsetof(OsPartition, link) == 0);

struct MemState {
    OsPool pools[OS_POOL_COUNT];
    CallbackElement elements[OS_BUFFER_CALLBACKS];
    slQueue freeElements;
    CallbackQueue queues[OS_BUFFER_CALLBACKS];
    slQueue freeQueues;
};

// Counted allocations carry their size in front of the memory handed out.
struct alignas(16) Allocation {
    uint32_t size;
};

MemState m;
std::atomic<uint32_t> g_bytes{0};
std::atomic<uint32_t> g_parts{0};

uint8_t* dataOf(OsBuffer* buffer) { return reinterpret_cast<uint8_t*>(buffer) + sizeof(OsBuffer); }
OsBuffer* headerOf(void* data) { return reinterpret_cast<OsBuffer*>(static_cast<uint8_t*>(data) - sizeof(OsBuffer)); }

uint16_t poolId(uint16_t slot) { return static_cast<uint16_t>(OS_POOL_ID_BASE + slot); }

OsPool* usedPool(uint16_t hPool) {
    if (hPool < OS_POOL_ID_BASE || hPool >= OS_POOL_ID_BASE + OS_POOL_COUNT) return nullptr;
    OsPool& pool = m.pools[hPool - OS_POOL_ID_BASE];
    return (pool.flags & POOL_USED) ? &pool : nullptr;
}

OsPool* poolByName(uint32_t name) {
    for (auto& pool : m.pools)
        if ((pool.flags & POOL_USED) && pool.name == name) return &pool;
    return nullptr;
}

// The partition whose block holds a buffer at this data address; a foreign pointer is never
// read through.
OsPartition* partitionHolding(const void* data) {
    const uintptr_t header = reinterpret_cast<uintptr_t>(data) - sizeof(OsBuffer);
    for (const auto& pool : m.pools) {
        if (!(pool.flags & POOL_USED)) continue;
        for (slQueueNode* n = pool.partitions.head; n; n = n->next) {
            auto* partition = slQueueOwner<OsPartition>(n);
            const uintptr_t block = reinterpret_cast<uintptr_t>(partition->block);
            if (header >= block && header < block + partition->blockSize && (header - block) % partition->stride == 0)
                return partition;
        }
    }
    return nullptr;
}

// Lock held.
OsResult osPartitionCreate(OsPartition* partition, uint16_t poolSlot, uint16_t bufferLength, uint16_t count) {
    const uint32_t stride = (sizeof(OsBuffer) + bufferLength + 7u) & ~7u;
    const uint32_t blockSize = stride * count;
    if (count == 0 || blockSize >= kBlockLimit) return OS_FAILED;
    void* block = nullptr;
    if (osMemoryAllocate(static_cast<uint16_t>(blockSize), &block) != OS_OK) return OS_FAILED;
    TRACE(TRC_MEMORY, "osPartitionCreate() len %d %p %p", static_cast<int>(stride), static_cast<void*>(partition), block);

    partition->magic = kPartitionMagic;
    partition->pool = poolSlot;
    partition->length = bufferLength;
    partition->count = count;
    partition->minRequested = 0xFFFF;
    partition->blockSize = static_cast<uint16_t>(blockSize);
    partition->stride = static_cast<uint16_t>(stride);
    partition->block = static_cast<uint8_t*>(block);
    for (uint32_t i = 0; i < count; ++i) {
        auto* buffer = reinterpret_cast<OsBuffer*>(partition->block + i * stride);
        buffer->partition = partition;
        buffer->magic = kBufferMagic;
        buffer->flags = BUFFER_FREE;
        slQueueAddTail(&partition->freeList, &buffer->link);
    }

    slQueue& list = m.pools[poolSlot].partitions;
    slQueueNode* after = nullptr;
    for (slQueueNode* n = list.head; n && slQueueOwner<OsPartition>(n)->length < bufferLength; n = n->next) after = n;
    slQueueInsertAfter(&list, after, &partition->link);
    return OS_OK;
}

// Lock held. All or nothing: a buffer never keeps a callback queue without a callback in it.
OsResult osBufferAddReleaseCallback(OsPool& pool, OsBuffer& buffer, OsBufferReleaseProc function, void* userData) {
    if ((!buffer.callbacks && !m.freeQueues.head) || !m.freeElements.head) {
        DEBUG_BREAK(kSource);
        return OS_NO_CALLBACK;
    }
    if (!buffer.callbacks) {
        buffer.callbacks = slQueueOwner<CallbackQueue>(slQueueRemoveHead(&m.freeQueues));
        buffer.callbacks->callbacks = slQueue{};
    }
    auto* element = slQueueOwner<CallbackElement>(slQueueRemoveHead(&m.freeElements));
    element->function = function;
    element->userData = userData;
    slQueueAddTail(&buffer.callbacks->callbacks, &element->link);
    buffer.flags |= BUFFER_CALLBACKS;
    pool.flags |= POOL_CALLBACKS;
    return OS_OK;
}

// Runs without the lock: the buffer is already free, so a callback may take it again.
void osExecuteBufferCallback(CallbackQueue* queue) {
    PlatLock& lock = osLock();
    for (;;) {
        lock.lock();
        slQueueNode* node = slQueueRemoveHead(&queue->callbacks);
        if (!node) break;
        const CallbackElement element = *slQueueOwner<CallbackElement>(node);
        slQueueAddTail(&m.freeElements, node);
        lock.unlock();
        element.function(element.userData);
    }
    slQueueAddTail(&m.freeQueues, &queue->link);
    TRACE(TRC_MEMORY, "osExecuteBufferCallback, free cb elems %d, free queues %d", m.freeElements.count, m.freeQueues.count);
    lock.unlock();
}

} // namespace

OsResult osMemoryAllocate(uint16_t size, void** out) {
    if (!out) {
        DEBUG_BREAK(kSource);
        return OS_FAILED;
    }
    *out = nullptr;
    void* raw = std::calloc(1, sizeof(Allocation) + size);
    if (!raw) {
        DEBUG_BREAK(kSource);
        return OS_FAILED;
    }
    static_cast<Allocation*>(raw)->size = size;
    const uint32_t total = g_bytes.fetch_add(size) + size;
    g_parts.fetch_add(1);
    *out = static_cast<uint8_t*>(raw) + sizeof(Allocation);
    TRACE(TRC_MEMORY, "osMemoryAllocate() %p , size %d -> %d", *out, static_cast<int>(size), static_cast<int>(total));
    return OS_OK;
}

void osMemoryRelease(void* memory) {
    if (!memory) return;
    auto* allocation = reinterpret_cast<Allocation*>(static_cast<uint8_t*>(memory) - sizeof(Allocation));
    TRACE(TRC_MEMORY, "osMemoryRelease() %p , size %d", memory, static_cast<int>(allocation->size));
    g_bytes.fetch_sub(allocation->size);
    g_parts.fetch_sub(1);
    std::free(allocation);
}

OsResult osPoolCreate(uint32_t name, uint16_t bufferLength, uint16_t count, uint16_t* hPool) {
    if (!hPool) {
        DEBUG_BREAK(kSource);
        return OS_FAILED;
    }
    PlatLockGuard guard(osLock());
    OsPool* pool = poolByName(name);
    for (uint16_t slot = 0; !pool && slot < OS_POOL_COUNT; ++slot)
        if (!(m.pools[slot].flags & POOL_USED)) pool = &m.pools[slot];
    if (!pool) return OS_BAD_POOL;
    const auto slot = static_cast<uint16_t>(pool - m.pools);

    void* record = nullptr;
    if (osMemoryAllocate(sizeof(OsPartition), &record) != OS_OK) return OS_FAILED;
    if (osPartitionCreate(static_cast<OsPartition*>(record), slot, bufferLength, count) != OS_OK) {
        osMemoryRelease(record);
        return OS_FAILED;
    }
    pool->name = name;
    pool->flags |= POOL_USED;
    *hPool = poolId(slot);
    TRACE(TRC_MEMORY, "osPoolCreate() 0x%X, %d length, count %d -> hPool 0x%X", name, static_cast<int>(bufferLength),
          static_cast<int>(count), static_cast<unsigned>(*hPool));
    return OS_OK;
}

OsResult osPoolFindByName(uint32_t name, uint16_t* hPool) {
    PlatLockGuard guard(osLock());
    OsPool* pool = poolByName(name);
    if (!pool || !hPool) return OS_NOT_FOUND;
    *hPool = poolId(static_cast<uint16_t>(pool - m.pools));
    return OS_OK;
}

OsResult osPoolSetName(uint16_t hPool, uint32_t name) {
    PlatLockGuard guard(osLock());
    OsPool* pool = usedPool(hPool);
    if (!pool || pool->name != 0) {
        DEBUG_BREAK(kSource);
        return OS_BAD_POOL;
    }
    pool->name = name;
    return OS_OK;
}

uint16_t osPoolFree(uint16_t hPool) {
    PlatLockGuard guard(osLock());
    OsPool* pool = usedPool(hPool);
    if (!pool) {
        DEBUG_BREAK(kSource);
        return OS_BAD_POOL;
    }
    uint16_t free = 0;
    for (slQueueNode* n = pool->partitions.head; n; n = n->next) free += slQueueOwner<OsPartition>(n)->freeList.count;
    TRACE(TRC_MEMORY, " osPoolFree() hPool 0x%X, length %d", static_cast<unsigned>(hPool), static_cast<int>(free));
    return free;
}

OsResult osBufferGet(uint16_t hPool, uint16_t size, void** out, OsBufferReleaseProc callback, void* userData) {
    if (!out) {
        DEBUG_BREAK(kSource);
        return OS_FAILED;
    }
    *out = nullptr;
    PlatLockGuard guard(osLock());
    OsPool* pool = usedPool(hPool);
    if (!pool) {
        TRACE(TRC_ERROR, "! osBufferGet() bad pool handle 0x%X", static_cast<unsigned>(static_cast<uint16_t>(hPool - OS_POOL_ID_BASE)));
        return OS_BAD_POOL;
    }
    OsPartition* partition = nullptr;
    for (slQueueNode* n = pool->partitions.head; n && !partition; n = n->next) {
        auto* p = slQueueOwner<OsPartition>(n);
        if (p->length >= size && p->freeList.count != 0) partition = p;
    }
    if (!partition) return OS_FAILED;

    auto* buffer = slQueueOwner<OsBuffer>(slQueueRemoveHead(&partition->freeList));
    slQueueAddTail(&partition->usedList, &buffer->link);
    if (partition->usedList.count > partition->maxUsed) partition->maxUsed = partition->usedList.count;
    if (size > partition->maxRequested) partition->maxRequested = size;
    if (size < partition->minRequested) partition->minRequested = size;
    if (buffer->magic != kBufferMagic) {
        DEBUG_BREAK(kSource);      // stays on the used list: a damaged buffer is not handed out again
        return OS_FAILED;
    }
    buffer->flags = 0;
    buffer->size = size;
    buffer->callbacks = nullptr;
    void* data = dataOf(buffer);
    if (callback && osBufferAddReleaseCallback(*pool, *buffer, callback, userData) != OS_OK) {
        osBufferRelease(data);
        return OS_NO_CALLBACK;
    }
    *out = data;
    TRACE(TRC_MEMORY, "osBufferGet() %p, size %.4d, hPool=0x%X %s", data, static_cast<int>(size), static_cast<unsigned>(hPool),
          callback ? " ,CB" : "");
    return OS_OK;
}

void* osBufferStartOf(const void* address) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    PlatLockGuard guard(osLock());
    for (const auto& pool : m.pools) {
        if (!(pool.flags & POOL_USED)) continue;
        for (slQueueNode* n = pool.partitions.head; n; n = n->next) {
            auto* partition = slQueueOwner<OsPartition>(n);
            const uintptr_t block = reinterpret_cast<uintptr_t>(partition->block);
            if (at < block || at >= block + partition->blockSize) continue;
            const uintptr_t data = block + (at - block) / partition->stride * partition->stride + sizeof(OsBuffer);
            return at >= data ? reinterpret_cast<void*>(data) : nullptr;
        }
    }
    return nullptr;
}

OsResult osBufferRelease(void* data) {
    if (!data) {
        DEBUG_BREAK(kSource);
        return OS_FAILED;
    }
    CallbackQueue* callbacks = nullptr;
    {
        PlatLockGuard guard(osLock());
        OsPartition* partition = partitionHolding(data);
        OsBuffer* buffer = partition ? headerOf(data) : nullptr;
        if (!buffer || buffer->magic != kBufferMagic) {
            TRACE(TRC_ERROR, "! osBufferRelease() %p failed (bad pointer)", data);
            return OS_FAILED;
        }
        if (buffer->partition != partition || partition->magic != kPartitionMagic) {
            TRACE(TRC_ERROR, "! osBufferRelease() %p failed (bad partition)", data);
            return OS_FAILED;
        }
        if (buffer->flags & BUFFER_FREE) {
            TRACE(TRC_ERROR, "! osBufferRelease() %p failed (already free, hPool 0x%X)", data,
                  static_cast<unsigned>(poolId(partition->pool)));
            return OS_FAILED;
        }
        slQueueRemove(&partition->usedList, &buffer->link);
        slQueueAddTail(&partition->freeList, &buffer->link);
        // Taken here, under the lock: once the buffer is free another thread may take it again.
        if (buffer->flags & BUFFER_CALLBACKS) callbacks = buffer->callbacks;
        buffer->callbacks = nullptr;
        buffer->flags = BUFFER_FREE;
        TRACE(TRC_MEMORY, "osBufferRelease() %p (pool %d, free %d, size %d)", data, static_cast<int>(partition->pool),
              static_cast<int>(partition->freeList.count), static_cast<int>(buffer->size));
    }
    if (callbacks) osExecuteBufferCallback(callbacks);
    return OS_OK;
}

void osMemoryInit() {
    PlatLockGuard guard(osLock());
    m = MemState{};
    for (auto& element : m.elements) slQueueAddTail(&m.freeElements, &element.link);
    for (auto& queue : m.queues) slQueueAddTail(&m.freeQueues, &queue.link);
}

void osMemoryDone() {
    TRACE(TRC_MEMORY, "osMemoryDone() enter, %d bytes memory allocated in %d parts", static_cast<int>(g_bytes.load()),
          static_cast<int>(g_parts.load()));
    // Exit functions of the modules may still post or release buffers: not under the lock.
    mmDone();
    PlatLockGuard guard(osLock());
    for (auto& pool : m.pools) {
        if (!(pool.flags & POOL_USED)) continue;
        while (slQueueNode* node = slQueueRemoveHead(&pool.partitions)) {
            auto* p = slQueueOwner<OsPartition>(node);
            TRACE(TRC_MEMORY,
                  " free partition %p, hPool 0x%X, %p buffer with size %d (size: %d, min used %d, max used %d | count: %d, max used %d)",
                  static_cast<void*>(p), static_cast<unsigned>(poolId(p->pool)), static_cast<void*>(p->block),
                  static_cast<int>(p->length), static_cast<int>(p->blockSize), static_cast<int>(p->minRequested),
                  static_cast<int>(p->maxRequested), static_cast<int>(p->count), static_cast<int>(p->maxUsed));
            osMemoryRelease(p->block);
            osMemoryRelease(p);
        }
        pool = OsPool{};
    }
    TRACE(TRC_MEMORY, "osMemoryDone(), exit %d bytes memory allocated (count %d)", static_cast<int>(g_bytes.load()),
          static_cast<int>(g_parts.load()));
}
