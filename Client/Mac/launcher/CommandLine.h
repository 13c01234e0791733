#pragma once
// The launcher's command line, for administrators and support: the
// installation check without a window, an unattended repair, a support
// archive, this user's desktop entry. Only arguments beginning with "--" that are not Qt's own options
// are ours; without one of ours the launcher starts exactly as always.

#include "ExitStatus.h"

#include <QString>
#include <QStringList>

namespace CommandLine {

enum class Command {
    None,
    Check,
    Repair,
    SupportArchive,
    Integrate,
    RemoveIntegration,
    IntegrationStatus,
    Help,
    Version,
    Usage
};

struct Request {
    Command command = Command::None;
    bool json = false;
    bool verbose = false; // log lines below error level reach the terminal too
    QString archivePath;
    QString home;    // --home: the home folder to work in (support work as root)
    QString problem; // for Usage: what is wrong with the arguments
};

// The command line's names for the statuses of ExitStatus.h.
inline constexpr int kExitInOrder = ExitStatus::kDone;
inline constexpr int kExitNotInOrder = ExitStatus::kNotInOrder; // also a failed repair run
inline constexpr int kExitFailure = ExitStatus::kRefused;       // nothing could be judged or made
inline constexpr int kExitUsage = ExitStatus::kUsage;

// `arguments` without the program name.
Request parse(const QStringList& arguments);
Request parse(int argc, char** argv);

QString usage(const QString& programName);

// Runs a request other than None under a QCoreApplication; answers the exit status.
int run(const Request& request);

} // namespace CommandLine
