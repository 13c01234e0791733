#include "ProcessUtilities.h"

#include "Format.h"
#include "Logging.h"
#include "ProcessListing.h"
#include "Workspace.h"

#include <QProcess>

namespace {

// Runs a pipeline through the shell with the process listing on its
// standard input; true when it exited with status 0.
bool pipelineFindsMatch(const QString& commandLine, const QByteArray& listing)
{
    logDetail("Process check: %1", commandLine);
    QProcess shell;
    shell.setProcessChannelMode(QProcess::ForwardedChannels);
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commandLine});
    if (!shell.waitForStarted(-1))
        return false;
    shell.write(listing);
    shell.closeWriteChannel();
    shell.waitForFinished(-1);
    return shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0;
}

std::optional<QVariantMap> runningApplicationWithIdentifier(const QString& identifier)
{
    for (const platform::RunningApplication& app : platform::workspace::launchedApplications()) {
        if (app.bundleIdentifier == identifier)
            return app.toDictionary();
    }
    return std::nullopt;
}

} // namespace

QString ProcessUtilities::shellQuoted(const QString& text)
{
    QString quoted = text;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

bool ProcessUtilities::quorbelCoreAlreadyRunning(const QString& processName)
{
    // One listing for the three pipelines, made before any of them runs: it
    // never shows this process, nor the shells and greps of the checks.
    const QByteArray listing = platform::processes::commandPathListing();
    bool found = false;
    // grep reads a line break in its pattern as a second, possibly empty,
    // pattern that would match every process.
    if (processName.contains(u'\n') || processName.contains(u'\r')) {
        logError("Not looking for a process named \"%1\": the name holds a line break", processName);
    } else {
        // "--" keeps a name that starts with "-" from being read as an option.
        found = pipelineFindsMatch(
            qbFormat("fgrep -- %1 | grep -v grep | grep -v relaunchqb > /dev/null", shellQuoted(processName)), listing);
    }
    found = pipelineFindsMatch(qbFormat("grep '%1 %2' | grep -v grep >/dev/null", "Quorbel", "Mac"), listing) || found;
    found = pipelineFindsMatch(qbFormat("grep '%1%2' | grep -v grep >/dev/null", "Quorbel", "Core"), listing) || found;
    logVerbose("Process check for \"%1\": %2", processName, found ? "running" : "not running");
    return found;
}

std::optional<QVariantMap> ProcessUtilities::getRunningiTunesInfo()
{
    return runningApplicationWithIdentifier(QStringLiteral("com.apple.iTunes"));
}

std::optional<QVariantMap> ProcessUtilities::getRunningFinder()
{
    return runningApplicationWithIdentifier(QStringLiteral("com.apple.finder"));
}

QString ProcessUtilities::currentLanguage()
{
    return QStringLiteral("en");
}
