#include "platform.h"

#include <condition_variable>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <linux/futex.h>
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

// ---- Futex words ----------------------------------------------------------------------------
namespace {

// What semaphores and events wait on: one 32-bit word, and the count of threads that may be
// asleep on it. A taker that finds what it wants changes the word and makes no system call; a
// waker makes one (a futex wake) only when someone may be asleep. The two counts are read in
// the opposite order by the two sides, both sequentially consistent, so a taker that is about to
// sleep is seen by every waker that changed the word after it looked, and the kernel refuses to
// put it to sleep on a word that changed since.
struct FutexWord {
    std::atomic<uint32_t> value{0};
    std::atomic<uint32_t> sleepers{0};
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the kernel reads the futex word itself");

uint32_t* futexAddress(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

// Sleeps while the word holds expected, until woken or the absolute monotonic deadline (none: no
// limit). False only when the deadline passed.
bool futexSleep(std::atomic<uint32_t>& word, uint32_t expected, const timespec* deadline) {
    const long rc = syscall(SYS_futex, futexAddress(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, deadline,
                            nullptr, FUTEX_BITSET_MATCH_ANY);
    return rc == 0 || errno != ETIMEDOUT;
}

void futexWake(FutexWord& w, uint32_t count) {
    if (w.sleepers.load(std::memory_order_seq_cst) == 0) return;
    const int n = count > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(count);
    syscall(SYS_futex, futexAddress(w.value), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, n, nullptr, nullptr, 0);
}

timespec monotonicDeadline(uint32_t ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        ++t.tv_sec;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

enum class Look { Taken, Empty, Gone };

// Takes what tryTake(seen) finds, sleeping on the word it saw while there is nothing, for at most
// timeoutMs: one futex wait with the deadline for each time it is woken without a take. A zero
// time-out only looks. A taker whose deadline passes looks once more: a wake meant for it was
// then taken by nobody else, and what it announced is not left lying.
template <typename TryTake>
PlatWait futexTake(FutexWord& w, uint32_t timeoutMs, TryTake tryTake) {
    uint32_t seen = 0;
    Look look = tryTake(seen);
    if (look == Look::Empty && timeoutMs != 0) {
        timespec deadline{};
        if (timeoutMs != PLAT_INFINITE) deadline = monotonicDeadline(timeoutMs);
        w.sleepers.fetch_add(1, std::memory_order_seq_cst);
        while ((look = tryTake(seen)) == Look::Empty) {
            if (!futexSleep(w.value, seen, timeoutMs == PLAT_INFINITE ? nullptr : &deadline)) {
                look = tryTake(seen);
                break;
            }
        }
        w.sleepers.fetch_sub(1, std::memory_order_relaxed);
    }
    return look == Look::Taken ? PlatWait::Signaled : look == Look::Gone ? PlatWait::Failed : PlatWait::Timeout;
}

} // namespace

// ---- Semaphore ----------------------------------------------------------------------------
namespace {
constexpr uint32_t kSemValid = 0x80000000u;
constexpr uint32_t kSemCount = 0x7FFFFFFFu;
} // namespace

// The word holds the count and, in its top bit, whether the semaphore exists.
struct PlatSemaphore::Impl {
    FutexWord word;
    std::atomic<uint32_t> maximum{0};
};

PlatSemaphore::PlatSemaphore() : impl_(std::make_shared<Impl>()) {}
PlatSemaphore::~PlatSemaphore() = default;

bool PlatSemaphore::create(uint32_t initial, uint32_t maximum) {
    if (maximum == 0 || initial > maximum || maximum > kSemCount) return false;
    impl_->maximum.store(maximum, std::memory_order_relaxed);
    impl_->word.value.store(kSemValid | initial, std::memory_order_seq_cst);
    return true;
}

void PlatSemaphore::destroy() {
    std::shared_ptr<Impl> keep = impl_;
    keep->word.value.store(0, std::memory_order_seq_cst);
    futexWake(keep->word, UINT32_MAX);
}

bool PlatSemaphore::valid() const { return impl_->word.value.load(std::memory_order_acquire) & kSemValid; }

bool PlatSemaphore::release(uint32_t n) {
    std::shared_ptr<Impl> keep = impl_;
    const uint32_t maximum = keep->maximum.load(std::memory_order_relaxed);
    uint32_t now = keep->word.value.load(std::memory_order_relaxed);
    do {
        if (!(now & kSemValid) || n == 0 || n > maximum - (now & kSemCount)) return false;
    } while (!keep->word.value.compare_exchange_weak(now, now + n, std::memory_order_seq_cst, std::memory_order_relaxed));
    futexWake(keep->word, n);
    return true;
}

PlatWait PlatSemaphore::wait(uint32_t timeoutMs) {
    std::atomic<uint32_t>& value = impl_->word.value;
    return futexTake(impl_->word, timeoutMs, [&value](uint32_t& seen) {
        seen = value.load(std::memory_order_seq_cst);
        for (;;) {
            if (!(seen & kSemValid)) return Look::Gone;
            if (!(seen & kSemCount)) return Look::Empty;
            if (value.compare_exchange_weak(seen, seen - 1, std::memory_order_acquire, std::memory_order_seq_cst))
                return Look::Taken;
        }
    });
}

uint32_t PlatSemaphore::count() const { return impl_->word.value.load(std::memory_order_acquire) & kSemCount; }

// ---- Event --------------------------------------------------------------------------------
namespace {
constexpr uint32_t kEventSet = 0x1u;
constexpr uint32_t kEventValid = 0x2u;
} // namespace

struct PlatEvent::Impl {
    FutexWord word;   // kEventSet and kEventValid
    std::atomic<bool> manual{false};
};

PlatEvent::PlatEvent() : impl_(std::make_shared<Impl>()) {}
PlatEvent::~PlatEvent() = default;

bool PlatEvent::create(bool manualReset, bool initialState) {
    impl_->manual.store(manualReset, std::memory_order_relaxed);
    impl_->word.value.store(kEventValid | (initialState ? kEventSet : 0u), std::memory_order_seq_cst);
    return true;
}

void PlatEvent::destroy() {
    std::shared_ptr<Impl> keep = impl_;
    keep->word.value.store(0, std::memory_order_seq_cst);
    futexWake(keep->word, UINT32_MAX);
}

bool PlatEvent::valid() const { return impl_->word.value.load(std::memory_order_acquire) & kEventValid; }

void PlatEvent::set() {
    std::shared_ptr<Impl> keep = impl_;
    uint32_t now = keep->word.value.load(std::memory_order_relaxed);
    do {
        if (!(now & kEventValid) || (now & kEventSet)) return;   // an event already set wakes no one more
    } while (!keep->word.value.compare_exchange_weak(now, now | kEventSet, std::memory_order_seq_cst,
                                                      std::memory_order_relaxed));
    futexWake(keep->word, keep->manual.load(std::memory_order_relaxed) ? UINT32_MAX : 1u);
}

void PlatEvent::reset() { impl_->word.value.fetch_and(~kEventSet, std::memory_order_seq_cst); }

PlatWait PlatEvent::wait(uint32_t timeoutMs) {
    std::atomic<uint32_t>& value = impl_->word.value;
    const bool manual = impl_->manual.load(std::memory_order_relaxed);
    return futexTake(impl_->word, timeoutMs, [&value, manual](uint32_t& seen) {
        seen = value.load(std::memory_order_seq_cst);
        for (;;) {
            if (!(seen & kEventValid)) return Look::Gone;
            if (!(seen & kEventSet)) return Look::Empty;
            if (manual) return Look::Taken;
            if (value.compare_exchange_weak(seen, seen & ~kEventSet, std::memory_order_acquire,
                                            std::memory_order_seq_cst))
                return Look::Taken;
        }
    });
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
