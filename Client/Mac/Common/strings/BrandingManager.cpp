#include "BrandingManager.h"

#include "Bundle.h"
#include "LocalizedString.h"
#include "Logging.h"

#include <QFileInfo>

#include <memory>

namespace {
QMutex gSharedLock;
std::unique_ptr<BrandingManager> gShared;
} // namespace

BrandingManager& BrandingManager::sharedManager()
{
    QMutexLocker lock(&gSharedLock);
    if (!gShared)
        gShared.reset(new BrandingManager);
    return *gShared;
}

namespace {

std::function<int32_t()>& configuredBrandSource()
{
    static std::function<int32_t()> source;
    return source;
}

} // namespace

void BrandingManager::setConfiguredBrandSource(std::function<int32_t()> source)
{
    configuredBrandSource() = std::move(source);
}

int32_t BrandingManager::configuredBrand()
{
    return configuredBrandSource() ? configuredBrandSource()() : 0;
}

void BrandingManager::resetSharedManagerForTesting()
{
    QMutexLocker lock(&gSharedLock);
    gShared.reset();
}

BrandingManager::BrandingManager()
{
    const platform::Bundle& bundle = platform::Bundle::mainBundle();
    const QString tableError = bundle.stringsTableError();
    if (!tableError.isEmpty())
        logError("Cannot use the strings table (%1); texts fall back to their keys", tableError);
    m_productName = rawLookup(QStringLiteral("ProductName"));
    if (m_productName.isEmpty()) {
        // The name names the core, the log folder and every window: it must
        // never be empty, so the bundle's own name stands in.
        m_productName = bundle.infoDictionary().value(QStringLiteral("CFBundleName")).toString();
        if (m_productName.isEmpty())
            m_productName = QFileInfo(bundle.bundlePath()).completeBaseName();
        m_productNameProblem = qbFormat("The strings table gives an empty product name; using \"%1\"", m_productName);
        logError("%1", m_productNameProblem);
    }
    m_satchelProduct = rawLookup(QStringLiteral("SatchelProduct"));
    m_backupProduct = rawLookup(QStringLiteral("BackupProduct"));
    m_teamFolderProduct = rawLookup(QStringLiteral("TeamFolderProduct"));
    m_teamFoldersProduct = rawLookup(QStringLiteral("TeamFoldersProduct"));
}

QString BrandingManager::rawLookup(const QString& key) const
{
    return platform::Bundle::mainBundle().localizedString(key);
}

QString BrandingManager::replaceTokens(QString text) const
{
    text.replace(QStringLiteral("{#ProductName#}"), m_productName);
    text.replace(QStringLiteral("{#SatchelProduct#}"), m_satchelProduct);
    text.replace(QStringLiteral("{#BackupProduct#}"), m_backupProduct);
    text.replace(QStringLiteral("{#TeamFolderProduct#}"), m_teamFolderProduct);
    text.replace(QStringLiteral("{#TeamFoldersProduct#}"), m_teamFoldersProduct);
    return text;
}

QString BrandingManager::localisedString(const QString& key)
{
    if (key.isNull())
        return {};
    QMutexLocker lock(&m_cacheLock);
    const auto cached = m_localisedStrings.constFind(key);
    if (cached != m_localisedStrings.constEnd())
        return *cached;
    QString finished = replaceTokens(rawLookup(key));
    if (finished.isEmpty() && !m_productNameProblem.isEmpty() && key == QLatin1String("ProductName"))
        finished = m_productName;
    if (!finished.isNull())
        m_localisedStrings.insert(key, finished);
    return finished;
}

QString BrandingManager::localisedStringStrippingBrandingSection(const QString& section, const QString& key)
{
    QString stripped = section + u'_' + key;
    for (const QString* brand :
         {&m_productName, &m_satchelProduct, &m_backupProduct, &m_teamFolderProduct, &m_teamFoldersProduct}) {
        if (!brand->isEmpty())
            stripped.remove(*brand);
    }
    stripped.remove(u' ');
    stripped.remove(QStringLiteral("/n"));
    stripped.remove(QStringLiteral("/r"));
    const QString found = localisedString(stripped);
    if (!found.isNull() && found != stripped)
        return found;
    return localisedString(key);
}

QString QBLocalizedString(const QString& key)
{
    return BrandingManager::sharedManager().localisedString(key);
}

QString QBLocalizedStringWithArgumentList(const QString& key, const QStringList& arguments)
{
    const QString text = QBLocalizedString(key);
    if (text.isNull())
        return {};
    return formatWithPlatformDirectives(text, arguments);
}

QString QBLocalizedMonoString(const QString& section, const QString& key)
{
    const QString qualified = section + u'_' + key;
    const QString found = QBLocalizedString(qualified);
    if (!found.isNull() && found != qualified)
        return found;
    return QBLocalizedString(key);
}

QString QBLocalizedMonoStringStripProduct(const QString& section, const QString& key)
{
    return BrandingManager::sharedManager().localisedStringStrippingBrandingSection(section, key);
}
