// Cost of the launcher's "is the core running" check at start-up, against
// one bare process listing through the shell in the same run.

#include "ProcessUtilities.h"

#include <QCoreApplication>
#include <QProcess>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

void BM_BaselineOneListing(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(QProcess::execute(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("ps ax -o exe > /dev/null")}));
}
BENCHMARK(BM_BaselineOneListing)->Unit(benchmark::kMillisecond);

void BM_QuorbelCoreAlreadyRunning(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("QuorbelCore")));
}
BENCHMARK(BM_QuorbelCoreAlreadyRunning)->Unit(benchmark::kMillisecond);

// Prints as usual and keeps each benchmark's real time for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double baseline = reporter.times["BM_BaselineOneListing"];
    const double check = reporter.times["BM_QuorbelCoreAlreadyRunning"];
    if (baseline > 0 && check > 0)
        std::printf("core check / one listing: %.2f\n", check / baseline);
    benchmark::Shutdown();
    return 0;
}
