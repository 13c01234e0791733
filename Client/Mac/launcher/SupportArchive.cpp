#include "SupportArchive.h"

#include "LogFilePruning.h"
#include "Logging.h"
#include "PropertyList.h"
#include "ZipArchiveWriter.h"

#include <QFile>
#include <QFileInfo>

namespace SupportArchive {

const QStringList& secretKeys()
{
    static const QStringList keys{QStringLiteral("Password"), QStringLiteral("State"), QStringLiteral("ProxyPassword")};
    return keys;
}

QVariant redacted(const QVariant& settings)
{
    if (settings.typeId() == QMetaType::QVariantList) {
        QVariantList list = settings.toList();
        for (QVariant& entry : list)
            entry = redacted(entry);
        return list;
    }
    if (settings.typeId() != QMetaType::QVariantMap)
        return settings;
    QVariantMap map = settings.toMap();
    for (auto it = map.begin(); it != map.end(); ++it)
        *it = secretKeys().contains(it.key()) ? QVariant(QStringLiteral("<redacted>")) : redacted(*it);
    return map;
}

bool write(const QString& path, const Contents& contents, QString* error, QStringList* skipped)
{
    ZipArchiveWriter archive;
    if (!archive.create(path, error))
        return false;
    const auto skip = [&](const QString& what, const QString& why) {
        logError("Support archive: left out %1 (%2)", what, why);
        skipped->append(qbFormat("%1 (%2)", what, why));
    };

    QString why;
    flushLogFile(); // our own log file is among them
    for (const QByteArray& name : logFileNames(contents.logFolder, contents.productName)) {
        const QString file = contents.logFolder + u'/' + QFile::decodeName(name);
        if (!archive.addFile("logs/" + name, file, &why))
            skip(file, why);
    }
    if (!archive.addFile("logs/" + QFile::encodeName(QFileInfo(contents.coreLog).fileName()), contents.coreLog, &why))
        skip(contents.coreLog, why);
    if (!archive.addData("check.json", contents.checkJson, error))
        return false;

    // The settings are read and written again redacted: their raw bytes never enter the archive.
    if (!QFileInfo::exists(contents.settingsFile)) {
        skip(contents.settingsFile, QStringLiteral("absent"));
    } else {
        const QVariant settings = platform::readPropertyList(contents.settingsFile, &why);
        if (!settings.isValid())
            skip(contents.settingsFile, why);
        else if (!archive.addData("settings.plist", platform::propertyListToXml(redacted(settings)), error))
            return false;
    }
    return archive.finish(error);
}

} // namespace SupportArchive
