#include "os/os.h"

#include "hw/hw_timer.h"
#include "os/os_mem.h"
#include "util/dlqueue.h"
#include "util/trace.h"

namespace {

constexpr char kSource[] = "..\\..\\src\\nfc\\os\\os";
constexpr uint16_t kRandomSeed = 75;

enum : uint16_t {
    QUEUE_USED = 0x1,
    QUEUE_BROADCAST = 0x2,
    QUEUE_TASK = 0x10,
};

struct OsQueue {
    OsQueueName name;
    uint16_t flags;
    OsTaskProc procedure;
    void* instance;
    slQueue messages;
    OsTaskProc exitProcedure;
};

struct MessageElement {
    slQueueNode link;
    OsMessage message;
};

struct ReadyRecord {
    slQueueNode link;
    OsQueue* queue;
};

static_assert(offsetof(MessageElement, link) == 0 && offsetof(ReadyRecord, link) == 0);

struct OsState {
    OsQueue queues[OS_QUEUE_COUNT];
    MessageElement elements[OS_MESSAGE_ELEMENTS];
    slQueue freeElements;
    ReadyRecord readyRecords[OS_READY_RECORDS];
    slQueue freeReady;
    slQueue ready;
    bool running;          // a pass of osRunTasks is under way
    uint32_t dispatched;   // task procedure calls so far
    OsSchedulerHook hook;
    void* hookArgument;
    uint16_t random;
};

PlatLock g_lock;
OsState g;

unsigned slotOf(const OsQueue& queue) { return static_cast<unsigned>(&queue - g.queues); }

// The queue of a valid ID whose slot is in use; anything else is an internal failure.
OsQueue* checkQueue(uint16_t queueId) {
    if (queueId < OS_QUEUE_ID_BASE || queueId >= OS_QUEUE_ID_BASE + OS_QUEUE_COUNT) {
        TRACE(TRC_ERROR, "!osCheckQueueID(),ID 0x%X is wrong", static_cast<unsigned>(queueId));
        DEBUG_BREAK(kSource);
        return nullptr;
    }
    OsQueue& queue = g.queues[queueId - OS_QUEUE_ID_BASE];
    if (!(queue.flags & QUEUE_USED)) {
        DEBUG_BREAK(kSource);
        return nullptr;
    }
    return &queue;
}

// Lock held. Sets wake when this post makes the ready list non-empty outside a pass.
OsResult post(OsQueue& queue, const OsMessage& message, bool& wake) {
    const bool task = queue.flags & QUEUE_TASK;
    if (!g.freeElements.head) {
        TRACE(TRC_ERROR, "! osMessageSend(), queueID 0x%X, cmd 0x%X no free queue element, in use %d,%d",
              slotOf(queue), static_cast<unsigned>(message.command), g.ready.count, queue.messages.count);
        return OS_NO_ELEMENT;
    }
    if (task && !g.freeReady.head) {
        DEBUG_BREAK(kSource);
        return OS_NO_ELEMENT;
    }
    auto* element = slQueueOwner<MessageElement>(slQueueRemoveHead(&g.freeElements));
    element->message = message;
    slQueueAddTail(&queue.messages, &element->link);
    if (task) {
        auto* record = slQueueOwner<ReadyRecord>(slQueueRemoveHead(&g.freeReady));
        record->queue = &queue;
        if (g.ready.count == 0 && !g.running) wake = true;
        slQueueAddTail(&g.ready, &record->link);
    }
    return OS_OK;
}

// Lock held.
OsResult receive(OsQueue& queue, OsMessage* out) {
    slQueueNode* node = slQueueRemoveHead(&queue.messages);
    if (!node) return OS_NO_ELEMENT;
    *out = slQueueOwner<MessageElement>(node)->message;
    slQueueAddTail(&g.freeElements, node);
    return OS_OK;
}

uint16_t shiftStep(uint16_t state) {
    state = static_cast<uint16_t>(state << 1);
    if (((state >> 13) ^ (state >> 12)) & 1) state |= 1;
    return state;
}

} // namespace

PlatLock& osLock() { return g_lock; }

void osInit() {
    g = OsState{};
    g.random = kRandomSeed;
    osMemoryInit();
    for (auto& element : g.elements) slQueueAddTail(&g.freeElements, &element.link);
    for (auto& record : g.readyRecords) slQueueAddTail(&g.freeReady, &record.link);
    g_lock.create();
}

void osDone() {
    for (const auto& queue : g.queues)
        if (queue.exitProcedure) queue.exitProcedure(queue.instance);
    hwMarveldTimerDone();
    osMemoryDone();
    g_lock.destroy();
}

OsResult osQueueAllocate(OsQueueName name, uint16_t* queueId) {
    if (!queueId) {
        DEBUG_BREAK(kSource);
        return OS_BAD_ID;
    }
    PlatLockGuard guard(g_lock);
    for (auto& queue : g.queues) {
        if (queue.flags & QUEUE_USED) continue;
        queue.flags = QUEUE_USED;
        queue.name = name;
        *queueId = static_cast<uint16_t>(OS_QUEUE_ID_BASE + slotOf(queue));
        return OS_OK;
    }
    TRACE(TRC_ERROR, "! queue name table full");
    return OS_NO_SLOT;
}

OsResult osQueueSetName(uint16_t queueId, OsQueueName name) {
    PlatLockGuard guard(g_lock);
    OsQueue* queue = checkQueue(queueId);
    if (!queue || queue->name != 0) return OS_BAD_ID;
    queue->name = name;
    return OS_OK;
}

