#pragma once
// Command lines for /bin/sh: quoting, the platform's commands for a few
// desktop chores, and starting a line in the background.

#include <QString>

namespace platform::shell {

// The extended attribute that marks a downloaded file: the freedesktop origin
// attribute browsers and downloaders set (there is no quarantine flag here).
inline constexpr char kQuarantineAttribute[] = "user.xdg.origin.url";

// `word` as one shell word in single quotes; a single quote inside becomes
// '\'' so that nothing in the word is ever interpreted.
QString quotedWord(const QString& word);

// Removes the download marker from `path` (and everything below it when
// `recursive`), silently doing nothing when the attribute tool is missing.
// Ends with ";" so that the next command follows.
QString quarantineRemovalCommand(const QString& path, bool recursive);
// Starts the application bundle at `bundlePath`, detached from our terminal,
// replacing the shell that runs it.
QString openApplicationCommand(const QString& bundlePath);
// Unmounts the volume mounted at `volumePath`.
QString detachVolumeCommand(const QString& volumePath);

// Runs `line` with "/bin/sh -c" without waiting for it.
bool startDetached(const QString& line);

} // namespace platform::shell
