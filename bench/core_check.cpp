// Cost of the launcher's "is the core running" check at start-up, against
// one bare process listing through the shell in the same run.

#include "ProcessUtilities.h"
#include "RecordingReporter.h"

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
        benchmark::DoNotOptimize(QProcess::execute(QStringLiteral("/bin/sh"),
                                                   {QStringLiteral("-c"), QStringLiteral("ps ax -o exe > /dev/null")}));
}
BENCHMARK(BM_BaselineOneListing)->Unit(benchmark::kMillisecond);

void BM_QuorbelCoreAlreadyRunning(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ProcessUtilities::quorbelCoreAlreadyRunning(QStringLiteral("QuorbelCore")));
}
BENCHMARK(BM_QuorbelCoreAlreadyRunning)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ratio = reporter.ratio("BM_QuorbelCoreAlreadyRunning", "BM_BaselineOneListing", "", "real");
    if (ratio > 0)
        std::printf("core check / one listing: %.2f\n", ratio);
    benchmark::Shutdown();
    return 0;
}
