#pragma once
// Per-application user defaults: a persistent domain stored as a property-list
// file per application identifier in the user's configuration folder, over a
// registration domain held in memory. Every write re-reads the file under a
// lock shared by all processes, applies the change and replaces the file
// atomically, so concurrent writers neither corrupt it nor lose each other's
// keys.

#include <QMutex>
#include <QString>
#include <QVariantMap>

#include <functional>

namespace platform {

class UserDefaults {
public:
    explicit UserDefaults(const QString& filePath);

    // Defaults of the main bundle's identifier.
    static UserDefaults& standardUserDefaults();
    // Points the standard defaults at another file (tests).
    static void resetStandardUserDefaults(const QString& filePath = {});
    static QString defaultsFilePath(const QString& identifier);

    void registerDefaults(const QVariantMap& defaults);

    QVariant objectForKey(const QString& key) const;
    QString stringForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;
    qint64 integerForKey(const QString& key) const;
    QVariantMap dictionaryForKey(const QString& key) const;
    QVariantList arrayForKey(const QString& key) const;
    // The persistent domain alone, without registered defaults.
    QVariantMap persistentDomain() const;

    bool setObject(const QVariant& value, const QString& key);
    bool removeObjectForKey(const QString& key);
    // Applies `change` to the freshly read persistent domain and saves it,
    // all under the cross-process lock. `change` must not call back into this
    // object. False (and lastError()) when the file could not be locked, read
    // or written; a file that cannot be read is never overwritten.
    bool update(const std::function<void(QVariantMap&)>& change);
    // Re-reads the file.
    void synchronize();

    QString filePath() const { return m_filePath; }
    QString lastError() const;

private:
    QVariantMap readFile(QString* error) const;

    const QString m_filePath;
    mutable QMutex m_lock;
    QVariantMap m_registered;
    mutable QVariantMap m_persistent;
    mutable bool m_loaded = false;
    mutable QString m_lastError;
};

} // namespace platform
