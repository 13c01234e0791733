#include "WindowSystem.h"

#include "Application.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::windowsystem {
namespace {

Parts gParts;
QString gModuleFromExecutableFolder;

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
    if (!loadModule(why))
        return false;
    if (isWindowApplication())
        return true;
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

} // namespace platform::windowsystem
