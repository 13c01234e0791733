#include "ProcessUtilities.h"

#include "Format.h"
#include "Logging.h"
#include "ProcessListing.h"
#include "Workspace.h"

#include <QProcess>

namespace {

// Runs a pipeline through the shell; true when it exited with status 0.
bool pipelineFindsMatch(const QString& commandLine)
{
    return QProcess::execute(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commandLine}) == 0;
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
    const QString listing = platform::processes::commandPathListing();
    bool found = false;
    // grep reads a line break in its pattern as a second, possibly empty,
    // pattern that would match every process.
    if (processName.contains(u'\n') || processName.contains(u'\r')) {
        logError("Not looking for a process named \"%1\": the name holds a line break", processName);
    } else {
        // "--" keeps a name that starts with "-" from being read as an option.
        found = pipelineFindsMatch(qbFormat("%1 | fgrep -- %2 | grep -v grep | grep -v relaunchqb > /dev/null", listing,
                                            shellQuoted(processName)));
    }
    found = pipelineFindsMatch(qbFormat("%1 | grep '%2 %3' | grep -v grep >/dev/null", listing, "Quorbel", "Mac")) || found;
    found = pipelineFindsMatch(qbFormat("%1 | grep '%2%3' | grep -v grep >/dev/null", listing, "Quorbel", "Core")) || found;
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
