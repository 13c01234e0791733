#include "SingleInstance.h"

#include "Application.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::instance {
namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A folder only this user can change, reached without a link: nobody else
// can take the lock away or put a file of theirs at its name.
bool isPrivateFolder(const QString& path, mode_t forbidden, QString* why)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
        *why = QStringLiteral("\"%1\": %2").arg(path, systemError());
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & forbidden) != 0) {
        *why = QStringLiteral("\"%1\" is not a folder that only this user may change").arg(path);
        return false;
    }
    return true;
}

// The runtime folder; else the user's cache folder, made private if missing.
QString lockFolder(QString* why)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.startsWith(u'/') && isPrivateFolder(runtime, S_IRWXG | S_IRWXO, why))
        return runtime;
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!cache.startsWith(u'/')) {
        const QString home = qEnvironmentVariable("HOME");
        if (!home.startsWith(u'/')) {
            *why = QStringLiteral("no runtime folder and no home folder");
            return {};
        }
        cache = home + QStringLiteral("/.cache");
    }
    ::mkdir(QFile::encodeName(cache).constData(), 0700);
    return isPrivateFolder(cache, S_IWGRP | S_IWOTH, why) ? cache : QString();
}

// One lock per display: a launcher on another display shows its own windows.
QString displayPart()
{
    QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (display.isEmpty())
        display = qEnvironmentVariable("DISPLAY");
    QString part;
    for (const QChar c : display)
        part += c.isLetterOrNumber() && c.unicode() < 0x80 ? c : u'_';
    return part.isEmpty() ? QStringLiteral("none") : part;
}

bool socketAddress(const QString& path, sockaddr_un* address)
{
    const QByteArray bytes = QFile::encodeName(path);
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (size_t(bytes.size()) >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, bytes.constData(), size_t(bytes.size()));
    return true;
}

struct Listener {
    int fd = -1;
    std::function<void()> raise;
    QPointer<QSocketNotifier> notifier;
};

Listener& listener()
{
    static Listener state;
    return state;
}

void serveRequests()
{
    Listener& state = listener();
    for (;;) {
        const int peer = ::accept4(state.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0)
            return;
        ucred credentials{};
        socklen_t size = sizeof credentials;
        const bool sameUser = ::getsockopt(peer, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0
                              && credentials.uid == ::geteuid();
        ::close(peer);
        if (sameUser && state.raise)
            state.raise();
    }
}

// Made again when the application object is replaced: a notifier lives with
// the event dispatcher of the object that was current when it was made, so it
// goes with that object.
void watchListener()
{
    Listener& state = listener();
    delete state.notifier;
    state.notifier = new QSocketNotifier(state.fd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(state.notifier, &QSocketNotifier::activated, [] { serveRequests(); });
}

void listen(const QString& path, std::function<void()> raise)
{
    sockaddr_un address;
    if (!socketAddress(path, &address))
        return;
    // Held under the lock: a socket left here belongs to a launcher that ended.
    ::unlink(address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return;
    }
    listener().fd = fd;
    listener().raise = std::move(raise);
    watchListener();
    application::whenReplaced(watchListener);
}

} // namespace

Claim claim(const QString& name, std::function<void()> raise)
{
    Claim result;
    const QString folder = lockFolder(&result.why);
    if (folder.isEmpty())
        return result;
    result.path = QStringLiteral("%1/%2.%3.lock").arg(folder, name, displayPart());
    const int fd = ::open(QFile::encodeName(result.path).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        result.why = QStringLiteral("cannot use \"%1\": %2")
                         .arg(result.path, fd < 0 ? systemError() : QStringLiteral("not a file of this user"));
        if (fd >= 0)
            ::close(fd);
        return result;
    }
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const bool held = errno == EWOULDBLOCK;
        result.why = held ? QString() : QStringLiteral("cannot lock \"%1\": %2").arg(result.path, systemError());
        result.outcome = held ? Claim::Outcome::HeldByAnother : Claim::Outcome::NoLock;
        ::close(fd);
        return result;
    }
    // Kept open, never closed: the lock ends with the process.
    result.outcome = Claim::Outcome::Held;
    QString socketPath = result.path;
    socketPath.replace(socketPath.size() - 5, 5, QStringLiteral(".sock"));
    listen(socketPath, std::move(raise));
    return result;
}

bool askHolderToRaise(const Claim& claim, QString* why)
{
    QString socketPath = claim.path;
    socketPath.replace(socketPath.size() - 5, 5, QStringLiteral(".sock"));
    sockaddr_un address;
    if (!socketAddress(socketPath, &address)) {
        *why = QStringLiteral("the path \"%1\" is too long for a socket").arg(socketPath);
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected)
        *why = QStringLiteral("cannot reach \"%1\": %2").arg(socketPath, systemError());
    if (fd >= 0)
        ::close(fd);
    return connected;
}

} // namespace platform::instance
