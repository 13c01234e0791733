#include "SupportArchive.h"

#include "FolderWalk.h"
#include "KeyConstants.h"
#include "LogFilePruning.h"
#include "Logging.h"
#include "PropertyList.h"
#include "ZipArchiveWriter.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <unistd.h>

namespace SupportArchive {
namespace {

const QString kRedacted = QStringLiteral("<redacted>");

// Property lists inside <data> inside <data>...: beyond this, the whole value goes.
constexpr int kDataNesting = 8;

QVariant redactedAt(const QVariant& value, int dataDepth)
{
    if (value.typeId() == QMetaType::QVariantList) {
        QVariantList list = value.toList();
        for (QVariant& entry : list)
            entry = redactedAt(entry, dataDepth);
        return list;
    }
    if (value.typeId() == QMetaType::QVariantMap) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            *it = isSecretKey(it.key()) ? QVariant(kRedacted) : redactedAt(*it, dataDepth);
        return map;
    }
    if (value.typeId() != QMetaType::QByteArray)
        return value;
    // Data that is a property list of its own carries its keys along.
    const QVariant inner = platform::propertyListFromData(value.toByteArray());
    if (inner.typeId() != QMetaType::QVariantMap && inner.typeId() != QMetaType::QVariantList)
        return value;
    if (dataDepth >= kDataNesting)
        return kRedacted;
    return platform::propertyListToXml(redactedAt(inner, dataDepth + 1));
}

struct Writer {
    ZipArchiveWriter& archive;
    QStringList* skipped;

    void skip(const QString& what, const QString& why)
    {
        logError("Support archive: left out %1 (%2)", escapedForLog(what), escapedForLog(why));
        skipped->append(qbFormat("%1 (%2)", what, why));
    }

    // `name` from the open folder `folderFd` (shown as `folder`), within what the archive has left.
    void addFile(int folderFd, const QString& folder, const QByteArray& name)
    {
        const QString shown = folder + u'/' + QFile::decodeName(name);
        const qint64 left = kArchiveTotalLimit - archive.bytesAdded();
        if (left <= 0)
            return skip(shown, QStringLiteral("the archive has reached its size limit"));
        QString why;
        if (!archive.addFile("logs/" + name, folderFd, name, std::min(left, kArchiveFileLimit), &why))
            skip(shown, why);
    }
};

} // namespace

bool isSecretKey(const QString& key)
{
    static const QStringList family{kProxyPassword, kUserPassword, kUserEncryptionKey};
    static const QRegularExpression rule(
        QStringLiteral("pass(word|wd|phrase)|secret|token|credential|private_?key|key_?(material|data)|key$"),
        QRegularExpression::CaseInsensitiveOption);
    QString name = key;
    name.remove(QRegularExpression(QStringLiteral("[-. ]")));
    return family.contains(key) || rule.match(name).hasMatch();
}

QVariant redacted(const QVariant& settings)
{
    return redactedAt(settings, 0);
}

bool write(const QString& path, const Contents& contents, QString* error, QStringList* skipped)
{
    ZipArchiveWriter archive;
    if (!archive.create(path, error))
        return false;
    Writer writer{archive, skipped};

    QString why;
    flushLogFile(); // our own log file is among them
    // Through the folder walk: a linked log folder, or another user's, is not read.
    const int logsFd = platform::folders::openFolder(contents.logFolder, false, &why, contents.logOwner);
    if (logsFd < 0) {
        writer.skip(contents.logFolder, why);
    } else {
        // Newest first: the size limit leaves out the oldest.
        QList<QByteArray> names = logFileNames(logsFd, contents.productName);
        std::reverse(names.begin(), names.end());
        for (const QByteArray& name : names)
            writer.addFile(logsFd, contents.logFolder, name);
        ::close(logsFd);
    }
    const QFileInfo core(contents.coreLog);
    const int coreFd = platform::folders::openFolder(core.absolutePath(), false, &why, contents.logOwner);
    if (coreFd < 0) {
        writer.skip(contents.coreLog, why);
    } else {
        writer.addFile(coreFd, core.absolutePath(), QFile::encodeName(core.fileName()));
        ::close(coreFd);
    }
    if (!archive.addData("check.json", contents.checkJson, error))
        return false;

    // The settings are read and written again redacted: their raw bytes never enter the archive.
    if (!QFileInfo::exists(contents.settingsFile)) {
        writer.skip(contents.settingsFile, QStringLiteral("absent"));
    } else {
        const QVariant settings = platform::readPropertyList(contents.settingsFile, &why);
        if (!settings.isValid())
            writer.skip(contents.settingsFile, why);
        else if (!archive.addData("settings.plist", platform::propertyListToXml(redacted(settings)), error))
            return false;
    }
    return archive.finish(error);
}

} // namespace SupportArchive
