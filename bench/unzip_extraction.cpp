// Extraction of a 50 MiB mixed archive (many small text files, large
// compressible files, incompressible binaries) by UnzipManager against the
// `unzip` command on the same archive, in the same run.

#include "RecordingReporter.h"
#include "UnzipManager.h"
#include "ZipBuilder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
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
        const int status = QProcess::execute(QStringLiteral("unzip"),
                                             {QStringLiteral("-q"), QStringLiteral("-o"),
                                              folder + QStringLiteral("/mixed.zip"), QStringLiteral("-d"), folder});
        if (status != 0)
            state.SkipWithError("unzip failed");
        state.PauseTiming();
        QDir(folder).removeRecursively();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * 50 * kMiB);
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
    benchmark::Shutdown();
    return 0;
}
