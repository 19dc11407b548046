// Runs the OS layer's tasks on a thread of its own, woken by every post that finds the
// dispatcher idle, the way the library's worker does.
#pragma once

#include <atomic>

#include "platform.h"

class DispatcherThread {
public:
    DispatcherThread();
    ~DispatcherThread();
    DispatcherThread(const DispatcherThread&) = delete;
    DispatcherThread& operator=(const DispatcherThread&) = delete;

private:
    static void run(void* self);
    static void wake(void* self);

    PlatSemaphore wake_;
    std::atomic<bool> stop_{false};
    PlatThread* thread_ = nullptr;
};
