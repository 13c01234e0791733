#pragma once
// The four lookups of localised, branded texts.

#include "Format.h"

#include <QString>
#include <QStringList>

QString QBLocalizedString(const QString& key);
// The finished string used as a format with the platform's "%@"/"%d"
// directives, filled with the arguments; null when the key is null or the
// text asks for more arguments than given.
QString QBLocalizedStringWithArgumentList(const QString& key, const QStringList& arguments);
template <typename... Args>
QString QBLocalizedStringWithArguments(const QString& key, const Args&... args)
{
    return QBLocalizedStringWithArgumentList(key, QStringList{format_detail::toArg(args)...});
}
QString QBLocalizedMonoString(const QString& section, const QString& key);
QString QBLocalizedMonoStringStripProduct(const QString& section, const QString& key);
