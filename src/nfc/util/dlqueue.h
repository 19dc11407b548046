// Intrusive queues for the library's bookkeeping. An owner record starts with the queue node,
// so a node's address is the owner's address.
#pragma once

#include <cstdint>
#include <type_traits>

#include "corvane.h"
#include "platform.h"

// ---- Doubly linked queue with its own lock ---------------------------------------------------
struct dlQueueNode {
    dlQueueNode* next;
    dlQueueNode* previous;
};

// Holds a lock object, so it is constructed, never zero-filled memory.
struct dlQueue {
    dlQueueNode* head = nullptr;
    dlQueueNode* tail = nullptr;
    uint32_t count = 0;
    PlatLock lock;
};

void dlQueueInitLockless(dlQueue* queue);
// Both refuse (0) an empty pointer and a node that already is in this queue.
BOOL dlQueueAddTail(dlQueue* queue, dlQueueNode* node);
BOOL dlQueueAddHead(dlQueue* queue, dlQueueNode* node);
dlQueueNode* dlQueueRemoveHead(dlQueue* queue);
// The count under the queue's lock, for readers that do not hold it.
uint32_t dlQueueCount(dlQueue* queue);
// Takes no lock: the caller holds the queue's lock.
BOOL dlRemove(dlQueueNode* node, dlQueue* queue);

// ---- Bare singly linked queue, used under the caller's lock ----------------------------------
struct slQueueNode {
    slQueueNode* next;
};

struct slQueue {
    slQueueNode* head;
    slQueueNode* tail;
    uint16_t count;
};

void slQueueAddTail(slQueue* queue, slQueueNode* node);
// An empty anchor inserts at the head; the tail as anchor appends.
void slQueueInsertAfter(slQueue* queue, slQueueNode* after, slQueueNode* node);
// Unlinks the node if it is in the queue; nothing otherwise.
void slQueueRemove(slQueue* queue, slQueueNode* node);
slQueueNode* slQueueRemoveHead(slQueue* queue);

template <typename T>
T* slQueueOwner(slQueueNode* node) {
    static_assert(std::is_standard_layout_v<T>, "the node must be the owner's first member");
    return reinterpret_cast<T*>(node);
}
