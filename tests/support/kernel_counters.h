// What the kernel did for each thread of this process: system calls entered (the
// raw_syscalls:sys_enter tracepoint, counted per thread through perf_event_open), voluntary
// context switches (every wait that blocked, from /proc/self/task/<tid>/status), and the time on
// a CPU and waiting for one (/proc/self/task/<tid>/schedstat). A benchmark takes a snapshot
// before and after a block and divides the difference by the block's exchanges; a test counts
// the system calls of one thread around one call. Where the kernel refuses the tracepoint (no
// tracefs, perf_event_paranoid), system calls read as not counted; `strace -f -c` over a run
// gives the same count by hand.
#pragma once

#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <memory>
#include <string>

namespace kcount {

// The system calls one thread entered since this was made: the calling thread's unless a
// thread id is given.
class SyscallCounter {
public:
    explicit SyscallCounter(int tid = 0) : fd_(open(tid ? tid : static_cast<int>(::syscall(SYS_gettid)))) {
        if (fd_ >= 0) base_ = raw();   // the read that took the base is in it
    }
    ~SyscallCounter() {
        if (fd_ >= 0) ::close(fd_);
    }
    SyscallCounter(const SyscallCounter&) = delete;
    SyscallCounter& operator=(const SyscallCounter&) = delete;

    bool counted() const { return fd_ >= 0; }
    // The calling thread's system calls since this was made, without its reads of the counter.
    uint64_t count() {
        const uint64_t now = raw();
        return now - base_ - ++reads_;
    }
    // Everything so far, each read of the counter included (for a counter of another thread).
    uint64_t total() { return raw(); }

    static int tracepointId() {
        for (const char* root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
            if (FILE* f = std::fopen((std::string(root) + "/events/raw_syscalls/sys_enter/id").c_str(), "r")) {
                int id = -1;
                if (std::fscanf(f, "%d", &id) != 1) id = -1;
                std::fclose(f);
                if (id >= 0) return id;
            }
        }
        return -1;
    }

private:
    static int open(int tid) {
        static const int tracepoint = tracepointId();
        if (tracepoint < 0) return -1;
        perf_event_attr attr{};
        attr.size = sizeof attr;
        attr.type = PERF_TYPE_TRACEPOINT;
        attr.config = static_cast<uint64_t>(tracepoint);
        attr.exclude_hv = 1;
        return static_cast<int>(::syscall(SYS_perf_event_open, &attr, tid, -1, -1, PERF_FLAG_FD_CLOEXEC));
    }
    uint64_t raw() {
        uint64_t value = 0;
        if (fd_ < 0 || ::read(fd_, &value, sizeof value) != sizeof value) return 0;
        return value;
    }

    int fd_;
    uint64_t base_ = 0;
    uint64_t reads_ = 0;
};

struct ThreadCounts {
    std::string road;        // which side of the run the thread belongs to, see roadOf()
    uint64_t syscalls = 0;
    uint64_t switches = 0;
    uint64_t cpuNs = 0;      // on a CPU
    uint64_t queuedNs = 0;   // runnable, waiting for a CPU
};

// tid -> what it did so far.
using KernelSnapshot = std::map<int, ThreadCounts>;

// System calls are counted only by a KernelCounters made with countSyscalls: while its counters
// are open every system call of the process takes the kernel's slower, traced path, so the
// figures of a timed block come from counters without them.
class KernelCounters {
public:
    explicit KernelCounters(bool countSyscalls) : countSyscalls_(countSyscalls) {}
    KernelCounters(const KernelCounters&) = delete;
    KernelCounters& operator=(const KernelCounters&) = delete;

    bool syscallsCounted() const { return anyCounted_; }

    // Every thread of the process, counters opened on those started since the last snapshot. The
    // calling thread is looked at last when a block begins and first when it ends, so that what
    // the snapshots cost it stays out of the block but for a constant that calibrate() measures.
    KernelSnapshot begin() { return snapshot(false); }
    KernelSnapshot end() { return snapshot(true); }

    // What a pair of snapshots costs its caller: taken once, subtracted from every difference.
    void calibrate() {
        begin();
        const KernelSnapshot a = begin();
        const KernelSnapshot b = end();
        selfTid_ = static_cast<int>(::syscall(SYS_gettid));
        overhead_ = b.at(selfTid_).syscalls - a.at(selfTid_).syscalls;
    }

