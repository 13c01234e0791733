// The move's plain copy of a fixed tree of 20,000 files, with its progress
// window up from the first file (the count of the tree included) against the
// same copy without any window: paired, in memory where the file system's
// share is smallest and the window's the largest.

#include "FileManager.h"
#include "MoveProgressWindow.h"
#include "MoveToApplicationsFolder.h"
#include "Paired.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kFolders = 200;
constexpr int kFilesPerFolder = 100;
constexpr int kFileBytes = 1024;

bool makeTree(const QString& root)
{
    const QByteArray content(kFileBytes, 'q');
    for (int folder = 0; folder < kFolders; ++folder) {
        const QString path = QStringLiteral("%1/Contents/Resources/%2").arg(root).arg(folder);
        if (!QDir().mkpath(path))
            return false;
        for (int file = 0; file < kFilesPerFolder; ++file) {
            QFile out(QStringLiteral("%1/%2.dat").arg(path).arg(file));
            if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
                return false;
        }
    }
    return true;
}

// One half of a pair: the seconds `copy` takes into a fresh destination (not
// counting its removal), negative when it fails.
template <typename Copy>
double timeCopy(const QString& destination, const Copy& copy)
{
    QElapsedTimer timer;
    timer.start();
    const bool done = copy();
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QDir(destination).removeRecursively();
    return done ? seconds : -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QTemporaryDir scratch(QDir(QStringLiteral("/dev/shm")).exists()
                              ? QStringLiteral("/dev/shm/bench-move-XXXXXX")
                              : QDir::tempPath() + QStringLiteral("/bench-move-XXXXXX"));
    const QString source = scratch.path() + QStringLiteral("/Quorbel.app");
    const QString destination = scratch.path() + QStringLiteral("/Copy.app");
    if (!scratch.isValid() || !makeTree(source)) {
        std::printf("paired ratio move copy with progress window: not measured (no scratch tree)\n");
        return 1;
    }
    PFSetCopyProgressWindow(&makeMoveProgressWindow);
    paired::printPairedRatio(
        "move copy with progress window", paired::pairsToRun(21),
        [&] {
            return timeCopy(destination, [&] {
                QString error;
                return PFCopyShowingProgress(source, destination, false, &error, 0);
            });
        },
        [&] {
            return timeCopy(destination, [&] {
                QString error;
                return platform::files::copyItem(source, destination, &error);
            });
        });
    return 0;
}
