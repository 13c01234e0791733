#include "UserDefaults.h"

#include "Bundle.h"
#include "PropertyList.h"
#include "SystemLocations.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>

#include <memory>

namespace platform {
namespace {

QMutex gStandardLock;
std::unique_ptr<UserDefaults> gStandard;

QString configFolder()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    return xdg.isEmpty() ? locations::homeFolder() + QStringLiteral("/.config") : xdg;
}

} // namespace

UserDefaults::UserDefaults(const QString& filePath) : m_filePath(filePath) {}

QString UserDefaults::defaultsFilePath(const QString& identifier)
{
    return configFolder() + u'/' + (identifier.isEmpty() ? QStringLiteral("Quorbel") : identifier) + QStringLiteral(".plist");
}

UserDefaults& UserDefaults::standardUserDefaults()
{
    QMutexLocker lock(&gStandardLock);
    if (!gStandard)
        gStandard = std::make_unique<UserDefaults>(defaultsFilePath(Bundle::mainBundle().bundleIdentifier()));
    return *gStandard;
}

void UserDefaults::resetStandardUserDefaults(const QString& filePath)
{
    QMutexLocker lock(&gStandardLock);
    gStandard.reset();
    if (!filePath.isEmpty())
        gStandard = std::make_unique<UserDefaults>(filePath);
}

void UserDefaults::registerDefaults(const QVariantMap& defaults)
{
    QMutexLocker lock(&m_lock);
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        m_registered.insert(it.key(), it.value());
}

QVariantMap UserDefaults::readFile(QString* error) const
{
    if (!QFileInfo::exists(m_filePath))
        return {};
    QString why;
    QVariantMap map = readPropertyListDictionary(m_filePath, &why);
    if (!why.isEmpty() && error)
        *error = m_filePath + QStringLiteral(": ") + why;
    return map;
}

QVariant UserDefaults::objectForKey(const QString& key) const
{
    QMutexLocker lock(&m_lock);
    if (!m_loaded) {
        m_persistent = readFile(&m_lastError);
        m_loaded = true;
    }
    const auto it = m_persistent.constFind(key);
    if (it != m_persistent.constEnd())
        return *it;
    return m_registered.value(key);
}

QString UserDefaults::stringForKey(const QString& key) const
{
    const QVariant value = objectForKey(key);
    if (value.typeId() == QMetaType::QString || value.canConvert<QString>())
        return value.toString();
    return {};
}

bool UserDefaults::boolForKey(const QString& key) const
{
    const QVariant value = objectForKey(key);
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        return text.compare(QStringLiteral("YES"), Qt::CaseInsensitive) == 0 || text.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0
            || text.toInt() != 0;
    }
    return value.toBool();
}

qint64 UserDefaults::integerForKey(const QString& key) const
{
    return objectForKey(key).toLongLong();
}

QVariantMap UserDefaults::dictionaryForKey(const QString& key) const
{
    const QVariant value = objectForKey(key);
    return value.typeId() == QMetaType::QVariantMap ? value.toMap() : QVariantMap();
}

QVariantList UserDefaults::arrayForKey(const QString& key) const
{
    const QVariant value = objectForKey(key);
    return value.typeId() == QMetaType::QVariantList ? value.toList() : QVariantList();
}

QVariantMap UserDefaults::persistentDomain() const
{
    objectForKey(QString());
    QMutexLocker lock(&m_lock);
    return m_persistent;
}

bool UserDefaults::update(const std::function<void(QVariantMap&)>& change)
{
    QMutexLocker lock(&m_lock);
    if (!QDir().mkpath(QFileInfo(m_filePath).absolutePath())) {
        m_lastError = QStringLiteral("Cannot create the folder of ") + m_filePath;
        return false;
    }
    QLockFile fileLock(m_filePath + QStringLiteral(".lock"));
    fileLock.setStaleLockTime(30000);
    if (!fileLock.tryLock(10000)) {
        m_lastError = QStringLiteral("Cannot lock ") + m_filePath;
        return false;
    }
    QString readError;
    QVariantMap current = readFile(&readError);
    if (!readError.isEmpty() && QFileInfo(m_filePath).size() > 0) {
        // Never overwrite a file we could not understand: the user's data would be lost.
        m_lastError = readError;
        return false;
    }
    change(current);
    QString writeError;
    if (!writePropertyList(m_filePath, current, &writeError)) {
        m_lastError = m_filePath + QStringLiteral(": ") + writeError;
        return false;
    }
    m_persistent = current;
    m_loaded = true;
    return true;
}

bool UserDefaults::setObject(const QVariant& value, const QString& key)
{
    if (!value.isValid())
        return removeObjectForKey(key);
    return update([&](QVariantMap& domain) { domain.insert(key, value); });
}

bool UserDefaults::removeObjectForKey(const QString& key)
{
    return update([&](QVariantMap& domain) { domain.remove(key); });
}

void UserDefaults::synchronize()
{
    QMutexLocker lock(&m_lock);
    m_persistent = readFile(&m_lastError);
    m_loaded = true;
}

QString UserDefaults::lastError() const
{
    QMutexLocker lock(&m_lock);
    return m_lastError;
}

} // namespace platform
