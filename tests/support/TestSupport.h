#pragma once
// Helpers shared by the tests: scratch folders, a scratch home, files,
// bundles and the log of the running test.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

#include <map>
#include <optional>

namespace testing_support {

// Sets environment variables for the life of the object and restores them.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment();
    void set(const char* name, const QString& value);
    void unset(const char* name);

private:
    void remember(const char* name);
    std::map<QByteArray, std::optional<QByteArray>> m_saved;
};

// A temporary home folder with its own configuration and data folders, a
// system root for absolute system locations, and standard defaults and
// shared managers reset around it.
class ScratchHome {
public:
    ScratchHome();
    ~ScratchHome();
    QString home() const { return m_home; }
    QString systemRoot() const { return m_root; }
    QString path(const QString& relative) const { return m_dir.path() + u'/' + relative; }

private:
    QTemporaryDir m_dir;
    QString m_home;
    QString m_root;
    ScopedEnvironment m_environment;
};

bool writeFile(const QString& path, const QByteArray& contents, int mode = -1);
QByteArray readFile(const QString& path);
bool writePlist(const QString& path, const QVariant& value);
// Makes X.app/Contents with an Info.plist holding `info` (none when
// `info` is empty and `withInfo` is false).
QString makeBundle(const QString& bundlePath, const QVariantMap& info, bool withInfo = true);
// An executable shell script.
QString makeScript(const QString& path, const QString& body);

// Logs the current process to a fresh file at the given thresholds; lines()
// answers what has been written so far.
class LogCapture {
public:
    explicit LogCapture(unsigned fileLevel = 3, unsigned stdioLevel = 0);
    ~LogCapture();
    QString path() const { return m_path; }
    QStringList lines() const;
    // The message part of each line (after the thread prefix).
    QStringList messages() const;
    bool contains(const QString& message) const;

private:
    QTemporaryDir m_dir;
    QString m_path;
};

} // namespace testing_support
