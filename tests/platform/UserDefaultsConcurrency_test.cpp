#include "UserDefaults.h"

#include "PropertyList.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using platform::UserDefaults;

constexpr int kWritesPerWriter = 150;

void writeKeys(UserDefaults& defaults, const QString& prefix)
{
    for (int i = 0; i < kWritesPerWriter; ++i)
        ASSERT_TRUE(defaults.setObject(i, prefix + QString::number(i))) << defaults.lastError().toStdString();
}

void expectAllKeys(const QString& path, const QStringList& prefixes)
{
    const QVariantMap domain = UserDefaults(path).persistentDomain();
    EXPECT_EQ(domain.size(), prefixes.size() * kWritesPerWriter);
    for (const QString& prefix : prefixes) {
        for (int i = 0; i < kWritesPerWriter; ++i)
            ASSERT_EQ(domain.value(prefix + QString::number(i)), QVariant(qint64(i))) << prefix.toStdString() << i;
    }
}

// Reads the file over and over while writers run: every read must parse,
// since a writer replaces the file in one rename.
class FileWatcher {
public:
    explicit FileWatcher(const QString& path)
        : m_thread([this, path] {
              while (!m_stop) {
                  QString error;
                  if (QFileInfo::exists(path) && !platform::readPropertyList(path, &error).isValid())
                      ++m_badReads;
              }
          })
    {
    }
    int stop()
    {
        m_stop = true;
        m_thread.join();
        return m_badReads;
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_badReads{0};
    std::thread m_thread;
};

TEST(UserDefaultsConcurrency, TwoThreadsWritingDifferentKeysLoseNothing)
{
    testing_support::ScratchHome home;
    const QString path = home.path(QStringLiteral("config/test.plist"));
    UserDefaults shared(path);
    UserDefaults other(path);
    FileWatcher watcher(path);
    std::thread first([&] { writeKeys(shared, QStringLiteral("first")); });
    std::thread second([&] { writeKeys(shared, QStringLiteral("second")); });
    std::thread third([&] { writeKeys(other, QStringLiteral("third")); });
    first.join();
    second.join();
    third.join();
    EXPECT_EQ(watcher.stop(), 0) << "a reader saw a damaged file";
    expectAllKeys(path, {QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")});
}

// The second writer is a copy of this test program running this same test
// with the file named in its environment.
TEST(UserDefaultsConcurrency, TwoProcessesWritingDifferentKeysLoseNothing)
{
    const QString childFile = qEnvironmentVariable("QB_DEFAULTS_WRITER_FILE");
    if (!childFile.isEmpty()) {
        UserDefaults defaults(childFile);
        writeKeys(defaults, QStringLiteral("child"));
        return;
    }
    testing_support::ScratchHome home;
    const QString path = home.path(QStringLiteral("config/test.plist"));
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QB_DEFAULTS_WRITER_FILE"), path);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=UserDefaultsConcurrency.TwoProcessesWritingDifferentKeysLoseNothing")});
    ASSERT_TRUE(child.waitForStarted());

    // Start writing once the child does, so that both really overlap.
    UserDefaults defaults(path);
    for (int i = 0; i < 2000 && !UserDefaults(path).persistentDomain().contains(QStringLiteral("child0")); ++i)
        QThread::msleep(5);
    FileWatcher watcher(path);
    writeKeys(defaults, QStringLiteral("parent"));
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(watcher.stop(), 0) << "a reader saw a damaged file";
    ASSERT_EQ(child.exitCode(), 0) << output.toStdString();
    ASSERT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test."))) << output.toStdString();
    expectAllKeys(path, {QStringLiteral("parent"), QStringLiteral("child")});
}

TEST(UserDefaultsConcurrency, AFileThatCannotBeReadIsNeverOverwritten)
{
    testing_support::ScratchHome home;
    const QString path = home.path(QStringLiteral("config/test.plist"));
    const QByteArray damaged = "<?xml version=\"1.0\"?><plist><dict><key>UserList</key>";
    ASSERT_TRUE(testing_support::writeFile(path, damaged));
    UserDefaults defaults(path);
    EXPECT_FALSE(defaults.setObject(QStringLiteral("x"), QStringLiteral("key")));
    EXPECT_FALSE(defaults.lastError().isEmpty());
    EXPECT_EQ(testing_support::readFile(path), damaged);
}

} // namespace
