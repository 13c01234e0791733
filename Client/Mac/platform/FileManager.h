#pragma once
// File-manager operations on paths. Attributes describe the path itself: a
// final symbolic link is not followed.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace platform::files {

struct Attributes {
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
// The account name of a user id; empty when the id has no account. Asked
// apart from the attributes: a look-up reads the account database.
QString accountName(uint userId);
bool isWritable(const QString& path);
// Which file the path names (links followed): device and inode.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> identityOf(const QString& path);

// Creates the folder and missing parents with `mode` (umask applies).
bool createDirectory(const QString& path, uint mode, QString* error = nullptr);
// How far a copy has come: what is copied, and what there is in all (a
// total of 0 bytes: not counted).
struct CopyProgress {
    qint64 files = 0;
    qint64 bytes = 0;
    qint64 totalFiles = 0;
    qint64 totalBytes = 0;
};
// The files a copy of `path` makes (a link counts as one; folders do not),
// from the folders' listings alone: a look at each file for its size would
// cost as much as a good part of the copy. What cannot be read is left out
// (the copy will say so).
qint64 countFiles(const QString& path);
// Copies a file or a folder tree, keeping modes and symbolic links. Fails if
// the destination exists, and when anything below the source cannot be read
// or named exactly: a copy is whole or it is not made. A failed copy leaves
// no partial destination. `afterEachFile`, when given, is told the bytes of
// each file or link once it is copied.
bool copyItem(const QString& source, const QString& destination, QString* error = nullptr,
              const std::function<void(qint64 bytes)>& afterEachFile = {});
// Removes a file, a link or a whole folder tree.
bool removeItem(const QString& path, QString* error = nullptr);
// Removes a tree this process copied, opening up the read-only folders the
// copy took over from its source; answers whether nothing is left.
bool removeCopy(const QString& path);
// Renames an item; fails rather than replace anything at the destination.
bool renameItem(const QString& source, const QString& destination, QString* error = nullptr);
// Names in a folder, hidden ones included, in the order the system lists them.
QStringList contentsOfDirectory(const QString& path);
// The same, but nullopt when the folder cannot be read through, and names
// whose bytes no QString can carry (not UTF-8) are left out and handed to
// `undecodable`: such a name would stand for some other file.
std::optional<QStringList> listDirectory(const QString& path, QList<QByteArray>* undecodable);

// The text of a native path, or nullopt when its bytes are not UTF-8 and the
// text would encode back to other bytes (another file's name).
std::optional<QString> decodeExactly(const QByteArray& native);

} // namespace platform::files
