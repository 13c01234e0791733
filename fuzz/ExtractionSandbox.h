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

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

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
        if (::symlink(QFile::encodeName(m_root + QStringLiteral("/outside")).constData(),
                      QFile::encodeName(m_destination + QStringLiteral("/pre")).constData())
            != 0)
            std::abort();
    }
    ~ExtractionSandbox() { QDir(m_root).removeRecursively(); }

    QString archivePath() const { return m_destination + QStringLiteral("/archive.zip"); }

    // Aborts (a finding) when anything appeared outside the destination.
    void checkNothingEscaped() const
    {
        expectOnly(m_root, {QStringLiteral("d"), QStringLiteral("outside")});
        expectOnly(m_root + QStringLiteral("/outside"), {});
        QString level = m_root;
        for (int i = 0; i < kDepth; ++i) {
            level += QStringLiteral("/d");
            expectOnly(level, {i + 1 < kDepth ? QStringLiteral("d") : QStringLiteral("dest")});
        }
        const QFileInfo link(m_destination + QStringLiteral("/pre"));
        if (!link.isSymLink()) {
            std::fprintf(stderr, "ESCAPE: the link inside the destination was replaced\n");
            std::abort();
        }
    }

    // Empties the destination for the next run, keeping the link.
    void reset() const
    {
        QDir destination(m_destination);
        for (const QFileInfo& entry : destination.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
            if (entry.fileName() == QStringLiteral("pre"))
                continue;
            if (entry.isDir() && !entry.isSymLink())
                QDir(entry.filePath()).removeRecursively();
            else
                QFile::remove(entry.filePath());
        }
    }

private:
    static void expectOnly(const QString& folder, const QStringList& names)
    {
        const QStringList found = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        if (found != names) {
            std::fprintf(stderr, "ESCAPE: %s holds [%s]\n", qPrintable(folder), qPrintable(found.join(u',')));
            std::abort();
        }
    }

    QString m_root;
    QString m_destination;
};
