#include "UserDefaults.h"

#include "Bundle.h"
#include "FolderWalk.h"
#include "PropertyList.h"
#include "SystemLocations.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

namespace platform {
namespace {

QMutex gStandardLock;
std::unique_ptr<UserDefaults> gStandard;

QString configFolder()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    // Root's settings are root's own, never a folder a user's environment
    // points at; a home named on the command line brings its own settings.
    if (xdg.isEmpty() || locations::homeFolderIsExplicit() || (::geteuid() == 0 && !folders::whyNotRootOnly(xdg).isEmpty()))
        return locations::homeFolder() + QStringLiteral("/.config");
    return xdg;
}

// An exclusive advisory lock on a companion file, held by this open file
// description: it excludes other processes and other descriptions in this
// one, and the system drops it when its holder dies, so no stale lock can
// outlive a crash. Waiting polls in short steps: a writer never sleeps long
// after the file has become free, and gives up at the deadline.
class FileLock {
public:
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }

    bool lock(const QString& path, int timeoutMs, QString* error)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            *error = QStringLiteral("Cannot open the lock file %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        QDeadlineTimer deadline(timeoutMs);
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                *error = QStringLiteral("Cannot lock %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
                return false;
            }
            if (deadline.hasExpired()) {
                *error = QStringLiteral("Timed out waiting for the lock %1").arg(path);
                return false;
            }
            QThread::usleep(500);
        }
        return true;
    }

private:
    int m_fd = -1;
};

constexpr int kLockTimeoutMs = 30000;

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
    // The user's own file may be a link they made; writes replace its target.
    QVariantMap map = readPropertyListDictionary(m_filePath, &why, FinalLink::Followed);
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
        return text.compare(QStringLiteral("YES"), Qt::CaseInsensitive) == 0
               || text.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0 || text.toInt() != 0;
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
    const QString folder = QFileInfo(m_filePath).absolutePath();
    QString refusal = folders::whyRootMayNotWriteIn(folder);
    if (refusal.isEmpty() && !QDir().mkpath(folder)) {
        m_lastError = QStringLiteral("Cannot create the folder of %1: %2")
                          .arg(m_filePath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (refusal.isEmpty())
        refusal = folders::whyRootMayNotWriteIn(folder);
    if (!refusal.isEmpty()) {
        m_lastError = QStringLiteral("Not writing the settings %1 as root: %2").arg(m_filePath, refusal);
        return false;
    }
    FileLock fileLock;
    if (!fileLock.lock(m_filePath + QStringLiteral(".lock"), kLockTimeoutMs, &m_lastError))
        return false;
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