OsResult osQueueFindByName(OsQueueName name, uint16_t* queueId) {
    if (!queueId) {
        DEBUG_BREAK(kSource);
        return OS_BAD_ID;
    }
    PlatLockGuard guard(g_lock);
    for (const auto& queue : g.queues) {
        if ((queue.flags & (QUEUE_USED | QUEUE_TASK)) && queue.name == name) {
            *queueId = static_cast<uint16_t>(OS_QUEUE_ID_BASE + slotOf(queue));
            return OS_OK;
        }
    }
    // The module manager looks its own name up before it exists: no trace for it.
    if ((name & 0xFF) != 0x40) TRACE(TRC_ERROR, "! Queue name 0x%X identifier not found", name);
    return OS_BAD_ID;
}

OsResult osTaskCreate(void* instance, OsTaskProc procedure, OsQueueName name, uint16_t* queueId) {
    TRACE(TRC_MEMORY, "osTaskCreate(), ID=0x%X, entry proc %p, exit proc %p, instance %p", name & 0xFF,
          reinterpret_cast<void*>(procedure), nullptr, instance);
    if (!procedure) DEBUG_BREAK(kSource);
    // One lock hold, so that no post can find the queue before it is a task.
    PlatLockGuard guard(g_lock);
    OsResult result = osQueueAllocate(name, queueId);
    if (result != OS_OK) return result;
    OsQueue& queue = g.queues[*queueId - OS_QUEUE_ID_BASE];
    queue.flags |= QUEUE_TASK;
    queue.procedure = procedure;
    queue.instance = instance;
    return OS_OK;
}

OsResult osMessageSend(uint16_t queueId, const OsMessage* message) {
    if (!message) {
        DEBUG_BREAK(kSource);
        return OS_BAD_ID;
    }
    bool wake = false;
    OsResult result = OS_OK;
    OsSchedulerHook hook = nullptr;
    void* hookArgument = nullptr;
    {
        PlatLockGuard guard(g_lock);
        if (queueId == OS_QUEUE_BROADCAST) {
            for (auto& queue : g.queues) {
                if ((queue.flags & (QUEUE_USED | QUEUE_BROADCAST)) != (QUEUE_USED | QUEUE_BROADCAST)) continue;
                result = post(queue, *message, wake);
                if (result != OS_OK) break;   // later targets get nothing
            }
        } else {
            OsQueue* queue = checkQueue(queueId);
            if (!queue) return OS_BAD_ID;
            result = post(*queue, *message, wake);
        }
        if (wake) {
            hook = g.hook;
            hookArgument = g.hookArgument;
        }
    }
    // Targets that did get the message are woken even when a later one failed. The hook runs
    // after the lock is let go: the worker it wakes takes the lock first thing.
    if (hook) hook(hookArgument);
    return result;
}

OsResult osMessageReceive(uint16_t queueId, OsMessage* message) {
    if (!message) {
        DEBUG_BREAK(kSource);
        return OS_BAD_ID;
    }
    PlatLockGuard guard(g_lock);
    OsQueue* queue = checkQueue(queueId);
    if (!queue) return OS_BAD_ID;
    return receive(*queue, message);
}

OsResult osMessageSendByName(OsMessage* message, uint32_t newSource) {
    if (!message) {
        DEBUG_BREAK(kSource);
        return OS_BAD_ID;
    }
    uint16_t queueId = 0;
    OsResult result = osQueueFindByName(message->source, &queueId);
    if (result != OS_OK) return result;
    message->source = newSource;
    return osMessageSend(queueId, message);
}

void osRunTasks() {
    PlatLockGuard guard(g_lock);
    if (g.running) return;
    g.running = true;
    while (slQueueNode* node = slQueueRemoveHead(&g.ready)) {
        OsQueue* queue = slQueueOwner<ReadyRecord>(node)->queue;
        slQueueAddTail(&g.freeReady, node);
        if (!queue->procedure) {
            // A task without a procedure: its message is dropped rather than left to exhaust the elements.
            OsMessage dropped;
            receive(*queue, &dropped);
            DEBUG_BREAK(kSource);
            continue;
        }
        OsTaskProc procedure = queue->procedure;
        void* instance = queue->instance;
        ++g.dispatched;
        g_lock.unlock();
        procedure(instance);
        g_lock.lock();
    }
    // Cleared in the same lock hold as the last look at the ready list: a post racing the end of
    // the pass either finds the flag set and its record taken above, or wakes the scheduler.
    g.running = false;
}

void osSetSchedulerHook(OsSchedulerHook hook, void* argument) {
    PlatLockGuard guard(g_lock);
    g.hook = hook;
    g.hookArgument = argument;
}

void osSignalScheduler() {
    PlatLockGuard guard(g_lock);
    if (g.hook) g.hook(g.hookArgument);
}

void osProcessPending() {
    hwTimerUpdate();
    osRunTasks();
    hwTimerRearm();
}

uint32_t osRunUntilIdle() {
    uint32_t before = 0;
    {
        PlatLockGuard guard(g_lock);
        if (g.running) return 0;
        before = g.dispatched;
    }
    for (;;) {
        osProcessPending();
        PlatLockGuard guard(g_lock);
        if (g.ready.count == 0 || g.running) return g.dispatched - before;
    }
}

uint16_t osRandom() {
    PlatLockGuard guard(g_lock);
    g.random = shiftStep(shiftStep(g.random));
    return g.random;
}
