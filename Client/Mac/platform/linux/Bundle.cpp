#include "Bundle.h"

#include "FileManager.h"
#include "PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <sys/stat.h>
#include <unistd.h>

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
bool gMainExact = true;

QString bundlePathOfExecutable(const QString& executable)
{
    // X.app/Contents/MacOS/exe -> X.app; an executable outside a bundle stands
    // for its folder. Text only: links in the path are kept.
    QStringList parts = QDir::cleanPath(executable).split(u'/');
    parts.removeLast();
    if (parts.size() > 3 && parts.last() == QStringLiteral("MacOS")
        && parts.at(parts.size() - 2) == QStringLiteral("Contents"))
        parts.resize(parts.size() - 2);
    const QString folder = parts.join(u'/');
    return folder.isEmpty() ? QStringLiteral("/") : folder;
}

QByteArray runningExecutable()
{
    char raw[4096];
    const ssize_t length = ::readlink("/proc/self/exe", raw, sizeof raw);
    return length > 0 && size_t(length) < sizeof raw ? QByteArray(raw, length) : QByteArray();
}

// The process's argv[0], as the kernel keeps it.
QByteArray startedAs()
{
    QFile cmdline(QStringLiteral("/proc/self/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return {};
    const QByteArray arguments = cmdline.read(8192);
    return arguments.left(arguments.indexOf('\0'));
}

bool sameFile(const QByteArray& path, const struct stat& file)
{
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
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

Bundle::Bundle(const QString& bundlePath) : m_path(QDir::cleanPath(bundlePath)), m_state(std::make_shared<State>()) {}

Bundle& Bundle::mainBundle()
{
    QMutexLocker lock(&gMainLock);
    if (!gMain)
        gMain = std::make_unique<Bundle>(bundlePathStartedAs(startedAs(), &gMainExact));
    return *gMain;
}

void Bundle::setMainBundlePath(const QString& bundlePath)
{
    QMutexLocker lock(&gMainLock);
    gMain = std::make_unique<Bundle>(bundlePath);
    gMainExact = true;
}

bool Bundle::mainBundlePathIsExact()
{
    mainBundle();
    QMutexLocker lock(&gMainLock);
    return gMainExact;
}

QString Bundle::bundlePathStartedAs(const QByteArray& argv0, bool* exact)
{
    // The user's path, when it is one and leads to this very executable (a
    // relative or PATH-found name, or a path swapped since, does not).
    struct stat running {};
    if (argv0.startsWith('/') && ::stat("/proc/self/exe", &running) == 0) {
        if (const auto text = files::decodeExactly(argv0)) {
            const QString clean = QDir::cleanPath(*text);
            if (sameFile(QFile::encodeName(clean), running)) {
                *exact = true;
                return bundlePathOfExecutable(clean);
            }
        }
    }
    const QByteArray exe = runningExecutable();
    const auto text = files::decodeExactly(exe);
    *exact = text.has_value();
    return bundlePathOfExecutable(text ? *text : QFile::decodeName(exe));
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
