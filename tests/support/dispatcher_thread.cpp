#include "dispatcher_thread.h"

#include "os/os.h"

DispatcherThread::DispatcherThread() {
    wake_.create(0, 64);
    osSetSchedulerHook(&DispatcherThread::wake, this);
    thread_ = platThreadStart("test dispatcher", &DispatcherThread::run, this);
}

DispatcherThread::~DispatcherThread() {
    osSetSchedulerHook(nullptr, nullptr);
    stop_ = true;
    wake_.release();
    platThreadJoin(thread_, PLAT_INFINITE);
    wake_.destroy();
}

void DispatcherThread::wake(void* self) { static_cast<DispatcherThread*>(self)->wake_.release(); }

void DispatcherThread::run(void* self) {
    auto* d = static_cast<DispatcherThread*>(self);
    while (d->wake_.wait(PLAT_INFINITE) == PlatWait::Signaled && !d->stop_) osRunUntilIdle();
}
