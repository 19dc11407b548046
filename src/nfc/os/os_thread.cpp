#include "os/os_thread.h"

#include <new>

namespace {

struct Stopwatch {
    uint64_t start;
    uint64_t last;
    uint64_t frequency;
};

Stopwatch g_stopwatches[OS_STOPWATCH_SLOTS];

} // namespace

OsThread* osThreadCreate(PlatThreadProc procedure, void* argument, const char* name) {
    if (!procedure) return nullptr;
    auto* thread = new (std::nothrow) OsThread{};
    if (!thread) return nullptr;
    thread->name = name;
    thread->handle = platThreadStart(name, procedure, argument);
    if (!thread->handle) {
        delete thread;
        return nullptr;
    }
    thread->id = platThreadId(thread->handle);
    return thread;
}

OsSemaphore* osSemaphoreCreate(uint32_t initial, uint32_t maximum) {
    auto* box = new (std::nothrow) OsSemaphore;
    if (box && !box->semaphore.create(initial, maximum)) {
        delete box;
        return nullptr;
    }
    return box;
}

BOOL osSemaphoreDelete(OsSemaphore* box) {
    if (!box) return 0;
    box->semaphore.destroy();
    delete box;
    return 1;
}

void osStopwatchInit() {
    for (auto& watch : g_stopwatches) watch = Stopwatch{0, 0, platHighResFrequency()};
}

void osStopwatchStart(uint32_t slot) {
    if (slot < OS_STOPWATCH_SLOTS) g_stopwatches[slot].start = platHighResCounter();
}

uint32_t osStopwatchElapsed(uint32_t slot) {
    if (slot >= OS_STOPWATCH_SLOTS || g_stopwatches[slot].frequency == 0) return 0;
    Stopwatch& watch = g_stopwatches[slot];
    watch.last = platHighResCounter();
    const float seconds = static_cast<float>(watch.last - watch.start) / static_cast<float>(watch.frequency);
    return static_cast<uint32_t>(seconds * 1000.0f);
}
