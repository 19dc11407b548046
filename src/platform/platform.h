// The one layer that touches POSIX and thread interfaces. Everything above it sees the
// kernel services the stack was designed around: named threads, counting semaphores with a
// maximum, events, re-entrant locks, a millisecond tick, one-shot timers, run-time loading
// and a line sink for traces.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Result of every timed wait.
enum class PlatWait { Signaled, Timeout, Failed };

constexpr uint32_t PLAT_INFINITE = 0xFFFFFFFFu;

// ---- Locks --------------------------------------------------------------------------------
// A re-entrant lock that exists statically and carries a valid flag, so that code which
// "may not have created" it can still take it: taking a lock that is not valid takes nothing.
// unlock() lets go of exactly what this thread's lock() took, whatever happened to the flag
// meanwhile, so a lock never stays held for lack of a matching unlock.
class PlatLock {
public:
    PlatLock();
    ~PlatLock();
    PlatLock(const PlatLock&) = delete;
    PlatLock& operator=(const PlatLock&) = delete;

    void create();            // makes the lock valid (idempotent)
    // Makes it invalid, unless a thread holds it (this one included): then it stays valid and
    // held, and the answer is false.
    bool destroy();
    bool valid() const { return valid_.load(std::memory_order_acquire); }
    void lock();
    void unlock();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> valid_{false};
};

class PlatLockGuard {
public:
    explicit PlatLockGuard(PlatLock& l) : l_(l) { l_.lock(); }
    ~PlatLockGuard() { l_.unlock(); }
    PlatLockGuard(const PlatLockGuard&) = delete;
    PlatLockGuard& operator=(const PlatLockGuard&) = delete;
private:
    PlatLock& l_;
};

// ---- Counting semaphore -------------------------------------------------------------------
// Windows semantics: a release beyond the maximum count fails and changes nothing (the maximum
// is at most 0x7FFFFFFF, as a Windows count is). A wait on a semaphore that is not valid fails at
// once instead of blocking. Built on one futex word: a wait that finds a count and a release that
// finds nobody asleep make no system call, a release that does wakes with one futex wake, and a
// timed wait sleeps in one futex wait with its deadline. No thread spins.
class PlatSemaphore {
public:
    PlatSemaphore();
    ~PlatSemaphore();
    PlatSemaphore(const PlatSemaphore&) = delete;
    PlatSemaphore& operator=(const PlatSemaphore&) = delete;

    bool create(uint32_t initial, uint32_t maximum);
    void destroy();           // wakes every waiter with Failed
    bool valid() const;
    bool release(uint32_t count = 1);
    PlatWait wait(uint32_t timeoutMs);
    uint32_t count() const;

private:
    struct Impl;
    // Shared with a releaser until it has woken the waiters: a waiter may destroy the
    // semaphore as soon as its wait returns, while the releaser still issues the wake.
    std::shared_ptr<Impl> impl_;
};

// ---- Event --------------------------------------------------------------------------------
// Auto or manual reset, on a futex word as the semaphore: setting an event that is already set
// changes nothing, an auto-reset set wakes one waiter, a manual-reset set all of them.
class PlatEvent {
public:
    PlatEvent();
    ~PlatEvent();
    PlatEvent(const PlatEvent&) = delete;
    PlatEvent& operator=(const PlatEvent&) = delete;

    bool create(bool manualReset, bool initialState);
    void destroy();
    bool valid() const;
    void set();
    void reset();
    PlatWait wait(uint32_t timeoutMs);

private:
    struct Impl;
    // Shared with a setter until it has woken the waiters, as the semaphore's.
    std::shared_ptr<Impl> impl_;
};

// ---- Threads ------------------------------------------------------------------------------
using PlatThreadProc = void (*)(void* argument);
struct PlatThread;

// Starts a named thread (the name is shown by debuggers, cut to the system's 15 characters).
// Returns empty when the thread cannot be started.
PlatThread* platThreadStart(const char* name, PlatThreadProc proc, void* argument);
// Waits for the thread's end for at most timeoutMs. On success the record is freed and the
// pointer must not be used again; on time-out the thread keeps running and the caller may wait again.
PlatWait platThreadJoin(PlatThread* thread, uint32_t timeoutMs);
bool platThreadIsCurrent(const PlatThread* thread);
uint32_t platThreadId(const PlatThread* thread);
uint32_t platCurrentThreadId();
void platYield();
void platSleepMs(uint32_t ms);

// ---- Time ---------------------------------------------------------------------------------
// The 32-bit millisecond tick. Its source is the one seam through which tests drive time.
using PlatTickSource = uint32_t (*)();
uint32_t platTickMs();
// Installs another tick source (empty restores the monotonic clock); returns the previous one.
PlatTickSource platSetTickSource(PlatTickSource source);
uint64_t platHighResCounter();        // nanoseconds, monotonic
uint64_t platHighResFrequency();      // counts per second of the counter above

// ---- One-shot timers ----------------------------------------------------------------------
using PlatTimerProc = void (*)(void* argument);
// Runs proc(argument) once on the timer thread after delayMs. Returns an id (never 0), or 0
// when the timer thread cannot be started.
uint32_t platTimerStart(uint32_t delayMs, PlatTimerProc proc, void* argument);
// Cancels a pending timer; returns false when it already ran or is unknown. A callback that is
// running when this is called has finished by the time it returns (unless called from it).
bool platTimerCancel(uint32_t id);
// Ends the timer thread and drops the timers still pending; the next platTimerStart starts it
// again. Not from a timer callback.
void platTimerStopThread();

// ---- Run-time loading ---------------------------------------------------------------------
void* platLibraryOpen(const std::string& path, std::string* error = nullptr);
void* platLibrarySymbol(void* library, const char* name);
void platLibraryClose(void* library);
// Path of the shared object holding this code (empty when unknown) and, when asked, its load address.
std::string platLibraryPath(void** base = nullptr);
std::string platLibraryFolder();      // folder of the shared object holding this code, with '/'
std::string platExecutableFolder();   // folder of the running program, with '/'

// ---- Trace sink ---------------------------------------------------------------------------
// Takes one finished line. By default lines are discarded; CORVANE_TRACE=stderr or
// CORVANE_TRACE=<file path> sends them there.
void platTraceWrite(const char* line);
// True when CORVANE_TRACE names a sink that could be opened: lines written go somewhere.
bool platTraceEnabled();

// ---- System error texts -------------------------------------------------------------------
std::string platErrorText(int code);
int platLastError();
