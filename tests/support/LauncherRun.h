#pragma once
// Runs the real launcher executable from a copy of the assembled bundle, in a
// scratch home and system tree, and reads what it left behind.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

#include <functional>
#include <memory>

class QProcess;

namespace testing_support {

// The sample's tools and plug-in install into the real system folders, which
// only a root run in a private mount namespace may touch; other whole runs
// check the core alone.
bool writeCoreOnlyManifest(const QString& resources);

class LauncherRun {
public:
    // Copies the bundle to `<root>/<bundleFolder>/Quorbel.app`
    // (by default the scratch /Applications, where no move is offered), with
    // a manifest of the core alone.
    explicit LauncherRun(const QString& bundleFolder = QStringLiteral("/Applications"));
    ~LauncherRun();

    QString home() const { return m_home; }
    QString root() const { return m_root; }
    QString bundle() const { return m_bundle; }
    QString resources() const { return m_bundle + QStringLiteral("/Contents/Resources"); }
    QProcessEnvironment& environment() { return m_environment; }

    // Runs the launcher to its end; answers its exit code (-1 on a crash or time-out).
    int run(int timeoutMs = 60000);
    // The same with command-line arguments.
    int run(const QStringList& arguments, int timeoutMs = 60000);
    // The same in two steps, for a test that acts while the launcher runs.
    void start(const QStringList& arguments = {});
    qint64 processId() const;
    int finish(int timeoutMs = 60000);
    // Runs in the launcher's process before it starts (async-signal-safe calls only).
    void setChildSetup(std::function<void()> setup) { m_childSetup = std::move(setup); }
    QString executable() const { return m_bundle + QStringLiteral("/Contents/MacOS/Quorbel"); }
    // Makes the launcher's user defaults hold `values`.
    void setUserDefaults(const QVariantMap& values) const;
    QString standardError() const { return m_stderr; }
    QString standardOutput() const { return m_stdout; }

    // The newest launcher log file and its lines ("" / empty when none).
    QString logFile() const;
    QStringList logLines() const;
    // The message part of the normal-level lines, in order.
    QStringList normalMessages() const;
    // The core's proof of start, waited for up to `timeoutMs`.
    QStringList coreLog(int timeoutMs = 5000) const;

private:
    QTemporaryDir m_dir;
    QString m_home;
    QString m_root;
    QString m_bundle;
    QProcessEnvironment m_environment;
    QString m_stderr;
    QString m_stdout;
    std::function<void()> m_childSetup;
    std::unique_ptr<QProcess> m_process;
};

} // namespace testing_support
