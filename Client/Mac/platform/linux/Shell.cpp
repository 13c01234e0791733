#include "Shell.h"

#include "Bundle.h"

#include <QProcess>

namespace platform::shell {

QString quotedWord(const QString& word)
{
    QString escaped = word;
    escaped.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + escaped + u'\'';
}

QString quarantineRemovalCommand(const QString& path, bool recursive)
{
    const QString attribute = QString::fromLatin1(kQuarantineAttribute);
    // -h: links are left alone, their targets may lie outside the bundle.
    const QString removal
        = recursive ? QStringLiteral("find %1 -exec setfattr -h -x %2 {} + 2>/dev/null").arg(quotedWord(path), attribute)
                    : QStringLiteral("setfattr -h -x %2 %1 2>/dev/null").arg(quotedWord(path), attribute);
    return QStringLiteral("command -v setfattr >/dev/null 2>&1 && %1;").arg(removal);
}

QString openApplicationCommand(const QString& bundlePath)
{
    return QStringLiteral("exec %1 </dev/null >/dev/null 2>&1").arg(quotedWord(Bundle(bundlePath).executablePath()));
}

QString detachVolumeCommand(const QString& volumePath)
{
    return QStringLiteral("umount %1").arg(quotedWord(volumePath));
}

bool startDetached(const QString& line)
{
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), line});
}

} // namespace platform::shell
