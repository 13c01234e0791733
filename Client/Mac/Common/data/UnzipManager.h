#pragma once
// Unpacks a zip archive into the folder that holds it, entry by entry,
// recreating the archive's folders. Entries whose names would lead outside
// that folder (absolute names, ".." components, drive letters, backslash
// variants, a path through an existing symbolic link) are refused and
// logged; nothing is ever written outside it.

#include <QByteArray>
#include <QString>

// minizip's archive handle.
typedef void* unzFile;

class UnzipManager {
public:
    // Result when the read buffer cannot be allocated (minizip's internal error).
    static constexpr int kErrorInternal = -104;
    // extractCurrentFile's answer for an entry whose file cannot be created.
    static constexpr int kEntrySkipped = 1;
    // As large as a write worth making: each write of an extracted file is a
    // system call.
    static constexpr int kReadBufferSize = 64 * 1024;
    // Room for a stored name and its terminator; longer names are refused.
    static constexpr int kNameBufferSize = 256;

    // A failed open leaves the manager without an archive; extractAll then
    // answers minizip's parameter error.
    explicit UnzipManager(const QString& archivePath);
    ~UnzipManager();
    UnzipManager(const UnzipManager&) = delete;
    UnzipManager& operator=(const UnzipManager&) = delete;

    // 0 when every entry was extracted or refused as unsafe; otherwise the
    // first entry's error (a damaged or unreadable entry ends the walk, an
    // entry whose file cannot be created is skipped and answers -1 at the
    // end); minizip's error when the archive cannot be read at all.
    int extractAll();

    // The destination folder with a final "/".
    const QByteArray& outputPath() const { return m_outputPath; }

    // Helpers of the extraction.
    int extractCurrentFile();
    // Creates one folder with mode 0775: 0 or -1.
    static int mymkdir(const char* path);
    // Creates a folder and its missing parents ("/" and "\\" both separate):
    // 1 on success, 0 on failure.
    static int makedir(const char* path);

private:
    // Creates the folders of a stored name's folder part inside the destination.
    void makeEntryFolders(const QByteArray& folderPart) const;

    // The archive, read through this one descriptor (zip64 entries too).
    int m_archiveFd = -1;
    unzFile uf = nullptr;
    QByteArray m_archivePath;
    QByteArray m_outputPath;
    bool m_isEmptyArchive = false;
};
