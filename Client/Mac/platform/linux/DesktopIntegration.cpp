#include "DesktopIntegration.h"

#include "FileManager.h"
#include "SystemLocations.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::desktop {
namespace {

// An entry is a few hundred bytes and our largest icon some kilobytes:
// anything far larger at these paths is not ours and is never read whole.
constexpr qint64 kMaxEntrySize = 64 * 1024;
constexpr qint64 kMaxIconSize = 4 * 1024 * 1024;

void setWhy(QString* why, const QString& text)
{
    if (why)
        *why = text;
}

QString systemError(int code = errno)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// The general escapes of a string value; the caller refuses control characters.
QString escapeString(const QString& value)
{
    QString out = value;
    return out.replace(u'\\', QStringLiteral("\\\\"));
}

QString unescapeString(const QString& value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != u'\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        out += next == u's'   ? QChar(u' ')
               : next == u'n' ? QChar(u'\n')
               : next == u't' ? QChar(u'\t')
               : next == u'r' ? QChar(u'\r')
                              : next;
    }
    return out;
}

// One argument of Exec: quoted, the four characters special inside quotes
// escaped, literal percent signs doubled, then the string escapes on top.
QString execArgument(const QString& path)
{
    QString quoted;
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'%', QStringLiteral("%%"));
    return escapeString(u'"' + quoted + u'"');
}

std::optional<QString> exactPath(const QByteArray& native, const char* what, QString* why)
{
    const std::optional<QString> text = files::decodeExactly(native);
    if (!text) {
        setWhy(why, QStringLiteral("the %1 is not UTF-8").arg(QLatin1String(what)));
        return std::nullopt;
    }
    for (const QChar c : *text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            setWhy(why, QStringLiteral("the %1 holds a control character").arg(QLatin1String(what)));
            return std::nullopt;
        }
    }
    if (!text->startsWith(u'/')) {
        setWhy(why, QStringLiteral("the %1 is not absolute").arg(QLatin1String(what)));
        return std::nullopt;
    }
    return text;
}

bool isPlainIdentifier(const QString& identifier)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]*$"));
    return plain.match(identifier).hasMatch();
}

QString dataHome()
{
    const QString configured = qEnvironmentVariable("XDG_DATA_HOME");
    if (configured.startsWith(u'/'))
        return QDir::cleanPath(configured);
    return locations::homeFolder() + QStringLiteral("/.local/share");
}

bool ownedByUs(int fd, QString* why, const QString& path)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        setWhy(why, QStringLiteral("cannot examine \"%1\": %2").arg(path, systemError()));
        return false;
    }
    if (info.st_uid != ::geteuid()) {
        setWhy(why, QStringLiteral("\"%1\" belongs to another user").arg(path));
        return false;
    }
    return true;
}

