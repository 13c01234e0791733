#pragma once
// Offers to move the launcher into the Applications folder when it was
// started from anywhere else, removing earlier copies of the client, and
// relaunches the installed copy.

#include <QString>
#include <QStringList>

#include <functional>

void PFAltDstBundleName(const QString& name);
// Bundle paths ("~" allowed) removed when the launcher is moved.
void PFAlsoRemoveBundles(const QStringList& paths);
// Returns when nothing is to be done, the user declined or cancelled, or the
// move failed; after a successful move the application is terminating.
void PFMoveToApplicationsFolderIfNecessary();
// The offer and the move, without the checks of whether to offer.
void PFMove();
// Moves one item to the user's Trash.
bool Trash(const QString& path);

// The background line that waits until process `pid` has ended, clears the
// download marker of `destination` and starts it.
QString PFRelaunchLine(qint64 pid, const QString& destination);
// The background line that unmounts `volume` a few seconds from now.
QString PFDetachLine(const QString& volume);

// What a finished move does beyond the files: start the background lines and
// end the application. Tests replace them; an empty member means the system's.
struct PFMoveActions {
    std::function<bool(const QString& shellLine)> startShell;
    std::function<void()> terminate;
};
void PFSetMoveActions(const PFMoveActions& actions);
