#pragma once
// Writes a new zip archive through minizip. The archive file is created new
// (never over an existing file, never through a link) with mode 0600, and
// files are added by reading them without following links, so an archive
// made on someone's behalf cannot be turned against another file.

#include <QByteArray>
#include <QString>

#include <memory>

class ZipArchiveWriter {
public:
    ZipArchiveWriter();
    ~ZipArchiveWriter(); // a writer not finished removes its partial archive
    ZipArchiveWriter(const ZipArchiveWriter&) = delete;
    ZipArchiveWriter& operator=(const ZipArchiveWriter&) = delete;

    // Creates `path`; false with the reason when it exists, is a link or
    // cannot be created.
    bool create(const QString& path, QString* error);
    // One deflated entry from memory.
    bool addData(const QByteArray& entryName, const QByteArray& data, QString* error);
    // One deflated entry from a regular file read without following links,
    // up to the length it had when opened. False when it is not a regular
    // file or cannot be read; the archive stays usable.
    bool addFile(const QByteArray& entryName, const QString& path, QString* error);
    // Writes the directory, syncs and closes; the archive is complete only
    // when this answers true.
    bool finish(QString* error);

private:
    struct State;
    std::unique_ptr<State> d;
};
