#include "platform.h"

#include <condition_variable>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

// True once ready() holds. A zero time-out only looks: a timed sleep on an expired deadline
// still lasts the kernel's timer slack, tens of microseconds on every poll of a hot path.
template <typename Ready>
bool waitReady(std::condition_variable& cv, std::unique_lock<std::mutex>& g, uint32_t timeoutMs, Ready ready) {
    if (timeoutMs == 0) return ready();
    if (timeoutMs == PLAT_INFINITE) {
        cv.wait(g, ready);
        return true;
    }
    return cv.wait_until(g, deadlineAfter(timeoutMs), ready);
}

} // namespace

// ---- Locks --------------------------------------------------------------------------------
// The re-entry count belongs to the holder: only the thread named in owner changes it.
struct PlatLock::Impl {
    std::mutex m;
    std::atomic<uint32_t> owner{0};
    uint32_t depth = 0;
};

PlatLock::PlatLock() : impl_(std::make_unique<Impl>()) {}
PlatLock::~PlatLock() = default;
void PlatLock::create() { valid_.store(true, std::memory_order_release); }

bool PlatLock::destroy() {
    if (impl_->owner.load(std::memory_order_relaxed) == platCurrentThreadId() || !impl_->m.try_lock()) return false;
    valid_.store(false, std::memory_order_release);
    impl_->m.unlock();
    return true;
}

void PlatLock::lock() {
    if (!valid()) return;
    const uint32_t me = platCurrentThreadId();
    if (impl_->owner.load(std::memory_order_relaxed) != me) {
        impl_->m.lock();
        impl_->owner.store(me, std::memory_order_relaxed);
    }
    ++impl_->depth;
}

void PlatLock::unlock() {
    if (impl_->owner.load(std::memory_order_relaxed) != platCurrentThreadId()) return;
    if (--impl_->depth != 0) return;
    impl_->owner.store(0, std::memory_order_relaxed);
    impl_->m.unlock();
}

// ---- Semaphore ----------------------------------------------------------------------------
struct PlatSemaphore::Impl {
    mutable std::mutex m;
    std::condition_variable cv;
    bool valid = false;
    uint32_t count = 0;
    uint32_t maximum = 0;
};

PlatSemaphore::PlatSemaphore() : impl_(std::make_shared<Impl>()) {}
PlatSemaphore::~PlatSemaphore() = default;

bool PlatSemaphore::create(uint32_t initial, uint32_t maximum) {
    if (maximum == 0 || initial > maximum) return false;
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->valid = true;
    impl_->count = initial;
    impl_->maximum = maximum;
    return true;
}

void PlatSemaphore::destroy() {
    std::shared_ptr<Impl> keep = impl_;
    {
        std::lock_guard<std::mutex> g(keep->m);
        keep->valid = false;
        keep->count = 0;
    }
    keep->cv.notify_all();
}

bool PlatSemaphore::valid() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->valid;
}

bool PlatSemaphore::release(uint32_t n) {
    std::shared_ptr<Impl> keep = impl_;
    {
        std::lock_guard<std::mutex> g(keep->m);
        if (!keep->valid || n == 0 || n > keep->maximum - keep->count) return false;
        keep->count += n;
    }
    keep->cv.notify_all();
    return true;
}

PlatWait PlatSemaphore::wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(impl_->m);
    if (!waitReady(impl_->cv, g, timeoutMs, [this] { return !impl_->valid || impl_->count > 0; })) return PlatWait::Timeout;
    if (!impl_->valid) return PlatWait::Failed;
    --impl_->count;
    return PlatWait::Signaled;
}

uint32_t PlatSemaphore::count() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->count;
}

// ---- Event --------------------------------------------------------------------------------
struct PlatEvent::Impl {
    mutable std::mutex m;
    std::condition_variable cv;
    bool valid = false;
    bool manual = false;
    bool state = false;
};

PlatEvent::PlatEvent() : impl_(std::make_shared<Impl>()) {}
PlatEvent::~PlatEvent() = default;

bool PlatEvent::create(bool manualReset, bool initialState) {
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->valid = true;
    impl_->manual = manualReset;
    impl_->state = initialState;
    return true;
}

void PlatEvent::destroy() {
    std::shared_ptr<Impl> keep = impl_;
    {
        std::lock_guard<std::mutex> g(keep->m);
        keep->valid = false;
        keep->state = false;
    }
    keep->cv.notify_all();
}

bool PlatEvent::valid() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->valid;
}

