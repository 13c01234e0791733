#include "Bundle.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace testing_support;

namespace {

TEST(MainBundlePath, IsThePathStartedFromWhenItNamesTheRunningExecutable)
{
    const QFileInfo exe(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    const QString resolvedFolder = exe.absolutePath();
    QTemporaryDir dir;
    const QString linked = dir.path() + QStringLiteral("/linked");
    ASSERT_TRUE(QFile::link(resolvedFolder, linked));
    const QString copy = dir.path() + QStringLiteral("/copy");
    ASSERT_TRUE(QFile::copy(exe.filePath(), copy));
    const QByteArray unnamable = QFile::encodeName(dir.path()) + "/link\xff";
    ASSERT_EQ(::symlink(QFile::encodeName(resolvedFolder).constData(), unnamable.constData()), 0);

    struct Case {
        QByteArray argv0;
        QString expected;
    };
    const QByteArray name = QFile::encodeName(exe.fileName());
    const QList<Case> cases{
        {QFile::encodeName(linked) + '/' + name, linked},         // through a folder link: kept
        {QFile::encodeName(linked) + "/./" + name, linked},       // spelled loosely: cleaned
        {name, resolvedFolder},                                   // found in PATH or relative
        {QFile::encodeName(copy), resolvedFolder},                // another file of the same name
        {QFile::encodeName(linked) + "/missing", resolvedFolder}, // nothing there
        {unnamable + '/' + name, resolvedFolder},                 // not UTF-8: the exact resolved path
    };
    for (const Case& test : cases) {
        bool exact = false;
        EXPECT_EQ(platform::Bundle::bundlePathStartedAs(test.argv0, &exact), test.expected) << test.argv0.constData();
        EXPECT_TRUE(exact) << test.argv0.constData();
    }
}

} // namespace