    // The counts of each road between two snapshots (threads that came or went in between count
    // from zero or up to their last look).
    std::map<std::string, ThreadCounts> between(const KernelSnapshot& before, const KernelSnapshot& after) const {
        std::map<std::string, ThreadCounts> roads;
        for (const auto& [tid, a] : after) {
            const auto it = before.find(tid);
            const ThreadCounts b = it == before.end() ? ThreadCounts{} : it->second;
            ThreadCounts& r = roads[a.road];
            r.road = a.road;
            uint64_t syscalls = a.syscalls - b.syscalls;
            if (tid == selfTid_) syscalls = syscalls >= overhead_ ? syscalls - overhead_ : 0;
            r.syscalls += syscalls;
            r.switches += a.switches - b.switches;
            r.cpuNs += a.cpuNs - b.cpuNs;
            r.queuedNs += a.queuedNs - b.queuedNs;
        }
        return roads;
    }

    // The process's first thread is "caller"; unnamed threads (named after the program, as the
    // simulators' are) are "simulator"; the library's threads keep their names.
    static std::string roadOf(int tid) {
        if (tid == static_cast<int>(::getpid())) return "caller";
        const std::string name = firstLine("/proc/self/task/" + std::to_string(tid) + "/comm");
        return name == firstLine("/proc/self/comm") ? "simulator" : name;
    }

private:
    KernelSnapshot snapshot(bool ending) {
        KernelSnapshot s;
        const int self = static_cast<int>(::syscall(SYS_gettid));
        if (ending) look(self, true, s[self]);
        if (DIR* d = ::opendir("/proc/self/task")) {
            while (dirent* e = ::readdir(d)) {
                const int tid = std::atoi(e->d_name);
                if (tid > 0 && tid != self) look(tid, false, s[tid]);
            }
            ::closedir(d);
        }
        if (!ending) look(self, false, s[self]);
        return s;
    }

    void look(int tid, bool syscallsFirst, ThreadCounts& c) {
        if (syscallsFirst) c.syscalls = syscallsOf(tid);
        c.road = roadOf(tid);
        c.switches = voluntarySwitches(tid);
        schedTimes(tid, c);
        // A running thread's schedstat is only brought up to date at the scheduler's next look.
        timespec now{};
        if (tid == static_cast<int>(::syscall(SYS_gettid)) && clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0)
            c.cpuNs = static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
        if (!syscallsFirst) c.syscalls = syscallsOf(tid);
    }

    static std::string firstLine(const std::string& path) {
        std::string line;
        if (FILE* f = std::fopen(path.c_str(), "r")) {
            char buf[256];
            if (std::fgets(buf, sizeof buf, f)) line = buf;
            std::fclose(f);
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
        return line;
    }

    static uint64_t voluntarySwitches(int tid) {
        unsigned long n = 0;
        const std::string path = "/proc/self/task/" + std::to_string(tid) + "/status";
        if (FILE* f = std::fopen(path.c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, f))
                if (std::sscanf(buf, "voluntary_ctxt_switches: %lu", &n) == 1) break;
            std::fclose(f);
        }
        return n;
    }

    static void schedTimes(int tid, ThreadCounts& c) {
        const std::string path = "/proc/self/task/" + std::to_string(tid) + "/schedstat";
        if (FILE* f = std::fopen(path.c_str(), "r")) {
            unsigned long long cpu = 0, queued = 0;
            if (std::fscanf(f, "%llu %llu", &cpu, &queued) == 2) {
                c.cpuNs = cpu;
                c.queuedNs = queued;
            }
            std::fclose(f);
        }
    }

    uint64_t syscallsOf(int tid) { return countSyscalls_ ? counterOf(tid).total() : 0; }

    SyscallCounter& counterOf(int tid) {
        auto it = counters_.find(tid);
        if (it == counters_.end()) {
            it = counters_.emplace(tid, std::make_unique<SyscallCounter>(tid)).first;
            anyCounted_ = anyCounted_ || it->second->counted();
        }
        return *it->second;
    }

    bool countSyscalls_;
    std::map<int, std::unique_ptr<SyscallCounter>> counters_;
    bool anyCounted_ = false;
    uint64_t overhead_ = 0;
    int selfTid_ = -1;
};

} // namespace kcount
