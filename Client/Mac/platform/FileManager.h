#pragma once
// File-manager operations on paths. Attributes describe the path itself: a
// final symbolic link is not followed.

#include <QString>
#include <QStringList>

#include <optional>

namespace platform::files {

struct Attributes {
    QString ownerAccountName;
    uint ownerId = 0;
    uint posixPermissions = 0; // all twelve permission bits
    bool isDirectory = false;
    bool isSymbolicLink = false;
    qint64 size = 0;
};

// Something exists at the path (links followed).
bool fileExists(const QString& path);
bool isDirectory(const QString& path); // links followed
std::optional<Attributes> attributesOfItem(const QString& path);
bool isWritable(const QString& path);

// Creates the folder and missing parents with `mode` (umask applies).
bool createDirectory(const QString& path, uint mode, QString* error = nullptr);
// Copies a file or a folder tree, keeping modes and symbolic links. Fails if
// the destination exists. A failed copy leaves no partial destination.
bool copyItem(const QString& source, const QString& destination, QString* error = nullptr);
// Removes a file, a link or a whole folder tree.
bool removeItem(const QString& path, QString* error = nullptr);
// Names in a folder, hidden ones included, in the order the system lists them.
QStringList contentsOfDirectory(const QString& path);

} // namespace platform::files
