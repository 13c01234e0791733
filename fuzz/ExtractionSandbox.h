#pragma once
// A scratch tree for fuzzing extraction. The destination sits deeper than any
// 255-byte name can climb with "../", so every escape would land inside the
// tree where it can be seen. Beside the chain lies "outside" and, inside the
// destination, a link "pre" pointing at it. After each run the tree must hold
// exactly what it held before, apart from the destination's own contents.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

class ExtractionSandbox {
public:
    static constexpr int kDepth = 90; // > 255 / strlen("../")

    ExtractionSandbox()
    {
        const QByteArray base = QDir::tempPath().toUtf8() + "/qb-fuzz-XXXXXX";
        QByteArray pattern = qEnvironmentVariableIsSet("QB_FUZZ_TMP") ? qgetenv("QB_FUZZ_TMP") + "/qb-fuzz-XXXXXX" : base;
        if (!::mkdtemp(pattern.data()))
            std::abort();
        m_root = QString::fromUtf8(pattern);
        QString chain = m_root;
        for (int level = 0; level < kDepth; ++level)
            chain += QStringLiteral("/d");
        m_destination = chain + QStringLiteral("/dest");
        QDir().mkpath(m_destination);
        QDir().mkpath(m_root + QStringLiteral("/outside"));
        std::string level = QFile::encodeName(m_root).toStdString();
        for (int i = 0; i <= kDepth; ++i) {
            m_levels.push_back(level);
            level += "/d";
        }
        m_outside = QFile::encodeName(m_root).toStdString() + "/outside";
        m_link = QFile::encodeName(m_destination).toStdString() + "/pre";
        if (::symlink(QFile::encodeName(m_root + QStringLiteral("/outside")).constData(),
                      QFile::encodeName(m_destination + QStringLiteral("/pre")).constData())
            != 0)
            std::abort();
    }
    ~ExtractionSandbox() { QDir(m_root).removeRecursively(); }

    QString archivePath() const { return m_destination + QStringLiteral("/archive.zip"); }

    // Aborts (a finding) when anything appeared outside the destination.
    // Plain POSIX calls: this runs after every input.
    void checkNothingEscaped() const
    {
        expectOnly(m_levels.front(), {"d", "outside"});
        expectOnly(m_outside, {});
        for (size_t i = 1; i < m_levels.size(); ++i)
            expectOnly(m_levels[i], {i + 1 < m_levels.size() ? "d" : "dest"});
        struct stat info {};
        if (::lstat(m_link.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            std::fprintf(stderr, "ESCAPE: the link inside the destination was replaced\n");
            std::abort();
        }
    }

    // Empties the destination for the next run, keeping the link.
    void reset() const
    {
        QDir destination(m_destination);
        for (const QFileInfo& entry :
             destination.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
            if (entry.fileName() == QStringLiteral("pre"))
                continue;
            if (entry.isDir() && !entry.isSymLink())
                QDir(entry.filePath()).removeRecursively();
            else
                QFile::remove(entry.filePath());
        }
    }

private:
    static void expectOnly(const std::string& folder, std::vector<std::string> names)
    {
        std::vector<std::string> found;
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    found.emplace_back(entry->d_name);
            }
            ::closedir(dir);
        }
        std::sort(found.begin(), found.end());
        if (found != names) {
            std::string list;
            for (const std::string& name : found)
                list += name + ",";
            std::fprintf(stderr, "ESCAPE: %s holds [%s]\n", folder.c_str(), list.c_str());
            std::abort();
        }
    }

    QString m_root;
    QString m_destination;
    std::vector<std::string> m_levels; // the root, then each "d" of the chain
    std::string m_outside;
    std::string m_link;
};
