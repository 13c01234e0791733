// Log lines per second written to the file at detailed level, against
// spdlog's synchronous file sink writing the same layout, in one run; and the
// cost of a message that no output shows (time and heap allocations).

#include "Logging.h"
#include "RecordingReporter.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {

std::atomic<uint64_t> gAllocations{0};

QTemporaryDir& scratch()
{
    static QTemporaryDir dir;
    return dir;
}

void BM_OurFileSink(benchmark::State& state)
{
    if (state.thread_index() == 0)
        initLogging(kLogLevelDetail, kLogLevelError, scratch().filePath(QStringLiteral("ours.log")));
    const QString text = QStringLiteral("repairing");
    int64_t i = 0;
    for (auto _ : state)
        logDetail("Benchmark line %1 while %2 the installation", ++i, text);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        flushLogFile();
}

std::shared_ptr<spdlog::logger> spdlogLogger()
{
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
            scratch().filePath(QStringLiteral("spdlog.log")).toStdString());
        auto made = std::make_shared<spdlog::logger>("bench", sink);
        // stamp with fractional seconds, process name and id, tag, thread id, message
        made->set_pattern("%Y-%m-%d %H:%M:%S.%f bench_logging[%P] (dtl) [0x%t] %v");
        made->set_level(spdlog::level::trace);
        return made;
    }();
    return logger;
}

void BM_SpdlogFileSink(benchmark::State& state)
{
    auto logger = spdlogLogger();
    const std::string text = "repairing";
    int64_t i = 0;
    for (auto _ : state)
        logger->trace("Benchmark line {} while {} the installation", ++i, text);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0)
        logger->flush();
}

void BM_HiddenMessage(benchmark::State& state)
{
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
    const QString text = QStringLiteral("never shown");
    const uint64_t before = gAllocations.load();
    for (auto _ : state)
        logDetail("Hidden %1 %2", text, 42);
    state.counters["allocations"] = double(gAllocations.load() - before);
}

BENCHMARK(BM_OurFileSink)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_SpdlogFileSink)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_HiddenMessage);

} // namespace

void* operator new(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* threads : {"threads:1", "threads:4"}) {
        const double ratio = reporter.ratio("BM_OurFileSink", "BM_SpdlogFileSink", threads, "items_per_second");
        if (ratio > 0)
            std::printf("ratio lines/s ours / spdlog (%s): %.2f\n", threads, ratio);
    }
    benchmark::Shutdown();
    return 0;
}
