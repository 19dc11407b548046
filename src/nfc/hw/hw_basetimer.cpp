#include "hw/hw_basetimer.h"

#include <new>
#include <utility>

#include "platform.h"
#include "util/trace.h"

namespace {

constexpr uint16_t kMagic = 0xABCD;
constexpr uint32_t kResolutionMs = 5;

struct Slot {
    OsBaseTimer* timer;
    bool inUse;
};

struct Table {
    Slot slots[OS_BASE_TIMER_SLOTS];
    uint32_t started;        // slots in use
    uint32_t timers;         // base timers that exist
    PlatLock lock;
};

Table g_table;

} // namespace

struct OsBaseTimer {
    uint32_t platformId;     // the one-shot armed last, 0 none
    uint32_t resolution;
    uint32_t delay;
    OsBaseTimerProc callback;
    void* userData;
    uint16_t magic;
    uint32_t slot;           // 1..9, 0 none
    bool running;
    bool inCallback;
    bool closing;            // being deleted: it is not started again
    PlatEvent idle;          // set while no callback runs; changed with inCallback under the table lock
};

namespace {

void waitForCallback(OsBaseTimer* t) {
    for (;;) {
        {
            PlatLockGuard guard(g_table.lock);
            if (!t->inCallback) return;
        }
        t->idle.wait(PLAT_INFINITE);
    }
}

void fire(void* slot) { osSystemTimerCallBack(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(slot))); }

// Table lock held. The lowest slot that is free or already holds the timer; 0 none.
uint32_t takeSlot(OsBaseTimer* t) {
    for (uint32_t n = 1; n <= OS_BASE_TIMER_SLOTS; ++n) {
        Slot& s = g_table.slots[n - 1];
        if (s.inUse && s.timer != t) continue;
        if (!s.inUse) ++g_table.started;
        s = Slot{t, true};
        t->slot = n;
        t->running = true;
        return n;
    }
    return 0;
}

// Table lock held.
void freeSlot(OsBaseTimer* t) {
    if (t->slot) {
        g_table.slots[t->slot - 1] = Slot{};
        --g_table.started;
    }
    t->slot = 0;
    t->running = false;
}

} // namespace

OsBaseTimer* osBaseTimerCreate(OsBaseTimerProc callback, void* userData) {
    auto* t = new (std::nothrow) OsBaseTimer{};
    if (!t) return nullptr;
    t->callback = callback;
    t->userData = userData;
    t->magic = kMagic;
    t->idle.create(true, true);
    g_table.lock.create();
    PlatLockGuard guard(g_table.lock);
    ++g_table.timers;
    return t;
}

void osBaseTimerDelete(OsBaseTimer* t) {
    if (!t) return;
    {
        PlatLockGuard guard(g_table.lock);
        t->closing = true;
    }
    osBaseTimerStop(t);
    // A callback that ran when we stopped has left the timer in place; once it is over the timer
    // stops for good, since a closing timer is not started again.
    waitForCallback(t);
    osBaseTimerStop(t);
    bool last = false;
    {
        PlatLockGuard guard(g_table.lock);
        t->magic = 0;
        last = --g_table.timers == 0;
    }
    if (last) g_table.lock.destroy();
    t->idle.destroy();
    delete t;
}

int osBaseTimerStart(OsBaseTimer* t, uint32_t ms) {
    if (!t) return 0;
    // The worker and the timer thread may both start the timer: its fields change under the lock.
    bool running = false;
    {
        PlatLockGuard guard(g_table.lock);
        t->resolution = kResolutionMs;
        t->delay = ms;
        running = t->running;
    }
    if (running) osBaseTimerStop(t);
    uint32_t slot = 0;
    {
        PlatLockGuard guard(g_table.lock);
        if (t->closing) return 0;
        slot = takeSlot(t);
        if (!slot) {
            debugPrint(DBG_ERROR, "%s: no free Timer found!", "osBaseTimerStart");
            return 0;
        }
    }
    const uint32_t id = platTimerStart(ms, &fire, reinterpret_cast<void*>(static_cast<uintptr_t>(slot)));
    uint32_t previous = 0;
    bool armed = false;
    {
        PlatLockGuard guard(g_table.lock);
        armed = id && !t->closing;
        if (!armed) {
            if (!id) debugPrint(DBG_ERROR, "osBaseTimerStart exit hTimer=%p, timer-count=%d", static_cast<void*>(t),
                                static_cast<int>(g_table.started));
            if (!t->inCallback) freeSlot(t);
            previous = id;
        } else {
            // Two threads may arm the timer at once (the worker and the callback): the one-shot
            // armed before is cancelled, so only one stays pending.
            previous = std::exchange(t->platformId, id);
        }
    }
    // Cancelled without the table lock: a callback that is about to take it is waited for.
    if (previous) platTimerCancel(previous);
    return armed ? 1 : 0;
}

int osBaseTimerStop(OsBaseTimer* t) {
    if (!t) {
        debugPrint(DBG_ERROR, "osBaseTimerStop exit pTimer=%p, timer-count=%d", static_cast<void*>(t),
                   static_cast<int>(g_table.started));
        return 0;
    }
    uint32_t id = 0;
    {
        PlatLockGuard guard(g_table.lock);
        if (!t->running || t->inCallback) return 1;
        freeSlot(t);
        id = std::exchange(t->platformId, 0u);
    }
    if (id) platTimerCancel(id);
    return 1;
}

void osSystemTimerCallBack(uint32_t slot) {
    if (slot < 1 || slot > OS_BASE_TIMER_SLOTS) {
        debugPrint(DBG_ERROR, "%s: wrong timeSlot %d!", "osSystemTimerCallBack", static_cast<int>(slot));
        return;
    }
    g_table.lock.lock();
    const Slot s = g_table.slots[slot - 1];
    OsBaseTimer* t = s.timer;
    if (!t || !s.inUse || t->magic != kMagic) {
        g_table.lock.unlock();
        if (!t) debugPrint(DBG_INFO, ">>>>>> %s: timer %d is NULL!!!", "osSystemTimerCallBack", static_cast<int>(slot));
        else if (!s.inUse) debugPrint(DBG_INFO, ">>>>>> %s: timer %d not running anymore!!!", "osSystemTimerCallBack", static_cast<int>(slot));
        else debugPrint(DBG_INFO, ">>>>>> %s: magic number is wrong!!!", "osSystemTimerCallBack");
        return;
    }
    // The flag and the event change together under the table lock, and nothing of the timer is
    // touched once it is left: a delete that sees the flag clear may free the timer at once. No
    // lock is held across the callback, which takes the timer task's lock and the table's again.
    t->inCallback = true;
    t->idle.reset();
    g_table.lock.unlock();
    t->callback(t->userData);
    g_table.lock.lock();
    t->inCallback = false;
    t->idle.set();
    g_table.lock.unlock();
}
