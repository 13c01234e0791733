#pragma once
// The launcher's command line, for administrators and support: the
// installation check without a window, an unattended repair, a support
// archive. Only arguments beginning with "--" that are not Qt's own options
// are ours; without one of ours the launcher starts exactly as always.

#include <QString>
#include <QStringList>

namespace CommandLine {

enum class Command { None, Check, Repair, SupportArchive, Help, Version, Usage };

struct Request {
    Command command = Command::None;
    bool json = false;
    QString archivePath;
    QString home;    // --home: the home folder to work in (support work as root)
    QString problem; // for Usage: what is wrong with the arguments
};

// Exit statuses.
inline constexpr int kExitInOrder = 0;
inline constexpr int kExitNotInOrder = 1; // also a failed repair run
inline constexpr int kExitFailure = 2;    // nothing could be judged or made
inline constexpr int kExitUsage = 64;

// `arguments` without the program name.
Request parse(const QStringList& arguments);
Request parse(int argc, char** argv);

QString usage(const QString& programName);

// Runs a request other than None under a QCoreApplication; answers the exit status.
int run(const Request& request);

} // namespace CommandLine
