#include "util/dlqueue.h"

#include "util/trace.h"

namespace {

constexpr uint32_t kQueueMisuse = TRC_CONFIG;     // the NFC word bit of queue misuse

unsigned long hexOf(const void* p) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)); }

// A walk of the whole queue: queues are short, and refusing a second insertion keeps the links sound.
bool contains(const dlQueue* queue, const dlQueueNode* node) {
    for (const dlQueueNode* n = queue->head; n; n = n->next)
        if (n == node) return true;
    return false;
}

BOOL refuseQueued(const char* operation, const dlQueue* queue, const dlQueueNode* node) {
    if (!contains(queue, node)) return 0;
    TRACE(kQueueMisuse, "! %s adding node %p that already is in queue %p", operation, static_cast<const void*>(node),
          static_cast<const void*>(queue));
    return 1;
}

} // namespace

void dlQueueInitLockless(dlQueue* queue) {
    if (!queue) {
        TRACE(kQueueMisuse, "! dlQueueInitLockless for NULL pointer");
        return;
    }
    queue->head = queue->tail = nullptr;
    queue->count = 0;
    queue->lock.create();
}

BOOL dlQueueAddTail(dlQueue* queue, dlQueueNode* node) {
    if (!queue || !node) {
        TRACE(kQueueMisuse, "! dlQueueAddTail(0x%lX, 0x%lX) for NULL pointer", hexOf(queue), hexOf(node));
        return 0;
    }
    PlatLockGuard guard(queue->lock);
    if (refuseQueued("dlQueueAddTail", queue, node)) return 0;
    node->next = nullptr;
    node->previous = queue->tail;
    if (queue->tail) queue->tail->next = node;
    else queue->head = node;
    queue->tail = node;
    ++queue->count;
    return 1;
}

BOOL dlQueueAddHead(dlQueue* queue, dlQueueNode* node) {
    if (!queue || !node) {
        TRACE(kQueueMisuse, "! dlQueueAddHead for NULL pointer");
        return 0;
    }
    PlatLockGuard guard(queue->lock);
    if (refuseQueued("dlQueueAddHead", queue, node)) return 0;
    node->previous = nullptr;
    node->next = queue->head;
    if (queue->head) queue->head->previous = node;
    else queue->tail = node;
    queue->head = node;
    ++queue->count;
    return 1;
}

dlQueueNode* dlQueueRemoveHead(dlQueue* queue) {
    if (!queue) {
        TRACE(kQueueMisuse, "! dlQueueRemoveHead for NULL pointer");
        return nullptr;
    }
    PlatLockGuard guard(queue->lock);
    dlQueueNode* node = queue->head;
    if (node) dlRemove(node, queue);
    return node;
}

uint32_t dlQueueCount(dlQueue* queue) {
    PlatLockGuard guard(queue->lock);
    return queue->count;
}

BOOL dlRemove(dlQueueNode* node, dlQueue* queue) {
    if (!node) {
        debugPrint(DBG_ERROR, "! dlRemove() with node NULL pointer");
        return 0;
    }
    if (!queue || !queue->head) {
        debugPrint(DBG_ERROR, "! dlRemove() %lX from empty queue, head %lX tail", hexOf(node),
                   hexOf(queue ? queue->head : nullptr));
        return 0;
    }
    if (!contains(queue, node)) {
        debugPrint(DBG_ERROR, "! dlRemove() %lX does not exist in %lX", hexOf(node), hexOf(queue));
        return 0;
    }
    if (node->previous) node->previous->next = node->next;
    else queue->head = node->next;
    if (node->next) node->next->previous = node->previous;
    else queue->tail = node->previous;
    node->next = node->previous = nullptr;
    --queue->count;
    return 1;
}

void slQueueAddTail(slQueue* queue, slQueueNode* node) { slQueueInsertAfter(queue, queue->tail, node); }

void slQueueInsertAfter(slQueue* queue, slQueueNode* after, slQueueNode* node) {
    if (after) {
        node->next = after->next;
        after->next = node;
    } else {
        node->next = queue->head;
        queue->head = node;
    }
    if (queue->tail == after) queue->tail = node;
    ++queue->count;
}

void slQueueRemove(slQueue* queue, slQueueNode* node) {
    slQueueNode* previous = nullptr;
    for (slQueueNode* n = queue->head; n; previous = n, n = n->next) {
        if (n != node) continue;
        if (previous) previous->next = n->next;
        else queue->head = n->next;
        if (queue->tail == n) queue->tail = previous;
        n->next = nullptr;
        --queue->count;
        return;
    }
}

slQueueNode* slQueueRemoveHead(slQueue* queue) {
    slQueueNode* node = queue->head;
    if (node) slQueueRemove(queue, node);
    return node;
}
