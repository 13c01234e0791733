#pragma once
// What the private-root cases share: whether this process runs in the
// private root of scripts/in-private-root.sh, and a bounded run of a program.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace testing_support {

// A private mount namespace whose /Applications is a fresh root-only file system.
inline bool inPrivateRoot()
{
    struct stat root {};
    struct stat applications {};
    return ::stat("/", &root) == 0 && ::stat("/Applications", &applications) == 0 && root.st_dev != applications.st_dev
           && applications.st_uid == 0 && (applications.st_mode & 022) == 0;
}

// For a fixture's SetUp: outside a private root the case skips, and fails under
// CI, where everything it needs is there and a skip would hide a fault.
#define QB_REQUIRE_PRIVATE_ROOT()                                                                                          \
    do {                                                                                                                   \
        if (!testing_support::inPrivateRoot()) {                                                                           \
            if (qEnvironmentVariable("CI") == QStringLiteral("true"))                                                      \
                FAIL() << "not in a private mount namespace: run through scripts/in-private-root.sh";                      \
            GTEST_SKIP() << "needs scripts/in-private-root.sh (root, private mount namespace)";                            \
        }                                                                                                                  \
    } while (false)

// Runs `program` to its end, a minute at most; its exit status (-1 on a crash
// or time-out), its standard error in `errors`.
inline int runToEnd(const QString& program, const QStringList& arguments, QString* errors)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    *errors = QString::fromUtf8(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace testing_support
