// The installation check over manifests of 10, 100 and 1,000 items that need
// no tool run (installed bundles, frameworks, Finder plug-ins), on a warm
// disk: items per second, and how the time grows from 10 to 1,000 items
// measured in the same run. Quiet: only errors are logged, as when both
// thresholds hide the detail; Logged: every line written to a file at
// detailed level, the launcher's default. Baseline: the same Info.plists
// opened, read with one read each and parsed with libplist, nothing else, in
// the same run: the least any check of those items must do.

#include "InstallCheckManager.h"
#include "KeyConstants.h"
#include "Logging.h"
#include "PropertyList.h"
#include "RecordingReporter.h"
#include "SystemLocations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

QTemporaryDir& scratch()
{
    static QTemporaryDir dir;
    return dir;
}

QString installedBundle(const QString& path, const QString& version)
{
    QDir().mkpath(path + QStringLiteral("/Contents"));
    platform::writePropertyList(path + QStringLiteral("/Contents/Info.plist"),
                                QVariantMap{{QStringLiteral("CFBundleShortVersionString"), version}});
    return path;
}

QString installedPath(int count, int item)
{
    return scratch().filePath(QStringLiteral("items-%1/installed/item%2").arg(count).arg(item));
}

// The Info.plists the check of `count` items reads: those of the bundles and Finder plug-ins.
QStringList infoPlistsOfItems(int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        if (i % 3 != 1)
            paths.append(installedPath(count, i) + QStringLiteral("/Contents/Info.plist"));
    }
    return paths;
}

// A launcher bundle whose manifest has `count` items: a third each of Bundle,
// Framework and FinderCM, all in order.
std::unique_ptr<InstallCheckManager> managerWithItems(int count)
{
    const QString root = scratch().filePath(QStringLiteral("items-%1").arg(count));
    const QString launcher = root + QStringLiteral("/Launcher.app");
    QVariantList items;
    for (int i = 0; i < count; ++i) {
        const QString installed = installedPath(count, i);
        QVariantMap item{{kName, QStringLiteral("item%1").arg(i)}, {kInstallPath, installed}};
        switch (i % 3) {
        case 0:
            item.insert(kInstallType, QStringLiteral("Bundle"));
            item.insert(kVersion, QStringLiteral("1.0.0"));
            installedBundle(installed, QStringLiteral("1.2.0"));
            break;
        case 1:
            item.insert(kInstallType, QStringLiteral("Framework"));
            break;
        default:
            item.insert(kInstallType, QStringLiteral("FinderCM"));
            installedBundle(installed, QStringLiteral("1.19.0"));
            break;
        }
        items.append(item);
    }
    QDir().mkpath(launcher + QStringLiteral("/Contents/Resources"));
    platform::writePropertyList(launcher + QStringLiteral("/Contents/Resources/RequiredItems.plist"),
                                QVariantMap{{QStringLiteral("RequiredItems"), items}});
    auto manager = std::make_unique<InstallCheckManager>(platform::Bundle(launcher));
    manager->updateStatus(); // warms the disk caches
    if (manager->itemsMissing() != 0)
        std::fprintf(stderr, "benchmark manifest of %d items is not in order\n", count);
    return manager;
}

InstallCheckManager& managerFor(int count)
{
    static std::map<int, std::unique_ptr<InstallCheckManager>> managers;
    auto& slot = managers[count];
    if (!slot)
        slot = managerWithItems(count);
    return *slot;
}

void runUpdateStatus(benchmark::State& state)
{
    const int count = int(state.range(0));
    InstallCheckManager& manager = managerFor(count);
    for (auto _ : state)
        manager.updateStatus();
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_BaselineReadAndParse(benchmark::State& state)
{
    const int count = int(state.range(0));
    managerFor(count); // the installed items
    QList<QByteArray> paths;
    for (const QString& path : infoPlistsOfItems(count))
        paths.append(QFile::encodeName(path));
    static char buffer[64 * 1024];
    for (auto _ : state) {
        for (const QByteArray& path : paths) {
            const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            const ssize_t size = fd < 0 ? -1 : ::read(fd, buffer, sizeof buffer);
            if (fd >= 0)
                ::close(fd);
            if (size <= 0 || size_t(size) == sizeof buffer) {
                state.SkipWithError("an Info.plist cannot be read whole");
                return;
            }
            plist_t root = nullptr;
            plist_from_memory(buffer, uint32_t(size), &root);
            benchmark::DoNotOptimize(root);
            plist_free(root);
        }
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_BaselineReadAndParse)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_UpdateStatusQuiet(benchmark::State& state)
{
    initLogging(kLogLevelError, kLogLevelError, QString());
    runUpdateStatus(state);
}
BENCHMARK(BM_UpdateStatusQuiet)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_UpdateStatusLogged(benchmark::State& state)
{
    initLogging(kLogLevelDetail, kLogLevelError, scratch().filePath(QStringLiteral("check.log")));
    runUpdateStatus(state);
    initLogging(kLogLevelError, kLogLevelError, QString());
}
BENCHMARK(BM_UpdateStatusLogged)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

void printGrowth(const RecordingReporter& reporter, const std::string& name)
{
    const double growth = reporter.ratio(name + "/1000", name + "/10", "", "real");
    if (growth <= 0)
        return;
    std::printf("%s: 1000 items / 10 items = %.1fx the time (%.2fx per item)\n", name.c_str(), growth, growth / 100.0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    platform::locations::setSystemRoot(scratch().filePath(QStringLiteral("root")));
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printGrowth(reporter, "BM_UpdateStatusQuiet");
    printGrowth(reporter, "BM_UpdateStatusLogged");
    for (const char* count : {"10", "1000"}) {
        const double quiet = reporter.ratio(std::string("BM_UpdateStatusQuiet/") + count,
                                            std::string("BM_BaselineReadAndParse/") + count, "", "real");
        if (quiet > 0)
            std::printf("%s items, quiet check / reading and parsing their Info.plists: %.2fx\n", count, quiet);
    }
    const double logged = reporter.ratio("BM_UpdateStatusLogged/1000", "BM_UpdateStatusQuiet/1000", "", "real");
    if (logged > 0)
        std::printf("1000 items, logged at detailed level / quiet: %.2fx\n", logged);
    benchmark::Shutdown();
    return 0;
}
