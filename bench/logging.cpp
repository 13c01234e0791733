// Log lines per second written to a file, against spdlog's synchronous file
// sink writing the same layout, in one run, in two rows:
//   flushed:  our normal-level lines (each in the kernel's hands when the call
//             returns) against spdlog with flush_on at that level;
//   buffered: our detailed-level lines (written in batches) against spdlog's
//             default file sink (the C library's buffer).
// spdlog has no four-digit fraction of a second: its lines carry six ("%f"),
// so they are two bytes longer than ours. Also the cost of a message that no
// output shows (time and heap allocations).

#include "Logging.h"
#include "RecordingReporter.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

std::atomic<uint64_t> gAllocations{0};

QTemporaryDir& scratch()
{
    static QTemporaryDir dir;
    return dir;
}

// Each run of our rows writes a fresh file, opened before its threads start
// and checked after they end: every line logged is there, whole.
std::atomic<int64_t> gLinesLogged{0};
int64_t gLinesLostOrTorn = 0;
QString gOurFile;

void openOurs(LoggingLevel level, const char* name)
{
    gOurFile = scratch().filePath(QString::fromLatin1(name));
    std::remove(gOurFile.toLocal8Bit().constData());
    gLinesLogged = 0;
    // One file holds the whole run (the size is still checked every 501 lines).
    _setLogFileRolloverSizeForTesting(UINT64_MAX);
    initLogging(level, kLogLevelError, gOurFile);
}

void closeOurs(const benchmark::State&)
{
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
    _setLogFileRolloverSizeForTesting(kLogFileRolloverSize);
    int64_t whole = 0;
    int64_t torn = 0;
    if (FILE* file = std::fopen(gOurFile.toLocal8Bit().constData(), "r")) {
        static char line[4096];
        while (std::fgets(line, sizeof line, file)) {
            const size_t length = std::strlen(line);
            const bool ok = length > 30 && line[0] == '2' && line[4] == '-' && line[24] == ' '
                            && std::strcmp(line + length - 18, " the installation\n") == 0;
            ++(ok ? whole : torn);
        }
        std::fclose(file);
    }
    gLinesLostOrTorn += torn + std::max<int64_t>(0, gLinesLogged.load() - whole);
}

void BM_OursFlushed(benchmark::State& state)
{
    const QString text = QStringLiteral("repairing");
    int64_t i = 0;
    for (auto _ : state)
        logNormal("Benchmark line %1 while %2 the installation", ++i, text);
    gLinesLogged += i;
    state.SetItemsProcessed(state.iterations());
}

void BM_OursBuffered(benchmark::State& state)
{
    const QString text = QStringLiteral("repairing");
    int64_t i = 0;
    for (auto _ : state)
        logDetail("Benchmark line %1 while %2 the installation", ++i, text);
    gLinesLogged += i;
    state.SetItemsProcessed(state.iterations());
}

std::shared_ptr<spdlog::logger> makeSpdlog(const char* name, const char* tag)
{
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
        scratch().filePath(QString::fromLatin1(name)).toStdString());
    auto logger = std::make_shared<spdlog::logger>(name, sink);
    // stamp with fractional seconds, process name and id, tag, thread id, message
    logger->set_pattern(std::string("%Y-%m-%d %H:%M:%S.%f bench_logging[%P] ") + tag + " [0x%t] %v");
    logger->set_level(spdlog::level::trace);
    return logger;
}

std::shared_ptr<spdlog::logger> spdlogFlushed()
{
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto made = makeSpdlog("spdlog-flushed.log", "(nrm)");
        made->flush_on(spdlog::level::info);
        return made;
    }();
    return logger;
}

std::shared_ptr<spdlog::logger> spdlogBuffered()
{
    static std::shared_ptr<spdlog::logger> logger = makeSpdlog("spdlog-buffered.log", "(dtl)");
    return logger;
}

void BM_SpdlogFlushed(benchmark::State& state)
{
    auto logger = spdlogFlushed();
    const std::string text = "repairing";
    int64_t i = 0;
    for (auto _ : state)
        logger->info("Benchmark line {} while {} the installation", ++i, text);
    state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogBuffered(benchmark::State& state)
{
    auto logger = spdlogBuffered();
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

BENCHMARK(BM_OursFlushed)
    ->Setup([](const benchmark::State&) { openOurs(kLogLevelNormal, "ours-flushed.log"); })
    ->Teardown(closeOurs)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();
BENCHMARK(BM_SpdlogFlushed)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_OursBuffered)
    ->Setup([](const benchmark::State&) { openOurs(kLogLevelDetail, "ours-buffered.log"); })
    ->Teardown(closeOurs)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();
BENCHMARK(BM_SpdlogBuffered)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_HiddenMessage);

} // namespace

void* operator new(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* row : {"Flushed", "Buffered"}) {
        for (const char* threads : {"threads:1", "threads:4"}) {
            const double ratio = reporter.ratio(std::string("BM_Ours") + row, std::string("BM_Spdlog") + row, threads,
                                                "items_per_second");
            if (ratio > 0)
                std::printf("ratio lines/s ours / spdlog, %s (%s): %.2f\n", row, threads, ratio);
        }
    }
    std::printf("our lines lost or torn: %lld\n", static_cast<long long>(gLinesLostOrTorn));
    benchmark::Shutdown();
    return gLinesLostOrTorn == 0 ? 0 : 1;
}
