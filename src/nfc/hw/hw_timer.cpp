#include "hw/hw_timer.h"

#include <utility>

#include "hw/hw_basetimer.h"
#include "mm/mm.h"
#include "platform.h"
#include "util/dlqueue.h"
#include "util/trace.h"

namespace {

constexpr char kSource[] = "..\\..\\src\\nfc\\hw\\hw_timer";
constexpr MmLayer1Info kLayer1Info[] = {{0xB3, 2, 0, 0}, {0x33, 2, 0, 0}};

struct TimerEntry {
    slQueueNode link;
    uint32_t owner;       // the owner's source word
    uint16_t queue;       // the owner's queue, where the expiry goes
    uint8_t timerId;
    uint8_t channel;
    uint8_t type;
    uint8_t spare;
    uint32_t delta;       // ticks to wait after the entry before it expires
};
static_assert(offsetof(TimerEntry, link) == 0);

struct TimerState {
    TimerEntry entries[HW_TIMER_ENTRIES];
    slQueue running;
    slQueue free;
    uint32_t lastUpdate;
    uint32_t totalTicks;
    uint32_t word;        // the timer task's module word
    uint16_t queue;
    bool startSeen;
    bool initialised;
    OsBaseTimer* base;
    bool armed;           // the base timer is pending for armedAt
    uint32_t armedAt;     // tick count
    uint32_t arming;      // counts the decisions to arm
};

TimerState g;
PlatLock g_lock;        // the timer lock: lists and tick bookkeeping

TimerEntry* entryOf(slQueueNode* node) { return slQueueOwner<TimerEntry>(node); }

// Timer lock held.
void expireFirst() {
    TimerEntry* e = entryOf(slQueueRemoveHead(&g.running));
    OsMessage expiry{};
    expiry.command = HW_TIMER_EXPIRED;
    expiry.source = g.word;
    osMsgSetFields(expiry, HwTimerFields{e->timerId, e->channel, e->type, e->spare, e->delta});
    osMessageSend(e->queue, &expiry);
    slQueueAddTail(&g.free, &e->link);
}

// Timer lock held. A new timer goes ahead of a first entry that expires at the same tick and
// behind every later entry that does.
void insert(TimerEntry* entry, uint32_t ticks) {
    TimerEntry* first = g.running.head ? entryOf(g.running.head) : nullptr;
    if (!first || first->delta >= ticks) {
        entry->delta = ticks;
        if (first) first->delta -= ticks;
        slQueueInsertAfter(&g.running, nullptr, &entry->link);
        return;
    }
    TimerEntry* previous = first;
    uint32_t remaining = ticks - first->delta;
    while (previous->link.next && entryOf(previous->link.next)->delta <= remaining) {
        previous = entryOf(previous->link.next);
        remaining -= previous->delta;
    }
    entry->delta = remaining;
    if (previous->link.next) entryOf(previous->link.next)->delta -= remaining;
    slQueueInsertAfter(&g.running, &previous->link, &entry->link);
}

void startTimer(const OsMessage& message) {
    const auto f = osMsgFields<HwTimerFields>(message);
    PlatLockGuard guard(g_lock);
    if (!g.startSeen) {
        g.startSeen = true;
        g.lastUpdate = platTickMs();
    }
    if (f.type != 0) {
        TRACE(TRC_ERROR, "! unknown timer type");
        return;
    }
    if (f.ticks == 0) {
        OsMessage expiry = message;
        expiry.command = HW_TIMER_EXPIRED;
        osMessageSendByName(&expiry, g.word);
        return;
    }
    slQueueNode* node = slQueueRemoveHead(&g.free);
    if (!node) {
        TRACE(TRC_ERROR, "%s, no free timer slot !", "hwSetTimer");
        return;
    }
    TimerEntry* entry = entryOf(node);
    *entry = TimerEntry{{}, message.source, 0, f.timerId, f.channel, f.type, f.spare, 0};
    if (osQueueFindByName(message.source, &entry->queue) != OS_OK) {
        // No owner to tell: the entry goes back, so it does not run short of entries later.
        DEBUG_BREAK(kSource);
        slQueueAddTail(&g.free, node);
        return;
    }
    insert(entry, f.ticks);
}

void stopTimer(const OsMessage& message) {
    const auto f = osMsgFields<HwTimerFields>(message);
    PlatLockGuard guard(g_lock);
    if (f.type != 0) return;
    for (slQueueNode* n = g.running.head; n; n = n->next) {
        TimerEntry* e = entryOf(n);
        if (e->owner != message.source || e->timerId != f.timerId || e->channel != f.channel) continue;
        if (n->next) entryOf(n->next)->delta += e->delta;
        slQueueRemove(&g.running, n);
        slQueueAddTail(&g.free, n);
        return;
    }
}

void hwSetTimer(void*) {
    OsMessage message{};
    if (osMessageReceive(g.queue, &message) != OS_OK) return;
    switch (message.command) {
    case HW_TIMER_START: startTimer(message); break;
    case HW_TIMER_STOP: stopTimer(message); break;
    case HW_TIMER_RESTART:
        stopTimer(message);
        startTimer(message);
        break;
    default: break;
    }
}

// Runs on the platform's timer thread.
void osTimerCallBack(void*) {
    bool haveBase = false;
    {
        PlatLockGuard guard(g_lock);
        haveBase = g.base != nullptr;
        g.armed = false;   // this was it
    }
    if (!haveBase) {
        TRACE(TRC_ERROR, "! osTimerCallBack without ghTimer handle");
        return;
    }
    hwTimerUpdate();
    hwTimerRearm();
}

} // namespace

