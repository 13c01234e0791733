#include "FileManager.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdio>

using namespace testing_support;

namespace {

TEST(CopyItem, IsWholeOrNotMade)
{
    ScratchHome home;
    struct Case {
        const char* name;
        QByteArray entry; // an extra entry below Resources, by its bytes
        bool copied;
    };
    const QList<Case> cases{
        {"plain", "plain.txt", true},
        {"a name that is not UTF-8", "caf\xe9.txt", false},
    };
    for (const Case& test : cases) {
        const QString source = makeBundle(home.path(QStringLiteral("source/X.app")), {{"CFBundleIdentifier", "x"}});
        writeFile(source + QStringLiteral("/Contents/Resources/staged"), "data");
        ASSERT_EQ(std::rename(QFile::encodeName(source + QStringLiteral("/Contents/Resources/staged")).constData(),
                              (QFile::encodeName(source) + "/Contents/Resources/" + test.entry).constData()), 0);
        const QString destination = home.path(QStringLiteral("destination/X.app"));
        QDir().mkpath(home.path(QStringLiteral("destination")));
        QString error;
        EXPECT_EQ(platform::files::copyItem(source, destination, &error), test.copied) << test.name;
        EXPECT_EQ(platform::files::attributesOfItem(destination).has_value(), test.copied) << test.name;
        EXPECT_EQ(error.isEmpty(), test.copied) << test.name << ": " << qPrintable(error);
        QDir(home.path(QStringLiteral("source"))).removeRecursively();
        QDir(home.path(QStringLiteral("destination"))).removeRecursively();
    }
}

} // namespace
