#include "WindowSystem.h"

#include "Application.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace platform::windowsystem {
namespace {

Parts gParts;
QString gModuleFromExecutableFolder;
// The first failure stands: trying again would only repeat the wait.
Problem gProblem = Problem::None;
QString gWhy;
std::function<void(Problem, const QString&)> gReport;

// A display server that accepts but never answers must not hang the launch.
constexpr auto kDisplayAnswerTimeout = std::chrono::seconds(3);

bool isWindowApplication()
{
    const QCoreApplication* application = QCoreApplication::instance();
    return application && application->inherits("QApplication");
}

// Code loaded into this process must be as safe from others as the program
// itself: a regular file, not a link, that only its owner (root or this
// user) may change. Loaded through the descriptor that was checked.
void* openModule(const QString& path, QString* why)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    struct stat info {};
    void* module = nullptr;
    if (::fstat(fd, &info) != 0)
        *why = QString::fromLocal8Bit(std::strerror(errno));
    else if (!S_ISREG(info.st_mode))
        *why = QStringLiteral("not a regular file");
    else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (info.st_uid != 0 && info.st_uid != ::geteuid()))
        *why = QStringLiteral("another user owns it or others may change it");
    else if (!(module = ::dlopen(qPrintable(QStringLiteral("/proc/self/fd/%1").arg(fd)), RTLD_NOW | RTLD_LOCAL)))
        *why = QString::fromLocal8Bit(::dlerror());
    ::close(fd);
    return module;
}

// Loads the module once; its entry installs the parts.
bool loadModule(QString* why)
{
    if (gParts.alerts)
        return true;
    if (gModuleFromExecutableFolder.isEmpty()) {
        *why = QStringLiteral("this program has no window system");
        return false;
    }
    // Resolved only now: a launch that shows nothing never asks where it is.
    const QString path = QDir::cleanPath(QCoreApplication::applicationDirPath() + u'/' + gModuleFromExecutableFolder);
    QString reason;
    void* module = openModule(path, &reason);
    if (!module) {
        *why = QStringLiteral("cannot load \"%1\": %2").arg(path, reason);
        return false;
    }
    using Entry = void (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(module, "quorbelWindowSystemEntry"));
    if (!entry) {
        *why = QStringLiteral("\"%1\" has no window system entry").arg(path);
        return false;
    }
    entry();
    if (!gParts.alerts || !gParts.makeApplication) {
        *why = QStringLiteral("\"%1\" installed no window system").arg(path);
        return false;
    }
    return true;
}

// The platforms the window application will try, in its order: the
// -platform argument, else QT_QPA_PLATFORM, else the session's.
QStringList platformCandidates()
{
    const QStringList arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("-platform") || arguments.at(i) == QLatin1String("--platform"))
            return arguments.at(i + 1).split(u';', Qt::SkipEmptyParts);
    }
    const QString named = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!named.isEmpty())
        return named.split(u';', Qt::SkipEmptyParts);
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        return {QStringLiteral("wayland"), QStringLiteral("xcb")};
    return {QStringLiteral("xcb")};
}

