#pragma once
// The one place that knows where system folders are. Tests and whole-run
// checks point them at a scratch tree: the launcher honours the environment
// variable QUORBEL_SYSTEM_ROOT (never in a set-user-ID process) and tests call
// setSystemRoot(). The user's own folders follow $HOME, except in a root
// process: root takes $HOME only when root alone can change it and every
// folder above it, else the home the password database gives.

#include <QString>
#include <QStringList>

namespace platform {

enum class Domain { User, Local, Network };

namespace locations {

// Prefix put before every absolute system path ("" on a real machine).
QString systemRoot();
void setSystemRoot(const QString& root);

// An absolute system path such as "/Applications" under the system root
// (the root is normalised: no trailing "/").
QString systemPath(const QString& absolutePath);

// The home folder, normalised: never ends in "/" ("" for the root folder).
QString homeFolder();
// A home folder named on the command line (support work as root): used as
// it is; what is written or removed in it goes through the folder walk.
void setHomeFolder(const QString& home);
bool homeFolderIsExplicit();
// False when $HOME's bytes are not UTF-8: paths in the home folder then name
// some other place and must not be acted on.
bool homeFolderIsExact();
// "~" and "~/x" become paths in the home folder; other paths are unchanged.
QString expandTilde(const QString& path);

// The Applications folders of one domain, last entry preferred.
QStringList applicationsFolders(Domain domain);
QStringList allApplicationsFolders();
QStringList downloadsFolders(Domain domain);
QStringList allDownloadsFolders();

// Where mounted disk images appear ("/Volumes").
QString volumesFolder();

} // namespace locations
} // namespace platform
