#pragma once
// Console reporter that also keeps each benchmark's mean real time and items
// per second, so that a program can print ratios against a baseline measured
// in the same run.

#include <benchmark/benchmark.h>

#include <map>
#include <string>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Result {
        double realSecondsPerIteration = 0;
        double itemsPerSecond = 0;
    };

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            Result& result = m_results[run.benchmark_name()];
            result.realSecondsPerIteration = run.real_accumulated_time / static_cast<double>(run.iterations);
            const auto items = run.counters.find("items_per_second");
            if (items != run.counters.end())
                result.itemsPerSecond = items->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The first result whose name begins with `prefix`.
    const Result* find(const std::string& prefix) const
    {
        for (const auto& [name, result] : m_results) {
            if (name.rfind(prefix, 0) == 0)
                return &result;
        }
        return nullptr;
    }

private:
    std::map<std::string, Result> m_results;
};
