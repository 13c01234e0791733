// Extraction of a 50 MiB mixed archive (many small text files, large
// compressible files, incompressible binaries) by UnzipManager against the
// `unzip` command on the same archive, in the same run; then the paired
// rows (Paired.h), on disk and in tmpfs, where both sides extract into the
// same file system, alternately.

#include "Baselines.h"
#include "Paired.h"
#include "RecordingReporter.h"
#include "UnzipManager.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr qsizetype kMiB = 1024 * 1024;

QByteArray textLike(qsizetype size, quint32 seed)
{
    static const QList<QByteArray> words{"quorbel ", "archive ", "folder ",   "entry ", "signature ",
                                         "\n",       "data ",    "launcher ", "1234 ",  "checksum "};
    QRandomGenerator random(seed);
    QByteArray text;
    text.reserve(size);
    while (text.size() < size)
        text += words.at(random.bounded(int(words.size())));
    text.truncate(size);
    return text;
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// About 50 MiB of content: 8 MiB of 4 KiB text files in nested folders,
// 20 MiB of random binaries, 22 MiB of large text files.
QList<testing_support::ZipEntry> mixedEntries()
{
    QList<testing_support::ZipEntry> entries;
    for (int folder = 0; folder < 40; ++folder) {
        const QByteArray path = "small/" + QByteArray::number(folder) + '/';
        entries.append({path, {}});
        for (int file = 0; file < 50; ++file)
            entries.append({path + "file" + QByteArray::number(file) + ".txt", textLike(4096, folder * 100 + file)});
    }
    for (int i = 0; i < 20; ++i)
        entries.append({"binary/blob" + QByteArray::number(i) + ".bin", randomBytes(kMiB, 7000 + i), false, i % 2 == 0});
    for (int i = 0; i < 10; ++i)
        entries.append({"large/text" + QByteArray::number(i) + ".log", textLike(22 * kMiB / 10, 9000 + i)});
    return entries;
}

struct Archive {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("mixed.zip"));
    int run = 0;

    Archive()
    {
        if (!testing_support::writeZip(path, mixedEntries())) {
            std::fprintf(stderr, "cannot write the benchmark archive\n");
            std::exit(1);
        }
    }
    // A copy of `other`'s archive in a folder under `base`.
    Archive(const QString& base, const Archive& other) : dir(base + QStringLiteral("/bench_unzip-XXXXXX"))
    {
        if (!dir.isValid() || !QFile::copy(other.path, path)) {
            std::fprintf(stderr, "cannot copy the benchmark archive into %s\n", qPrintable(base));
            std::exit(1);
        }
    }
    // A fresh folder holding a link to the archive.
    QString freshFolder()
    {
        const QString folder = dir.filePath(QStringLiteral("run%1").arg(++run));
        QDir().mkpath(folder);
        const QString linked = folder + QStringLiteral("/mixed.zip");
        if (::link(QFile::encodeName(path).constData(), QFile::encodeName(linked).constData()) != 0)
            std::exit(1);
        return folder;
    }
};

Archive& archive()
{
    static Archive shared;
    return shared;
}

void BM_UnzipManager(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        const QString folder = archive().freshFolder();
        state.ResumeTiming();
        UnzipManager manager(folder + QStringLiteral("/mixed.zip"));
        if (manager.extractAll() != 0)
            state.SkipWithError("extraction failed");
        state.PauseTiming();
        QDir(folder).removeRecursively();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * 50 * kMiB);
}

void BM_UnzipCommand(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        const QString folder = archive().freshFolder();
        state.ResumeTiming();
        const int status = baselines::runUnzipCommand(folder + QStringLiteral("/mixed.zip"), folder);
        if (status != 0)
            state.SkipWithError("unzip failed");
        state.PauseTiming();
        QDir(folder).removeRecursively();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * 50 * kMiB);
}

// In memory: what is left is the work of each side, not the disk's.
Archive& archiveInTmpfs()
{
    static Archive shared(QStringLiteral("/dev/shm"), archive());
    return shared;
}

// One half of a pair: the seconds `extract` takes into a fresh folder of
// `place` (not counting making and removing it), negative when it fails.
template <typename Extract>
double timeExtraction(Archive& place, const Extract& extract)
{
    const QString folder = place.freshFolder();
    QElapsedTimer timer;
    timer.start();
    const bool done = extract(folder);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QDir(folder).removeRecursively();
    return done ? seconds : -1;
}

void printPairedRow(const char* row, Archive& place, int pairs)
{
    paired::printPairedRatio(
        row, pairs,
        [&] {
            return timeExtraction(place, [](const QString& folder) {
                UnzipManager manager(folder + QStringLiteral("/mixed.zip"));
                return manager.extractAll() == 0;
            });
        },
        [&] {
            return timeExtraction(place, [](const QString& folder) {
                return baselines::runUnzipCommand(folder + QStringLiteral("/mixed.zip"), folder) == 0;
            });
        });
}

BENCHMARK(BM_UnzipCommand)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_UnzipManager)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    archive(); // built before any timing
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double oursMs = reporter.figure("BM_UnzipManager", "", "real");
    const double baselineMs = reporter.figure("BM_UnzipCommand", "", "real");
    if (oursMs > 0 && baselineMs > 0)
        std::printf("ratio: UnzipManager extraction speed / unzip command = %.2f (time %.1f ms vs %.1f ms)\n",
                    baselineMs / oursMs, oursMs, baselineMs);
    const int pairs = paired::pairsToRun(9);
    if (pairs > 0) {
        if (paired::rowSelected("extraction on disk"))
            printPairedRow("extraction on disk", archive(), pairs);
        if (paired::rowSelected("extraction in tmpfs"))
            printPairedRow("extraction in tmpfs", archiveInTmpfs(), pairs);
    }
    benchmark::Shutdown();
    return 0;
}
