#pragma once
// Offers to move the launcher into the Applications folder when it was
// started from anywhere else, removing earlier copies of the client, and
// relaunches the installed copy.

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

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

// The window of a copy that lasts: made once the copy has taken about a
// second, told between files how far it has come, gone when destroyed
// (whatever the copy came to). It offers no way to stop the copy: half a
// move is worse than a whole one.
class PFCopyProgressWindow {
public:
    virtual ~PFCopyProgressWindow() = default;
    // `permille` of the copy is done; `counts` says what in words, `title` in short.
    virtual void update(int permille, const QString& counts, const QString& title) = 0;
};
// Makes the window: `message` says what is copied where; `widestCounts` is a
// counts text as long as most it will be told (a longer one widens the
// window). Null: no window can be shown.
using PFCopyProgressWindowMaker = std::unique_ptr<PFCopyProgressWindow> (*)(const QString& message,
                                                                            const QString& widestCounts);
// Set by the window system; without it the copies show nothing.
void PFSetCopyProgressWindow(PFCopyProgressWindowMaker make);
// The plain move's copy (platform::files::copyItem) with its window, which
// comes up once the copy has lasted `showAfterMs`.
bool PFCopyShowingProgress(const QString& source, const QString& destination, bool copyWording, QString* error,
                           int showAfterMs = 1000);
