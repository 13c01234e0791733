#pragma once
// The root side's path rules (Common/data/portable/PathRules.h) for text the
// launcher holds: each check looks at the bytes the file system is given
// (QFile::encodeName), the same bytes the root helper checks again.

#include "PathRules.h"

#include <QFile>
#include <QString>

namespace platform::paths {

inline bool hasControlCharacter(const QString& text)
{
    return qbcore::hasControlCharacter(QFile::encodeName(text).toStdString());
}

inline bool isCleanAbsolutePath(const QString& path)
{
    return qbcore::isCleanAbsolutePath(QFile::encodeName(path).toStdString());
}

inline bool isBundlePath(const QString& path)
{
    return qbcore::isBundlePath(QFile::encodeName(path).toStdString());
}

} // namespace platform::paths
