#include "TestSupport.h"

#include "BrandingManager.h"
#include "Logging.h"
#include "PropertyList.h"
#include "SystemLocations.h"
#include "UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdlib>
#include <sys/stat.h>

namespace testing_support {

ScopedEnvironment::~ScopedEnvironment()
{
    for (const auto& [name, value] : m_saved) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

void ScopedEnvironment::remember(const char* name)
{
    if (m_saved.count(name))
        return;
    m_saved[name] = qEnvironmentVariableIsSet(name) ? std::optional<QByteArray>(qgetenv(name)) : std::nullopt;
}

void ScopedEnvironment::set(const char* name, const QString& value)
{
    remember(name);
    qputenv(name, value.toUtf8());
}

void ScopedEnvironment::unset(const char* name)
{
    remember(name);
    qunsetenv(name);
}

ScratchHome::ScratchHome()
{
    m_home = m_dir.path() + QStringLiteral("/home");
    m_root = m_dir.path() + QStringLiteral("/root");
    QDir().mkpath(m_home);
    QDir().mkpath(m_root);
    m_environment.set("HOME", m_home);
    m_environment.set("XDG_CONFIG_HOME", m_home + QStringLiteral("/.config"));
    m_environment.set("XDG_DATA_HOME", m_home + QStringLiteral("/.local/share"));
    platform::locations::setSystemRoot(m_root);
    platform::UserDefaults::resetStandardUserDefaults();
}

ScratchHome::~ScratchHome()
{
    platform::locations::setSystemRoot(QString());
    platform::UserDefaults::resetStandardUserDefaults();
}

bool writeFile(const QString& path, const QByteArray& contents, int mode)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        return false;
    file.close();
    return mode < 0 || ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writePlist(const QString& path, const QVariant& value)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return platform::writePropertyList(path, value);
}

QString makeBundle(const QString& bundlePath, const QVariantMap& info, bool withInfo)
{
    QDir().mkpath(bundlePath + QStringLiteral("/Contents/MacOS"));
    QDir().mkpath(bundlePath + QStringLiteral("/Contents/Resources"));
    if (withInfo)
        writePlist(bundlePath + QStringLiteral("/Contents/Info.plist"), info);
    return bundlePath;
}

QString makeScript(const QString& path, const QString& body)
{
    writeFile(path, ("#!/bin/sh\n" + body + u'\n').toUtf8(), 0755);
    return path;
}

LogCapture::LogCapture(unsigned fileLevel, unsigned stdioLevel)
{
    m_path = m_dir.path() + QStringLiteral("/test.log");
    initLogging(fileLevel, stdioLevel, m_path);
}

LogCapture::~LogCapture()
{
    initLogging(kLogLevelNormal, kLogLevelNormal, QString());
}

QStringList LogCapture::lines() const
{
    flushLogFile();
    return QString::fromUtf8(readFile(m_path)).split(u'\n', Qt::SkipEmptyParts);
}

QStringList LogCapture::messages() const
{
    static const QRegularExpression prefix(QStringLiteral(R"(^\S+ \S+ \S+\[\d+\] \((?:ERR|nrm|vrb|dtl)\) \[[^\]]*\] )"));
    QStringList result;
    for (QString line : lines())
        result.append(line.remove(prefix));
    return result;
}

bool LogCapture::contains(const QString& message) const
{
    return messages().contains(message);
}

} // namespace testing_support