void PlatEvent::set() {
    std::shared_ptr<Impl> keep = impl_;
    {
        std::lock_guard<std::mutex> g(keep->m);
        if (!keep->valid) return;
        keep->state = true;
    }
    keep->cv.notify_all();
}

void PlatEvent::reset() {
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->state = false;
}

PlatWait PlatEvent::wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(impl_->m);
    if (!waitReady(impl_->cv, g, timeoutMs, [this] { return !impl_->valid || impl_->state; })) return PlatWait::Timeout;
    if (!impl_->valid) return PlatWait::Failed;
    if (!impl_->manual) impl_->state = false;
    return PlatWait::Signaled;
}

// ---- Threads ------------------------------------------------------------------------------
struct PlatThread {
    std::thread thread;
    std::mutex m;
    std::condition_variable cv;
    bool started = false;
    bool finished = false;
    std::atomic<uint32_t> tid{0};
    std::thread::id id;
};

namespace {

void threadBody(PlatThread* t, std::string name, PlatThreadProc proc, void* argument) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    {
        // Known before the creator returns, as a created thread's id is.
        std::lock_guard<std::mutex> g(t->m);
        t->tid.store(platCurrentThreadId());
        t->id = std::this_thread::get_id();
        t->started = true;
        t->cv.notify_all();
    }
    proc(argument);
    std::lock_guard<std::mutex> g(t->m);
    t->finished = true;
    t->cv.notify_all();
}

} // namespace

PlatThread* platThreadStart(const char* name, PlatThreadProc proc, void* argument) {
    if (!proc) return nullptr;
    auto* t = new (std::nothrow) PlatThread;
    if (!t) return nullptr;
    try {
        t->thread = std::thread(threadBody, t, std::string(name ? name : ""), proc, argument);
    } catch (...) {
        delete t;
        return nullptr;
    }
    std::unique_lock<std::mutex> g(t->m);
    t->cv.wait(g, [t] { return t->started; });
    return t;
}

PlatWait platThreadJoin(PlatThread* t, uint32_t timeoutMs) {
    if (!t || t->id == std::this_thread::get_id()) return PlatWait::Failed;
    {
        std::unique_lock<std::mutex> g(t->m);
        if (!waitReady(t->cv, g, timeoutMs, [t] { return t->finished; })) return PlatWait::Timeout;
    }
    t->thread.join();
    delete t;
    return PlatWait::Signaled;
}

bool platThreadIsCurrent(const PlatThread* t) {
    return t && t->id == std::this_thread::get_id();
}

uint32_t platThreadId(const PlatThread* t) { return t ? t->tid.load() : 0; }
namespace {

// The id asked of the kernel once per thread: callbacks and traces ask for it on every exchange.
thread_local uint32_t t_threadId = 0;

void forgetThreadId() { t_threadId = 0; }   // a forked child's only thread is a new one

} // namespace

uint32_t platCurrentThreadId() {
    if (t_threadId == 0) {
        static const int forkHook = pthread_atfork(nullptr, nullptr, &forgetThreadId);
        (void)forkHook;
        t_threadId = static_cast<uint32_t>(syscall(SYS_gettid));
    }
    return t_threadId;
}
void platYield() { sched_yield(); }
void platSleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---- Time ---------------------------------------------------------------------------------
namespace {

uint32_t monotonicTick() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

std::atomic<PlatTickSource> g_tickSource{&monotonicTick};

} // namespace

uint32_t platTickMs() { return g_tickSource.load()(); }

PlatTickSource platSetTickSource(PlatTickSource source) {
    PlatTickSource previous = g_tickSource.exchange(source ? source : &monotonicTick);
    return previous == &monotonicTick ? nullptr : previous;
}

uint64_t platHighResCounter() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t platHighResFrequency() { return 1000000000ull; }

// ---- One-shot timers ----------------------------------------------------------------------
namespace {

// One thread serves every one-shot timer. It waits only on its condition variable, so a stop
// request always reaches it.
class TimerService {
public:
    ~TimerService() { stop(); }

    uint32_t start(uint32_t delayMs, PlatTimerProc proc, void* argument) {
        std::unique_lock<std::mutex> g(m_);
        if (!thread_.joinable()) {
            stopping_ = false;
            try {
                thread_ = std::thread([this] { run(); });
            } catch (...) {
                return 0;
            }
        }
        uint32_t id = ++nextId_;
        if (id == 0) id = ++nextId_;
        const Clock::time_point deadline = deadlineAfter(delayMs);
        const bool first = pending_.empty() || deadline < pending_.begin()->first;
        pending_.emplace(deadline, Entry{id, proc, argument});
        g.unlock();
        // The timer thread only needs to wake when its next deadline moved earlier.
        if (first) cv_.notify_all();
        return id;
    }

