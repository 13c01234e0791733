#pragma once
// A whole tree as text, to compare a folder before and after a run: every
// entry below a root with owner, mode, link target and (the start of) its
// contents.

#include "TestSupport.h"

#include <QDirIterator>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>

namespace testing_support {

// `contentBytes` bounds how much of each file is compared; negative: all of it.
inline QStringList treeListing(const QString& root, qsizetype contentBytes = -1)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat status {};
        ::lstat(QFile::encodeName(path).constData(), &status);
        QString line = QStringLiteral("%1 %2 %3").arg(path.mid(root.size())).arg(status.st_uid).arg(status.st_mode, 0, 8);
        if (S_ISLNK(status.st_mode)) {
            line += QStringLiteral(" -> ") + QFile::symLinkTarget(path);
        } else if (S_ISREG(status.st_mode)) {
            const QByteArray data = readFile(path);
            line += u' ' + QString::fromLatin1((contentBytes < 0 ? data : data.left(contentBytes)).toHex());
        }
        lines.append(line);
    }
    lines.sort();
    return lines;
}

} // namespace testing_support
