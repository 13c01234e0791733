#pragma once
// Writes a new zip archive through minizip. The archive is a file without a
// name in its folder (opened once) until it is complete; only then is it
// linked in under its name, never over an existing entry, with mode 0600.
// A failed archive simply vanishes: nothing is ever removed by path. Files
// are added by reading them from an opened folder without following links,
// so an archive made on someone's behalf cannot be turned against another file.

#include <QByteArray>
#include <QString>

#include <memory>

class ZipArchiveWriter {
public:
    ZipArchiveWriter();
    ~ZipArchiveWriter(); // a writer not finished leaves nothing behind
    ZipArchiveWriter(const ZipArchiveWriter&) = delete;
    ZipArchiveWriter& operator=(const ZipArchiveWriter&) = delete;

    // Opens the folder of `path` and starts the unnamed archive in it; false
    // with the reason when the name is taken (by anything, a link too) or the
    // folder cannot hold such a file.
    bool create(const QString& path, QString* error);
    // One deflated entry from memory.
    bool addData(const QByteArray& entryName, const QByteArray& data, QString* error);
    // One deflated entry from the regular file `name` in the open folder
    // `folderFd`, read without following links, up to the length it had when
    // opened. A file longer than `limit` bytes contributes its last `limit`
    // bytes after a note saying so. False when it is not a regular file or
    // cannot be read; the archive stays usable.
    bool addFile(const QByteArray& entryName, int folderFd, const QByteArray& name, qint64 limit, QString* error);
    // Bytes taken into entries so far, before compression.
    qint64 bytesAdded() const;
    // Writes the directory, syncs and links the archive in under its name;
    // the archive exists only when this answers true.
    bool finish(QString* error);

private:
    struct State;
    std::unique_ptr<State> d;
};