OsResult hwTimerRegister() {
    return osModuleRegister(HW_TIMER_QUEUE_NAME, 0, &hwTimerTaskInit, nullptr, MM_TYPE_TIMER);
}

int32_t hwTimerTaskInit(void*, uint32_t moduleWord) {
    hwMarveldTimerInit();
    g.word = moduleWord;
    if (osTaskCreate(nullptr, &hwSetTimer, moduleWord, &g.queue) != OS_OK) return -1;
    // The module manager hands us our start: its queue exists, or nothing could have started us.
    uint16_t manager = 0;
    if (osQueueFindByName(MM_QUEUE_NAME, &manager) != OS_OK) {
        DEBUG_BREAK(kSource);
        return -1;
    }
    for (const MmLayer1Info& info : kLayer1Info) {
        OsMessage message{};
        message.command = MM_LAYER1_INFO;
        message.source = moduleWord;
        osMsgSetFields(message, info);
        osMessageSend(manager, &message);
    }
    return 0;
}

OsResult osGetTimerQueueID(uint16_t* id) {
    OsResult result = osQueueFindByName(HW_TIMER_QUEUE_NAME, id);
    if (result != OS_OK) DEBUG_BREAK(kSource);
    return result;
}

void hwTimerUpdate() {
    PlatLockGuard guard(g_lock);
    if (!g.initialised) return;
    const uint32_t now = platTickMs();
    const uint32_t elapsed = now - g.lastUpdate;
    g.lastUpdate = now - elapsed % HW_TIMER_TICK_MS;
    const uint32_t ticks = elapsed / HW_TIMER_TICK_MS;
    g.totalTicks += ticks;
    if (ticks == 0 || !g.running.head) return;
    // Only the first entry consumes ticks; the ones behind it expire with it when their delta is 0.
    TimerEntry* first = entryOf(g.running.head);
    if (first->delta <= ticks) expireFirst();
    else first->delta -= ticks;
    while (g.running.head && entryOf(g.running.head)->delta == 0) expireFirst();
}

// The base timer is armed anew only for a first deadline earlier than the armed one: a deadline
// that moved later lets the armed one expire early, and that expiry finds nothing due and arms
// for the rest. So a timer started and stopped for every frame costs no timer-thread wake-ups.
void hwTimerRearm() {
    for (;;) {
        OsBaseTimer* base = nullptr;
        uint32_t ms = 0;
        uint32_t decision = 0;
        {
            PlatLockGuard guard(g_lock);
            if (!g.initialised || !g.running.head) return;
            ms = entryOf(g.running.head)->delta * HW_TIMER_TICK_MS;
            const uint32_t deadline = platTickMs() + ms;
            if (g.armed && static_cast<int32_t>(deadline - g.armedAt) >= 0) return;
            g.armed = true;
            g.armedAt = deadline;
            decision = ++g.arming;
            base = g.base;
        }
        // Without the timer lock: arming waits for a callback that needs it.
        const bool started = osBaseTimerStart(base, ms) == 1;
        PlatLockGuard guard(g_lock);
        if (g.arming == decision) {
            if (!started) g.armed = false;
            return;
        }
        // The worker and the timer thread decided at once, and the other start may have come
        // first and been replaced by ours: decide again on what is first now.
        g.armed = false;
    }
}

bool hwTimerArmedAt(uint32_t* tick) {
    PlatLockGuard guard(g_lock);
    if (tick) *tick = g.armedAt;
    return g.armed;
}

void hwMarveldTimerInit() {
    TRACE(TRC_API, "hwMarveldTimerInit");
    g_lock.create();
    // Made before the timer lock is taken: its callback takes the timer lock inside the table's.
    OsBaseTimer* base = osBaseTimerCreate(&osTimerCallBack, nullptr);
    PlatLockGuard guard(g_lock);
    g = TimerState{};
    for (auto& entry : g.entries) slQueueAddTail(&g.free, &entry.link);
    g.lastUpdate = platTickMs();
    g.base = base;
    g.initialised = true;
}

void hwMarveldTimerDone() {
    OsBaseTimer* base = nullptr;
    {
        PlatLockGuard guard(g_lock);
        if (!g.initialised) return;
        base = g.base;
    }
    TRACE(TRC_API, "hwMarveldTimerDone enter, ghTimer %p", static_cast<void*>(base));
    // Deleted before it is forgotten: a callback still running finds it, and is waited for.
    osBaseTimerDelete(base);
    {
        PlatLockGuard guard(g_lock);
        TRACE(TRC_API, "Free base timer %p", static_cast<void*>(base));
        g = TimerState{};
    }
    g_lock.destroy();
    TRACE(TRC_API, "hwMarveldTimerDone exit");
}
