#pragma once
// Reaching folders in places other users may control (a home folder, its log
// folders) without being led elsewhere: every component is opened from its
// parent's descriptor without following links, and a folder owned by anyone
// but this process's user (or root, above it) is refused. Also the unnamed
// files that become visible only when complete. Descriptors are close-on-exec.

#include <QByteArray>
#include <QString>

namespace platform::folders {

// Opens the absolute folder `path` by that walk; with `create`, missing
// folders are made (mode 0777, umask applies). `alsoOwnedBy` is one more
// owner accepted (-1: none), for reading a folder of the user that support
// work names. A folder not owned by this user must not be writable by others
// (sticky folders such as /tmp excepted). Answers a descriptor, or -1 and why.
int openFolder(const QString& path, bool create, QString* why, long alsoOwnedBy = -1);

// Why root cannot trust `path`: it, or a folder above it, is a link, not
// owned by root, or writable by others than root and root's group (sticky
// folders such as /tmp excepted). "" when root alone can change it.
QString whyNotRootOnly(const QString& path);
// The same for a native path, its bytes exactly as given.
QString whyNotRootOnly(const QByteArray& nativePath);
// For a process running as root, why it may not make or write files at or
// below `folder` (which need not exist yet): the nearest existing folder is
// one another user could redirect. "" when it may, and always when not root.
QString whyRootMayNotWriteIn(const QString& folder);

// The user id owning the folder `path` itself (a final link not followed), or -1.
long ownerOf(const QString& path);

// A new file without a name in the folder `folderFd`, open for reading and
// writing with `mode`; -1 and why when the file system has no such files.
int createUnnamedFile(int folderFd, unsigned mode, QString* why);
// Gives the unnamed file `fd` the name `name` in `folderFd`; never replaces
// an existing entry.
bool linkUnnamedFile(int fd, int folderFd, const QByteArray& name, QString* why);

} // namespace platform::folders