// Connects as the window system will, in a thread of its own so that a server
// that never completes the handshake costs the timeout, not the launch.
// Loaded only here: a launch that shows nothing never loads it.
bool x11DisplayAnswers(QString* why)
{
    if (qEnvironmentVariable("DISPLAY").isEmpty()) {
        *why = QStringLiteral("DISPLAY is not set");
        return false;
    }
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    const auto connect = xcb ? reinterpret_cast<decltype(&xcb_connect)>(::dlsym(xcb, "xcb_connect")) : nullptr;
    const auto hasError = xcb ? reinterpret_cast<decltype(&xcb_connection_has_error)>(::dlsym(xcb, "xcb_connection_has_error"))
                              : nullptr;
    const auto disconnect = xcb ? reinterpret_cast<decltype(&xcb_disconnect)>(::dlsym(xcb, "xcb_disconnect")) : nullptr;
    if (!connect || !hasError || !disconnect) {
        *why = QStringLiteral("the X11 client library cannot be loaded");
        return false;
    }
    std::packaged_task<bool()> attempt([=] {
        xcb_connection_t* connection = connect(nullptr, nullptr);
        const bool answered = hasError(connection) == 0;
        disconnect(connection);
        return answered;
    });
    std::future<bool> answered = attempt.get_future();
    try {
        std::thread(std::move(attempt)).detach();
    } catch (const std::system_error&) {
        *why = QStringLiteral("no thread to try the display in");
        return false;
    }
    if (answered.wait_for(kDisplayAnswerTimeout) != std::future_status::ready) {
        *why = QStringLiteral("the X display \"%1\" does not answer").arg(qEnvironmentVariable("DISPLAY"));
        return false;
    }
    if (!answered.get()) {
        *why = QStringLiteral("cannot connect to the X display \"%1\"").arg(qEnvironmentVariable("DISPLAY"));
        return false;
    }
    return true;
}

// The compositor's socket, found as the Wayland client library finds it.
bool waylandDisplayAnswers(QString* why)
{
    if (!qEnvironmentVariable("WAYLAND_SOCKET").isEmpty())
        return true; // handed over already connected
    QString name = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    if (!name.startsWith(u'/')) {
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (runtime.isEmpty()) {
            *why = QStringLiteral("XDG_RUNTIME_DIR is not set, so the Wayland display cannot be found");
            return false;
        }
        name = runtime + u'/' + name;
    }
    const QByteArray path = QFile::encodeName(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        *why = QStringLiteral("the Wayland display's path is too long");
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected)
        *why = QStringLiteral("cannot connect to the Wayland display \"%1\": %2")
                   .arg(name, QString::fromLocal8Bit(std::strerror(errno)));
    if (fd >= 0)
        ::close(fd);
    return connected;
}

// Whether the window application will find a display: the first platform it
// tries that needs one must answer. Platforms without a display server
// (offscreen, minimal, a frame buffer) are taken at their word.
bool displayAnswers(QString* why)
{
    QStringList reasons;
    for (const QString& candidate : platformCandidates()) {
        const QString name = candidate.section(u':', 0, 0);
        QString reason;
        if (name == QLatin1String("xcb")                ? x11DisplayAnswers(&reason)
            : name.startsWith(QLatin1String("wayland")) ? waylandDisplayAnswers(&reason)
                                                        : true)
            return true;
        reasons.append(reason);
    }
    *why = reasons.join(QStringLiteral("; "));
    return false;
}

bool fail(Problem problem, QString* why)
{
    if (gProblem == Problem::None) {
        gProblem = problem;
        gWhy = *why;
        if (gReport)
            gReport(problem, *why);
    }
    return false;
}

} // namespace

void install(const Parts& parts)
{
    gParts = parts;
}

void setModule(const QString& pathFromExecutableFolder)
{
    gModuleFromExecutableFolder = pathFromExecutableFolder;
}

bool load(QString* why)
{
    QString reason;
    if (!why)
        why = &reason;
    if (gProblem != Problem::None) {
        *why = gWhy;
        return false;
    }
    if (!loadModule(why))
        return fail(Problem::Module, why);
    if (isWindowApplication())
        return true;
    if (!displayAnswers(why))
        return fail(Problem::Display, why);
    if (!application::replace(gParts.makeApplication)) {
        *why = QStringLiteral("the application object cannot show windows and cannot be replaced now");
        return false;
    }
    return true;
}

AlertPresenter* alerts()
{
    return gParts.alerts;
}

Problem problem()
{
    return gProblem;
}

void whenUnavailable(std::function<void(Problem, const QString&)> report)
{
    gReport = std::move(report);
}

bool raiseWindows()
{
    return gParts.raiseWindows && isWindowApplication() && gParts.raiseWindows();
}

} // namespace platform::windowsystem