// Opens `components` below `from`, never through a link and only into
// folders of this user; with `create`, makes the missing ones.
Fd walk(Fd from, const QString& fromPath, const QStringList& components, bool create, QString* why)
{
    QString path = fromPath;
    for (const QString& component : components) {
        path += u'/' + component;
        const QByteArray name = QFile::encodeName(component);
        if (create && ::mkdirat(from.get(), name.constData(), 0755) != 0 && errno != EEXIST) {
            setWhy(why, QStringLiteral("cannot create \"%1\": %2").arg(path, systemError()));
            return Fd();
        }
        Fd next(::openat(from.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            setWhy(why, errno == ENOENT ? QString() : QStringLiteral("cannot open \"%1\": %2").arg(path, systemError()));
            return Fd();
        }
        if (!ownedByUs(next.get(), why, path))
            return Fd();
        from = std::move(next);
    }
    return from;
}

// A folder below the data home ("applications", "icons/hicolor/16x16/apps").
// An invalid result with an empty `why` means it does not exist.
Fd openDataFolder(const QString& relative, bool create, QString* why)
{
    setWhy(why, QString());
    const QString home = locations::homeFolder();
    const QString data = dataHome();
    if (!locations::homeFolderIsExact()) {
        setWhy(why, QStringLiteral("the home folder's path is not UTF-8"));
        return Fd();
    }
    QString start = data;
    QStringList components = relative.split(u'/', Qt::SkipEmptyParts);
    if (data.startsWith(home + u'/')) {
        // The home itself may be reached through links; nothing below it is.
        start = home.isEmpty() ? QStringLiteral("/") : home;
        components = data.mid(home.size() + 1).split(u'/', Qt::SkipEmptyParts) + components;
    } else if (create) {
        files::createDirectory(data, 0755);
    }
    Fd from(::open(QFile::encodeName(start).constData(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC | (start == data ? O_NOFOLLOW : 0)));
    if (!from.valid()) {
        setWhy(why, errno == ENOENT ? QString() : QStringLiteral("cannot open \"%1\": %2").arg(start, systemError()));
        return Fd();
    }
    // A process with root rights writes nothing into another user's home.
    if (!ownedByUs(from.get(), why, start))
        return Fd();
    return walk(std::move(from), start == QLatin1String("/") ? QString() : start, components, create, why);
}

// A file at `name` in `dir`, read with the input rules: opened without
// blocking and without following a final link, a regular file under `cap`.
enum class Read { Done, Absent, Refused };
Read readAt(int dir, const QByteArray& name, qint64 cap, QByteArray* bytes, struct stat* info, QString* why)
{
    Fd fd(::openat(dir, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return Read::Absent;
        setWhy(why, errno == ELOOP ? QStringLiteral("a symbolic link") : systemError());
        return Read::Refused;
    }
    if (::fstat(fd.get(), info) != 0 || !S_ISREG(info->st_mode)) {
        setWhy(why, QStringLiteral("not a regular file"));
        return Read::Refused;
    }
    if (info->st_size > cap) {
        setWhy(why, QStringLiteral("larger than %1 bytes").arg(cap));
        return Read::Refused;
    }
    bytes->resize(qsizetype(info->st_size) + 1);
    qsizetype total = 0;
    for (;;) {
        const ssize_t got = ::read(fd.get(), bytes->data() + total, size_t(bytes->size() - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            setWhy(why, systemError());
            return Read::Refused;
        }
        total += got;
        if (got == 0)
            break;
        if (total == bytes->size()) {
            setWhy(why, QStringLiteral("it grew while being read"));
            return Read::Refused;
        }
    }
    bytes->truncate(total);
    return Read::Done;
}

// Replaces (or, without `replace`, creates) `name` in `dir` through a
// temporary file that is whole and synced before it is renamed.
bool writeAt(int dir, const QByteArray& name, const QByteArray& bytes, bool replace, QString* why)
{
    const QByteArray temporary = '.' + name + '.' + QByteArray::number(::getpid()) + ".new";
    Fd fd(::openat(dir, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        setWhy(why, systemError());
        return false;
    }
    bool ok = true;
    for (qsizetype done = 0; ok && done < bytes.size();) {
        const ssize_t wrote = ::write(fd.get(), bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        ok = wrote > 0;
        done += ok ? wrote : 0;
    }
    // A full disk may show only at the sync or the close.
    ok = ok && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    const int fdError = errno;
    ok = ok
         && (replace ? ::renameat(dir, temporary.constData(), dir, name.constData())
                     : ::renameat2(dir, temporary.constData(), dir, name.constData(), RENAME_NOREPLACE))
                == 0;
    if (!ok) {
        setWhy(why, systemError(errno != 0 ? errno : fdError));
        ::unlinkat(dir, temporary.constData(), 0);
        return false;
    }
    ::fsync(dir);
    return true;
}

QByteArray entryName(const QString& identifier)
{
    return QFile::encodeName(identifier + QStringLiteral(".desktop"));
}

QString iconFolder(int size)
{
    return QStringLiteral("icons/hicolor/%1x%1/apps").arg(size);
}

// The value of `key` in the [Desktop Entry] group, unescaped.
std::optional<QString> entryValue(const QByteArray& text, const QString& key)
{
    bool inMainGroup = false;
    for (const QString& line : QString::fromUtf8(text).split(u'\n')) {
        if (line.startsWith(u'[')) {
            inMainGroup = line.trimmed() == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (inMainGroup && equals > 0 && line.left(equals).trimmed() == key)
            return unescapeString(line.mid(equals + 1).trimmed());
    }
    return std::nullopt;
}

// What is at the entry's path.
struct Found {
    Read read = Read::Absent;
    QString bundle; // ours when read
    QString problem;
    ino_t inode = 0;
    QByteArray text;
};

Found findEntry(int applications, const QString& identifier)
{
    Found found;
    struct stat info {};
    found.read = readAt(applications, entryName(identifier), kMaxEntrySize, &found.text, &info, &found.problem);
    found.inode = info.st_ino;
    if (found.read != Read::Done)
        return found;
    const std::optional<QString> bundle = entryValue(found.text, QString::fromLatin1(kBundleKey));
    if (!bundle || bundle->isEmpty()) {
        found.read = Read::Refused;
        found.problem = QStringLiteral("another program's entry");
    } else {
        found.bundle = *bundle;
    }
    return found;
}

QByteArray iconName(const QString& identifier)
{
    return QFile::encodeName(identifier + QStringLiteral(".png"));
}

// The bundle's icon of `size`; nullopt when the bundle does not ship it.
std::optional<QByteArray> shippedIcon(const Copy& copy, int size, QString* why)
{
    QByteArray bytes;
    struct stat info {};
    const QByteArray path = QFile::encodeName(bundleIconPath(copy.resourcePath, size));
    if (readAt(AT_FDCWD, path, kMaxIconSize, &bytes, &info, why) != Read::Done)
        return std::nullopt;
    return bytes;
}

bool iconIsCurrent(const Copy& copy, int size)
{
    QString why;
    const std::optional<QByteArray> shipped = shippedIcon(copy, size, &why);
    if (!shipped)
        return true; // a size the bundle lacks is not asked for
    const Fd folder = openDataFolder(iconFolder(size), false, &why);
    QByteArray installed;
    struct stat info {};
    return folder.valid()
           && readAt(folder.get(), iconName(copy.identifier), kMaxIconSize, &installed, &info, &why) == Read::Done
           && installed == *shipped;
}

bool writeIcon(const Copy& copy, int size, QString* why)
{
    const std::optional<QByteArray> shipped = shippedIcon(copy, size, why);
    if (!shipped)
        return false;
    const Fd folder = openDataFolder(iconFolder(size), true, why);
    if (!folder.valid())
        return false;
    QByteArray installed;
    struct stat info {};
    const Read there = readAt(folder.get(), iconName(copy.identifier), kMaxIconSize, &installed, &info, why);
    return there != Read::Refused && writeAt(folder.get(), iconName(copy.identifier), *shipped, there == Read::Done, why);
}

bool writeIcons(const Copy& copy, QString* why)
{
    bool all = true;
    for (const int size : kIconSizes) {
        QString problem;
        if (!iconIsCurrent(copy, size) && !writeIcon(copy, size, &problem)) {
            all = false;
            setWhy(why, QStringLiteral("icon %1x%1: %2").arg(size).arg(problem));
        }
    }
    return all;
}

void removeIcons(const QString& identifier)
{
    const QByteArray name = iconName(identifier);
    for (const int size : kIconSizes) {
        QString why;
        const Fd folder = openDataFolder(iconFolder(size), false, &why);
        struct stat info {};
        // Only a regular file is ours to remove; a link there is someone else's.
        if (folder.valid() && ::fstatat(folder.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(info.st_mode))
            ::unlinkat(folder.get(), name.constData(), 0);
    }
}

} // namespace

QString bundleIconPath(const QString& resourcePath, int size)
{
    return QStringLiteral("%1/AppIcon.iconset/icon_%2x%2.png").arg(resourcePath).arg(size);
}

std::optional<QByteArray> entryText(const Copy& copy, QString* why)
{
    if (!isPlainIdentifier(copy.identifier)) {
        setWhy(why, QStringLiteral("the bundle identifier \"%1\" cannot name a desktop file").arg(copy.identifier));
        return std::nullopt;
    }
    const std::optional<QString> bundle = exactPath(copy.bundlePath, "bundle path", why);
    const std::optional<QString> executable = bundle ? exactPath(copy.executablePath, "executable path", why) : std::nullopt;
    if (!executable)
        return std::nullopt;
    QString name = copy.name.isEmpty() ? copy.identifier : copy.name;
    name = escapeString(name)
               .replace(u'\n', QStringLiteral("\\n"))
               .replace(u'\t', QStringLiteral("\\t"))
               .replace(u'\r', QStringLiteral("\\r"));
    const QStringList lines{
        QStringLiteral("[Desktop Entry]"),
        // No Version key: the validators on today's systems reject "1.5",
        // and every key used here is understood by every desktop-entry reader in use.
        QStringLiteral("Type=Application"),
        QStringLiteral("Name=") + name,
        QStringLiteral("Exec=") + execArgument(*executable),
        QStringLiteral("TryExec=") + escapeString(*executable),
        QStringLiteral("Icon=") + copy.identifier,
        QStringLiteral("StartupWMClass=") + windowClass(copy.identifier),
        QStringLiteral("Categories=Network;FileTransfer;"),
        QString::fromLatin1(kBundleKey) + u'=' + escapeString(*bundle),
    };
    return (lines.join(u'\n') + u'\n').toUtf8();
}

QString entryPath(const QString& identifier)
{
    return dataHome() + QStringLiteral("/applications/") + identifier + QStringLiteral(".desktop");
}

Status status(const Copy& copy)
{
    Status result;
    QString why;
    const std::optional<QByteArray> wanted = entryText(copy, &why);
    const Fd applications = openDataFolder(QStringLiteral("applications"), false, &why);
    if (!applications.valid()) {
        result.problem = why;
        result.state = why.isEmpty() ? State::Missing : State::NotOurs;
        return result;
    }
    const Found found = findEntry(applications.get(), copy.identifier);
    result.entryBundle = found.bundle;
    result.problem = found.problem;
    if (found.read == Read::Absent)
        result.state = State::Missing;
    else if (found.read == Read::Refused)
        result.state = State::NotOurs;
    else if (found.bundle != QFile::decodeName(copy.bundlePath))
        result.state = files::fileExists(found.bundle) ? State::OtherCopy : State::Stale;
    else if (!wanted || found.text != *wanted)
        result.state = State::Outdated;
    else
        result.state = std::all_of(std::begin(kIconSizes), std::end(kIconSizes),
                                   [&copy](int size) { return iconIsCurrent(copy, size); })
                           ? State::Current
                           : State::Outdated;
    return result;
}

Outcome integrate(const Copy& copy, QString* why)
{
    const std::optional<QByteArray> wanted = entryText(copy, why);
    if (!wanted)
        return Outcome::Refused;
    const Status current = status(copy);
    if (current.state == State::Current)
        return Outcome::Unchanged;
    if (current.state == State::NotOurs) {
        setWhy(why, QStringLiteral("\"%1\" is %2").arg(entryPath(copy.identifier), current.problem));
        return Outcome::Refused;
    }
    const bool iconsWritten = writeIcons(copy, why);
    QString problem;
    const Fd applications = openDataFolder(QStringLiteral("applications"), true, &problem);
    // Written last and only over our own entry: the menu never shows an entry
    // before its icons, and a name taken meanwhile is never replaced.
    if (!applications.valid()
        || !writeAt(applications.get(), entryName(copy.identifier), *wanted, current.state != State::Missing, &problem)) {
        setWhy(why, QStringLiteral("cannot write \"%1\": %2").arg(entryPath(copy.identifier), problem));
        return Outcome::Refused;
    }
    return iconsWritten ? Outcome::Written : Outcome::Refused;
}

Outcome refresh(const Copy& copy, bool inApplicationsFolder, QString* why)
{
    const Status current = status(copy);
    switch (current.state) {
    case State::Current:
        return Outcome::Unchanged;
    case State::NotOurs:
        setWhy(why, QStringLiteral("\"%1\" is %2").arg(entryPath(copy.identifier), current.problem));
        return Outcome::Refused;
    case State::Stale: {
        const Outcome removed = removeIntegration(copy.identifier, current.entryBundle, why);
        if (!inApplicationsFolder || removed != Outcome::Removed)
            return removed;
        return integrate(copy, why);
    }
    case State::Outdated: // this copy's own entry: repaired wherever it runs
        return integrate(copy, why);
    case State::Missing:
    case State::OtherCopy:
        return inApplicationsFolder ? integrate(copy, why) : Outcome::Unchanged;
    }
    return Outcome::Unchanged;
}

Outcome removeIntegration(const QString& identifier, const QString& onlyBundle, QString* why)
{
    if (!isPlainIdentifier(identifier)) {
        setWhy(why, QStringLiteral("the bundle identifier \"%1\" cannot name a desktop file").arg(identifier));
        return Outcome::Refused;
    }
    QString problem;
    const Fd applications = openDataFolder(QStringLiteral("applications"), false, &problem);
    if (!applications.valid() && !problem.isEmpty()) {
        setWhy(why, problem);
        return Outcome::Refused;
    }
    const Found found = applications.valid() ? findEntry(applications.get(), identifier) : Found{};
    if (found.read == Read::Refused) {
        setWhy(why, QStringLiteral("\"%1\" is %2").arg(entryPath(identifier), found.problem));
        return Outcome::Refused;
    }
    if (!onlyBundle.isEmpty() && (found.read == Read::Absent || found.bundle != onlyBundle))
        return Outcome::Unchanged;
    if (found.read == Read::Done) {
        struct stat info {};
        // Still the file that was read: what replaced it meanwhile is not ours.
        if (::fstatat(applications.get(), entryName(identifier).constData(), &info, AT_SYMLINK_NOFOLLOW) != 0
            || info.st_ino != found.inode || ::unlinkat(applications.get(), entryName(identifier).constData(), 0) != 0) {
            setWhy(why, QStringLiteral("cannot remove \"%1\"").arg(entryPath(identifier)));
            return Outcome::Refused;
        }
    }
    removeIcons(identifier);
    return found.read == Read::Done ? Outcome::Removed : Outcome::Unchanged;
}

} // namespace platform::desktop