    bool cancel(uint32_t id) {
        std::unique_lock<std::mutex> g(m_);
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->second.id == id) {
                pending_.erase(it);
                return true;
            }
        }
        // A callback of this timer that is running right now finishes before we return,
        // unless we are that callback.
        if (running_ == id && std::this_thread::get_id() != thread_.get_id())
            cv_.wait(g, [&] { return running_ != id; });
        return false;
    }

    void stop() {
        std::thread t;
        {
            std::lock_guard<std::mutex> g(m_);
            stopping_ = true;
            pending_.clear();
            cv_.notify_all();
            t = std::move(thread_);
        }
        if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
        else if (t.joinable()) t.detach();
    }

private:
    struct Entry { uint32_t id; PlatTimerProc proc; void* argument; };

    void run() {
        pthread_setname_np(pthread_self(), "timer");
        std::unique_lock<std::mutex> g(m_);
        while (!stopping_) {
            if (pending_.empty()) {
                cv_.wait(g);
                continue;
            }
            auto first = pending_.begin();
            if (Clock::now() < first->first) {
                // A copy: a cancel during the wait frees the entry that holds the deadline.
                const Clock::time_point deadline = first->first;
                cv_.wait_until(g, deadline);
                continue;
            }
            Entry e = first->second;
            pending_.erase(first);
            running_ = e.id;
            g.unlock();
            e.proc(e.argument);
            g.lock();
            running_ = 0;
            cv_.notify_all();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::multimap<Clock::time_point, Entry> pending_;
    std::thread thread_;
    bool stopping_ = false;
    uint32_t nextId_ = 0;
    uint32_t running_ = 0;
};

TimerService& timerService() {
    static TimerService service;
    return service;
}

} // namespace

uint32_t platTimerStart(uint32_t delayMs, PlatTimerProc proc, void* argument) {
    if (!proc) return 0;
    return timerService().start(delayMs, proc, argument);
}

bool platTimerCancel(uint32_t id) { return id != 0 && timerService().cancel(id); }

void platTimerStopThread() { timerService().stop(); }

// ---- Run-time loading ---------------------------------------------------------------------
void* platLibraryOpen(const std::string& path, std::string* error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h && error) {
        const char* e = dlerror();
        *error = e ? e : "unknown error";
    }
    return h;
}

void* platLibrarySymbol(void* library, const char* name) {
    return library && name ? dlsym(library, name) : nullptr;
}

void platLibraryClose(void* library) {
    if (library) dlclose(library);
}

namespace {

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

} // namespace

std::string platLibraryPath(void** base) {
    Dl_info info{};
    if (base) *base = nullptr;
    if (dladdr(reinterpret_cast<void*>(&platLibraryPath), &info) == 0 || !info.dli_fname) return std::string();
    if (base) *base = info.dli_fbase;
    char resolved[4096];
    return realpath(info.dli_fname, resolved) ? std::string(resolved) : std::string(info.dli_fname);
}

std::string platLibraryFolder() {
    std::string path = platLibraryPath();
    return path.empty() ? std::string("./") : folderOf(path);
}

std::string platExecutableFolder() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./";
    path[n] = '\0';
    return folderOf(path);
}

// ---- Trace sink ---------------------------------------------------------------------------
namespace {

struct TraceSink {
    std::mutex m;
    FILE* file = nullptr;
    bool enabled = false;

    TraceSink() {
        const char* where = std::getenv("CORVANE_TRACE");
        if (!where || !*where) return;
        if (std::strcmp(where, "stderr") == 0) {
            file = stderr;
        } else {
            file = std::fopen(where, "a");
        }
        enabled = file != nullptr;
    }
    ~TraceSink() {
        if (file && file != stderr) std::fclose(file);
    }
};

TraceSink& traceSink() {
    static TraceSink sink;
    return sink;
}

} // namespace

void platTraceWrite(const char* line) {
    TraceSink& s = traceSink();
    if (!s.enabled || !line) return;
    std::lock_guard<std::mutex> g(s.m);
    std::fputs(line, s.file);
    std::fflush(s.file);
}

bool platTraceEnabled() { return traceSink().enabled; }

// ---- System error texts -------------------------------------------------------------------
std::string platErrorText(int code) {
    char buf[256];
    // GNU strerror_r may return a static text instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    return text ? std::string(text) : std::string();
}

int platLastError() { return errno; }
