// Log lines per second written to a file, against spdlog's synchronous file
// sink writing the same layout, in one run, in two rows:
//   flushed:  our normal-level lines (each in the kernel's hands when the call
//             returns) against spdlog with flush_on at that level;
//   buffered: our detailed-level lines (written in batches) against spdlog's
//             default file sink (the C library's buffer).
// spdlog has no four-digit fraction of a second: its lines carry six ("%f"),
// so they are two bytes longer than ours. Also the cost of a message that no
// output shows (time and heap allocations), and lines into a sink that
// discards them (ours: detailed lines into /dev/null, against spdlog's null
// sink, which skips the stamp and layout; see Baselines.h).
//
// Then the paired rows: ours and spdlog write the same number of lines into
// fresh files alternately, and each row's figure is the median of the
// per-pair ratios (Paired.h).

#include "Logging.h"
#include "Baselines.h"
#include "Paired.h"
#include "RecordingReporter.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

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

void checkOurs()
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

void closeOurs(const benchmark::State&)
{
    checkOurs();
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

std::string scratchFile(const char* name)
{
    return scratch().filePath(QString::fromLatin1(name)).toStdString();
}

std::shared_ptr<spdlog::logger> spdlogFlushed()
{
    static std::shared_ptr<spdlog::logger> logger = baselines::spdlogFlushed("flushed", scratchFile("spdlog-flushed.log"));
    return logger;
}

std::shared_ptr<spdlog::logger> spdlogBuffered()
{
    static std::shared_ptr<spdlog::logger> logger = baselines::spdlogBuffered("buffered", scratchFile("spdlog-buffered.log"));
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

// Lines that go nowhere: what is left is the work of making them.
void BM_OursDiscarded(benchmark::State& state)
{
    const QString text = QStringLiteral("repairing");
    int64_t i = 0;
    for (auto _ : state)
        logDetail("Benchmark line %1 while %2 the installation", ++i, text);
    state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogNull(benchmark::State& state)
{
    static std::shared_ptr<spdlog::logger> logger = baselines::spdlogNull("null");
    const std::string text = "repairing";
    int64_t i = 0;
    for (auto _ : state)
        logger->trace("Benchmark line {} while {} the installation", ++i, text);
    state.SetItemsProcessed(state.iterations());
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
BENCHMARK(BM_OursDiscarded)
    ->Setup([](const benchmark::State&) { initLogging(kLogLevelDetail, kLogLevelError, QStringLiteral("/dev/null")); })
    ->Teardown([](const benchmark::State&) { initLogging(kLogLevelNormal, kLogLevelNormal, QString()); })
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();
BENCHMARK(BM_SpdlogNull)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_HiddenMessage);

// One side of a pair: `threads` threads each write `lines` lines with
// `logLine`, then `finish` runs; the seconds from the start to the end of `finish`.
template <typename LogLine, typename Finish>
double timeLines(int threads, int64_t lines, const LogLine& logLine, const Finish& finish)
{
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int64_t i = 1; i <= lines; ++i)
                logLine(i);
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    finish();
    return double(timer.nsecsElapsed()) / 1e9;
}

enum class Lines { Flushed, Buffered, Discarded };

struct PairedRow {
    const char* name;
    Lines kind;
    int threads;
    int64_t linesPerThread;
};

// Each half writes a fresh file, opened before its clock starts; ours is
// checked for lost and torn lines after its clock stops.
void printPairedRow(const PairedRow& row, int pairs)
{
    const bool flushed = row.kind == Lines::Flushed;
    const QString text = QStringLiteral("repairing");
    const std::string spdlogText = "repairing";
    int run = 0;
    const auto ours = [&] {
        if (row.kind == Lines::Discarded)
            initLogging(kLogLevelDetail, kLogLevelError, QStringLiteral("/dev/null"));
        else
            openOurs(flushed ? kLogLevelNormal : kLogLevelDetail,
                     flushed ? "paired-ours-flushed.log" : "paired-ours-buffered.log");
        const double seconds = timeLines(
            row.threads, row.linesPerThread,
            [&](int64_t i) {
                if (flushed)
                    logNormal("Benchmark line %1 while %2 the installation", i, text);
                else
                    logDetail("Benchmark line %1 while %2 the installation", i, text);
            },
            [] { flushLogFile(); });
        if (row.kind == Lines::Discarded) {
            initLogging(kLogLevelNormal, kLogLevelNormal, QString());
        } else {
            gLinesLogged = row.threads * row.linesPerThread;
            checkOurs();
        }
        return seconds;
    };
    const auto baseline = [&] {
        const std::string name = "paired" + std::to_string(++run);
        std::shared_ptr<spdlog::logger> logger;
        if (row.kind == Lines::Discarded)
            logger = baselines::spdlogNull(name);
        else if (flushed)
            logger = baselines::spdlogFlushed(name, scratchFile("paired-spdlog-flushed.log"));
        else
            logger = baselines::spdlogBuffered(name, scratchFile("paired-spdlog-buffered.log"));
        return timeLines(
            row.threads, row.linesPerThread,
            [&](int64_t i) {
                if (flushed)
                    logger->info("Benchmark line {} while {} the installation", i, spdlogText);
                else
                    logger->trace("Benchmark line {} while {} the installation", i, spdlogText);
            },
            [&] { logger->flush(); });
    };
    paired::printPairedRatio(row.name, pairs, ours, baseline);
}

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
    for (const char* threads : {"threads:1", "threads:4"}) {
        const double ratio = reporter.ratio("BM_OursDiscarded", "BM_SpdlogNull", threads, "items_per_second");
        if (ratio > 0)
            std::printf("ratio lines/s ours / spdlog, Discarded (%s): %.2f\n", threads, ratio);
    }
    const int pairs = paired::pairsToRun(11);
    if (pairs > 0) {
        for (const PairedRow& row : {PairedRow{"Flushed (threads:1)", Lines::Flushed, 1, 20000},
                                     PairedRow{"Flushed (threads:4)", Lines::Flushed, 4, 5000},
                                     PairedRow{"Buffered (threads:1)", Lines::Buffered, 1, 100000},
                                     PairedRow{"Buffered (threads:4)", Lines::Buffered, 4, 25000},
                                     PairedRow{"Discarded (threads:1)", Lines::Discarded, 1, 200000},
                                     PairedRow{"Discarded (threads:4)", Lines::Discarded, 4, 50000}}) {
            if (paired::rowSelected(row.name))
                printPairedRow(row, pairs);
        }
    }
    std::printf("our lines lost or torn: %lld\n", static_cast<long long>(gLinesLostOrTorn));
    benchmark::Shutdown();
    return gLinesLostOrTorn == 0 ? 0 : 1;
}
