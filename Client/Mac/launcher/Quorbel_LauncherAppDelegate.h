#pragma once
// The launcher's application delegate: the launch sequence, from reading the
// configuration to starting the core application.

#include "DesktopIntegration.h"

#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <optional>

class Quorbel_LauncherAppDelegate : public QObject {
    Q_OBJECT
public:
    Quorbel_LauncherAppDelegate();
    ~Quorbel_LauncherAppDelegate() override;

    // The application's delegate, while one exists.
    static Quorbel_LauncherAppDelegate* applicationDelegate();

    // Appends to `foundPaths` every application bundle under `fromPath` whose
    // CFBundleIdentifier is `ident`, creating the list on the first find.
    // Each real folder is searched once, no deeper than 8 folders, and links
    // are followed only while they stay inside `fromPath` (resolved).
    static void pathsForIdent(const QString& ident, const QString& fromPath, std::optional<QStringList>* foundPaths);
    // The 24 fixed paths of earlier copies of the client, "~" unexpanded.
    static QStringList earlierCopyPaths(const QString& productName);
    // The running copy as its desktop entry names it; nullopt when its path
    // is not UTF-8.
    static std::optional<platform::desktop::Copy> desktopCopy();

    void applicationDidFinishLaunching();
    // The start every run shares, the command line's too: defaults, logging,
    // configuration problems, the version line, old log files pruned.
    void startUp();
    // For the command line: the terminal's level, in place of the settings'.
    void setTerminalLoggingLevel(const QString& level) { m_terminalLevel = level; }
    // True when the core is not running; otherwise the application is ending.
    bool ensureCoreNotRunning();
    void launchCore();
    // The core's executable, and why the launch could not start it ("" when
    // nothing in the bundle stands in the way).
    static QString coreExecutablePath();
    static QString whyCoreCannotStart();
    int brandId() const;

    QString logFilePath() const { return m_logFilePath; }

private:
    static bool refuseInexactBundlePath();
    bool claimLauncher();
    bool coreStartedWhileWaiting();
    void registerDefaults();
    void startLogging();
    QString loggingLevelSetting(const QString& key, QStringList* problems) const;
    void reportCoreNotStarted(const QString& path);
    void updateDesktopIntegration();
    void reportConfigurationProblems();
    QStringList collectEarlierCopies(const QString& productName) const;

    QVariantMap config;
    QString m_configError;
    QString m_defaultsError;
    QVariantMap m_registeredDefaults;
    QString m_logFilePath;
    QString m_terminalLevel;
};
