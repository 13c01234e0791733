#pragma once
// Writes zip archives for tests, benchmarks and fuzzing through minizip's zip
// part: any stored names (backslashes, "..", very long ones), folder and
// symbolic-link entries, stored or deflated data.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <unzip.h>
#include <zip.h>

#include <map>

#include <sys/stat.h>

namespace testing_support {

struct ZipEntry {
    QByteArray name;
    QByteArray data;
    bool symbolicLink = false;
    bool deflated = true;
};

// Entry name -> contents of every entry of an archive; empty when unreadable.
inline std::map<QByteArray, QByteArray> readZip(const QString& path)
{
    std::map<QByteArray, QByteArray> entries;
    unzFile archive = unzOpen64(QFile::encodeName(path).constData());
    if (!archive)
        return entries;
    for (int more = unzGoToFirstFile(archive); more == UNZ_OK; more = unzGoToNextFile(archive)) {
        char name[512];
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK
            || unzOpenCurrentFile(archive) != UNZ_OK)
            break;
        QByteArray data;
        char buffer[65536];
        for (int got; (got = unzReadCurrentFile(archive, buffer, sizeof buffer)) > 0;)
            data.append(buffer, got);
        unzCloseCurrentFile(archive);
        entries[QByteArray(name)] = data;
    }
    unzClose(archive);
    return entries;
}

inline bool writeZip(const QString& path, const QList<ZipEntry>& entries)
{
    zipFile archive = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!archive)
        return false;
    bool ok = true;
    for (const ZipEntry& entry : entries) {
        zip_fileinfo info{};
        const mode_t mode = entry.symbolicLink ? (S_IFLNK | 0777)
                                               : (entry.name.endsWith('/') ? (S_IFDIR | 0755) : (S_IFREG | 0644));
        info.external_fa = static_cast<uLong>(mode) << 16;
        constexpr uLong kMadeOnUnix = (3u << 8) | 30u;
        const int method = entry.deflated ? Z_DEFLATED : 0;
        ok = ok
             && zipOpenNewFileInZip4_64(archive, entry.name.constData(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                                        Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                        kMadeOnUnix, 0, 0)
                    == ZIP_OK;
        ok = ok && zipWriteInFileInZip(archive, entry.data.constData(), static_cast<unsigned>(entry.data.size())) == ZIP_OK;
        ok = ok && zipCloseFileInZip(archive) == ZIP_OK;
    }
    return zipClose(archive, nullptr) == ZIP_OK && ok;
}

} // namespace testing_support
