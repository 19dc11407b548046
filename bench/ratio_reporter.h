// A console reporter that keeps the real time per iteration of each benchmark, so a benchmark
// program can print the ratio of its path to its floor after the run. With repetitions the
// median is kept: one repetition on a busy machine says little.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace benchhost {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && run.repetitions <= 1))
                times[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // "<what>: public API x ms, floor y ms, ratio z" from the kept times of the two benchmarks,
    // when both ran (their unit is milliseconds).
    void printRatio(const std::string& what, const char* floorName, const char* apiName) const {
        const auto floor = times.find(floorName);
        const auto api = times.find(apiName);
        if (floor == times.end() || api == times.end() || floor->second <= 0) return;
        std::printf("%s: public API %.2f ms, floor %.2f ms, ratio %.2f\n", what.c_str(), api->second, floor->second,
                    api->second / floor->second);
    }

    std::map<std::string, double> times;
};

} // namespace benchhost
