#include "Bundle.h"

#include "PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

namespace platform {

struct Bundle::Loaded {
    QVariantMap info;
    QString infoError;
    QString localization;
    StringsTable strings;
    QString stringsError;
};

struct Bundle::State {
    std::once_flag once;
    Loaded data;
};

namespace {

QMutex gMainLock;
std::unique_ptr<Bundle> gMain;

QString bundlePathOfExecutable(const QString& executable)
{
    // X.app/Contents/MacOS/exe -> X.app; an executable outside a bundle stands for itself.
    const QFileInfo exe(executable);
    QDir dir = exe.absoluteDir();
    if (dir.dirName() == QStringLiteral("MacOS") && dir.cdUp() && dir.dirName() == QStringLiteral("Contents") && dir.cdUp())
        return dir.absolutePath();
    return exe.absolutePath();
}

QStringList preferredLanguages()
{
    QStringList languages;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(name);
        for (const QString& entry : value.split(u':', Qt::SkipEmptyParts)) {
            const QString language = entry.section(u'.', 0, 0).section(u'_', 0, 0);
            if (!language.isEmpty() && language != QStringLiteral("C") && language != QStringLiteral("POSIX"))
                languages.append(language);
        }
    }
    languages.append(QStringLiteral("en"));
    return languages;
}

} // namespace

Bundle::Bundle(const QString& bundlePath)
    : m_path(QDir::cleanPath(bundlePath)), m_state(std::make_shared<State>())
{
}

Bundle& Bundle::mainBundle()
{
    QMutexLocker lock(&gMainLock);
    if (!gMain) {
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
        gMain = std::make_unique<Bundle>(bundlePathOfExecutable(exe));
    }
    return *gMain;
}

void Bundle::setMainBundlePath(const QString& bundlePath)
{
    QMutexLocker lock(&gMainLock);
    gMain = std::make_unique<Bundle>(bundlePath);
}

std::optional<Bundle> Bundle::bundleWithIdentifier(const QString& identifier)
{
    Bundle& main = mainBundle();
    if (main.bundleIdentifier() == identifier)
        return main;
    const QDir resources(main.resourcePath());
    for (const QString& name : resources.entryList({QStringLiteral("*.app")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        Bundle candidate(resources.filePath(name));
        if (candidate.bundleIdentifier() == identifier)
            return candidate;
    }
    return std::nullopt;
}

QString Bundle::resourcePath() const
{
    return m_path + QStringLiteral("/Contents/Resources");
}

QString Bundle::infoPlistPath() const
{
    return m_path + QStringLiteral("/Contents/Info.plist");
}

QString Bundle::executablePath() const
{
    QString name = infoDictionary().value(QStringLiteral("CFBundleExecutable")).toString();
    if (name.isEmpty())
        name = QFileInfo(m_path).completeBaseName();
    return m_path + QStringLiteral("/Contents/MacOS/") + name;
}

const Bundle::Loaded& Bundle::loaded() const
{
    std::call_once(m_state->once, [this] {
        Loaded* data = &m_state->data;
        data->info = readPropertyListDictionary(infoPlistPath(), &data->infoError);
        const QDir resources(resourcePath());
        for (const QString& language : preferredLanguages()) {
            if (resources.exists(language + QStringLiteral(".lproj"))) {
                data->localization = language;
                break;
            }
        }
        if (!data->localization.isEmpty()) {
            QFile file(resources.filePath(data->localization + QStringLiteral(".lproj/Localizable.strings")));
            if (!file.open(QIODevice::ReadOnly)) {
                data->stringsError = file.fileName() + QStringLiteral(": ") + file.errorString();
            } else if (auto table = parseStringsTable(file.readAll(), &data->stringsError)) {
                data->strings = std::move(*table);
            } else {
                data->stringsError = file.fileName() + QStringLiteral(": ") + data->stringsError;
            }
        }
    });
    return m_state->data;
}

QVariantMap Bundle::infoDictionary() const
{
    return loaded().info;
}

QString Bundle::infoDictionaryError() const
{
    return loaded().infoError;
}

QString Bundle::bundleIdentifier() const
{
    return infoDictionary().value(QStringLiteral("CFBundleIdentifier")).toString();
}

QString Bundle::pathForResource(const QString& name, const QString& type) const
{
    const QString path = resourcePath() + u'/' + name + (type.isEmpty() ? QString() : u'.' + type);
    return QFileInfo::exists(path) ? path : QString();
}

QString Bundle::localizedString(const QString& key, const QString& value) const
{
    const auto& table = loaded().strings;
    const auto it = table.constFind(key);
    if (it != table.constEnd())
        return *it;
    return value.isEmpty() ? key : value;
}

QString Bundle::localization() const
{
    return loaded().localization;
}

QString Bundle::stringsTableError() const
{
    return loaded().stringsError;
}

} // namespace platform
