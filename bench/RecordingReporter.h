#pragma once
// Prints benchmark results as usual and keeps every run's figures, so that a
// benchmark program can print ratios against a baseline measured in the same run.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            Figures figures{run.benchmark_name(), run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), {}};
            for (const auto& [name, counter] : run.counters)
                figures.counters.emplace_back(name, counter.value);
            m_runs.push_back(std::move(figures));
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // A figure of the first run whose name begins with `prefix` and contains
    // `part` ("" matches any): "real", "cpu" or a counter's name. 0 when absent.
    double figure(const std::string& prefix, const std::string& part, const std::string& what) const
    {
        for (const Figures& run : m_runs) {
            if (run.name.rfind(prefix, 0) != 0 || run.name.find(part) == std::string::npos)
                continue;
            if (what == "real")
                return run.realTime;
            if (what == "cpu")
                return run.cpuTime;
            for (const auto& [name, value] : run.counters) {
                if (name == what)
                    return value;
            }
        }
        return 0;
    }

    // ours / baseline, or 0 when either is missing.
    double ratio(const std::string& ours, const std::string& baseline, const std::string& part, const std::string& what) const
    {
        const double a = figure(ours, part, what);
        const double b = figure(baseline, part, what);
        return a > 0 && b > 0 ? a / b : 0;
    }

private:
    struct Figures {
        std::string name;
        double realTime;
        double cpuTime;
        std::vector<std::pair<std::string, double>> counters;
    };
    std::vector<Figures> m_runs;
};
