// Blocks of steps timed in rounds: a benchmark runs, round after round, a block of its floor and a
// block of each of its roads through the library, so that a change of the machine's load between
// rounds moves them alike. Every block keeps, per step: wall clock, CPU time of the process, and
// for each thread its voluntary context switches, its time on a CPU and its time waiting for one.
// System calls slow down while they are counted, so they are counted in separate blocks after all
// timed rounds. The summary gives the medians over the blocks of one kind, the ratio of the
// medians and the median of each round's ratio to its floor.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kernel_counters.h"

namespace benchhost {

// What one thread (or all of them) cost per step.
struct Cost {
    double syscalls = 0, switches = 0, cpuUs = 0, queuedUs = 0;
};

struct Block {
    double wallUs = 0;
    double cpuUs = 0;                       // the process's CPU time (getrusage)
    Cost all;                               // every thread, the simulators' included
    std::map<std::string, Cost> threads;    // by kcount::KernelCounters::roadOf
};

// Set once the kernel refused to count system calls.
inline bool& countsRefused() {
    static bool refused = false;
    return refused;
}

inline double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Runs `steps` calls of step() as one block, looked at by the counters; false (and no block) when
// a step fails.
template <typename Step>
bool blockWith(kcount::KernelCounters& counters, Step step, int steps, std::vector<Block>& blocks) {
    using Clock = std::chrono::steady_clock;
    const kcount::KernelSnapshot k0 = counters.begin();
    const double cpu0 = processCpuSeconds();
    const auto t0 = Clock::now();
    for (int k = 0; k < steps; ++k)
        if (!step()) return false;
    const double wall = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    const double cpu1 = processCpuSeconds();
    const kcount::KernelSnapshot k1 = counters.end();
    Block b;
    b.wallUs = wall / steps;
    b.cpuUs = (cpu1 - cpu0) * 1e6 / steps;
    for (const auto& [road, c] : counters.between(k0, k1)) {
        Cost& t = b.threads[road];
        t.syscalls = static_cast<double>(c.syscalls) / steps;
        t.switches = static_cast<double>(c.switches) / steps;
        t.cpuUs = static_cast<double>(c.cpuNs) / 1e3 / steps;
        t.queuedUs = static_cast<double>(c.queuedNs) / 1e3 / steps;
        b.all.syscalls += t.syscalls;
        b.all.switches += t.switches;
        b.all.cpuUs += t.cpuUs;
        b.all.queuedUs += t.queuedUs;
    }
    blocks.push_back(std::move(b));
    return true;
}

// A timed block: no system call is counted.
template <typename Step>
bool timeBlock(Step step, int steps, std::vector<Block>& blocks) {
    static kcount::KernelCounters counters(false);
    return blockWith(counters, step, steps, blocks);
}

// A block whose system calls are counted. The counters are opened on every thread at the first
// such block and stay, so a benchmark runs its counted blocks after all its timed ones.
template <typename Step>
bool countBlock(Step step, int steps, std::vector<Block>& blocks) {
    static kcount::KernelCounters counters(true);
    static const bool calibrated = (counters.calibrate(), true);
    (void)calibrated;
    const bool ok = blockWith(counters, step, steps, blocks);
    if (!counters.syscallsCounted()) countsRefused() = true;
    return ok;
}

// The two kinds of block, for the rounds of a benchmark that runs them with one or the other.
struct Timed {
    template <typename Step>
    bool operator()(Step& step, int steps, std::vector<Block>& blocks) const { return timeBlock(step, steps, blocks); }
};
struct Counted {
    template <typename Step>
    bool operator()(Step& step, int steps, std::vector<Block>& blocks) const { return countBlock(step, steps, blocks); }
};

// Rounds of a block of the floor and a block of the road, as many as the benchmark runs; a step
// that fails skips the benchmark with `failed`.
template <typename Kind, typename Floor, typename Road>
void alternate(benchmark::State& state, Kind kind, int steps, Floor floorStep, std::vector<Block>& floor,
               Road roadStep, std::vector<Block>& road, const char* failed) {
    for (auto _ : state)
        if (!kind(floorStep, steps, floor) || !kind(roadStep, steps, road)) {
            state.SkipWithError(failed);
            return;
        }
}

// A benchmark's simulators and library, brought up by bringUp at the first call only: whether
// they came up.
template <typename BringUp>
bool upOnce(BringUp bringUp) {
    static const bool up = bringUp();
    return up;
}

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

template <typename Of>
double medianOver(const std::vector<Block>& blocks, Of of) {
    std::vector<double> values;
    for (const Block& b : blocks) values.push_back(of(b));
    return median(values);
}

inline Cost medianCost(const std::vector<Block>& blocks, const std::string* thread) {
    auto costOf = [thread](const Block& b) {
        if (!thread) return b.all;
        const auto it = b.threads.find(*thread);
        return it == b.threads.end() ? Cost{} : it->second;
    };
    return {medianOver(blocks, [&](const Block& b) { return costOf(b).syscalls; }),
            medianOver(blocks, [&](const Block& b) { return costOf(b).switches; }),
            medianOver(blocks, [&](const Block& b) { return costOf(b).cpuUs; }),
            medianOver(blocks, [&](const Block& b) { return costOf(b).queuedUs; })};
}

// The medians of one kind of block.
struct Medians {
    double wallUs = 0, cpuUs = 0;
    Cost all;
    std::map<std::string, Cost> threads;
};

inline Medians mediansOf(const std::vector<Block>& blocks) {
    Medians m;
    m.wallUs = medianOver(blocks, [](const Block& b) { return b.wallUs; });
    m.cpuUs = medianOver(blocks, [](const Block& b) { return b.cpuUs; });
    m.all = medianCost(blocks, nullptr);
    for (const Block& b : blocks)
        for (const auto& entry : b.threads)
            if (!m.threads.count(entry.first)) m.threads[entry.first] = medianCost(blocks, &entry.first);
    return m;
}

// The median over the rounds of each block's time against the floor block of its round.
inline double roundRatio(const std::vector<Block>& road, const std::vector<Block>& floor) {
    std::vector<double> ratios;
    for (size_t k = 0; k < road.size() && k < floor.size(); ++k)
        if (floor[k].wallUs > 0) ratios.push_back(road[k].wallUs / floor[k].wallUs);
    return median(ratios);
}

// One road of a summary: its name, its blocks timed in the same rounds as the floor's and the
// blocks in which its system calls were counted.
struct Road {
    std::string name;
    const std::vector<Block>* timed;
    const std::vector<Block>* counted;
};

inline void printRoadsHeader(const char* labelName) {
    if (countsRefused())
        std::printf("note: this kernel does not count system calls for us (tracepoint raw_syscalls:sys_enter refused): "
                    "the syscalls columns read 0; `strace -f -c` over a run counts them by hand\n");
    std::printf("%-8s %-18s %9s %6s %6s %8s %6s %8s %8s %8s\n", labelName, "road", "wall us", "ratio", "rounds",
                "cpu us", "cpu x", "syscalls", "switches", "queued");
}

// A table of the floor and the roads beside it, `label` first on every row: wall, CPU, switches and
// the time threads waited for a CPU from the timed blocks, system calls from the counted ones;
// then each road's threads, "system calls/switches/CPU us/queued us" per step.
inline void printRoads(const std::string& label, const Road& floor, const std::vector<Road>& roads) {
    const Medians f = mediansOf(*floor.timed);
    const double base = f.wallUs > 0 ? f.wallUs : 1;
    std::vector<const Road*> all{&floor};
    for (const Road& road : roads) all.push_back(&road);
    for (const Road* r : all) {
        const Medians m = mediansOf(*r->timed);
        const Medians c = mediansOf(*r->counted);
        std::printf("%-8s %-18s %9.1f %6.2f %6.2f %8.1f %6.2f %8.1f %8.1f %8.1f\n", label.c_str(), r->name.c_str(),
                    m.wallUs, m.wallUs / base, roundRatio(*r->timed, *floor.timed), m.cpuUs,
                    f.cpuUs > 0 ? m.cpuUs / f.cpuUs : 0, c.all.syscalls, m.all.switches, m.all.queuedUs);
        std::string line;
        for (const auto& [thread, t] : m.threads) {
            const auto it = c.threads.find(thread);
            const double syscalls = it == c.threads.end() ? 0 : it->second.syscalls;
            if (syscalls <= 0 && t.switches <= 0 && t.cpuUs < 1) continue;
            char part[128];
            std::snprintf(part, sizeof part, " %s %.1f/%.1f/%.0f/%.0f;", thread.c_str(), syscalls, t.switches, t.cpuUs,
                          t.queuedUs);
            line += part;
        }
        std::printf("  %s per thread (syscalls/switches/cpu us/queued us):%s\n", r->name.c_str(), line.c_str());
    }
}

} // namespace benchhost
