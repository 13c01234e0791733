#include "WindowSystem.h"

#include "Application.h"

#include <QCoreApplication>
#include <QFile>

#include <dlfcn.h>

namespace platform::windowsystem {
namespace {

Parts gParts;
QString gModulePath;

bool isWindowApplication()
{
    const QCoreApplication* application = QCoreApplication::instance();
    return application && application->inherits("QApplication");
}

// Loads the module once; its entry installs the parts.
bool loadModule(QString* why)
{
    if (gParts.alerts)
        return true;
    if (gModulePath.isEmpty()) {
        *why = QStringLiteral("this program has no window system");
        return false;
    }
    void* module = ::dlopen(QFile::encodeName(gModulePath).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        *why = QStringLiteral("cannot load \"%1\": %2").arg(gModulePath, QString::fromLocal8Bit(::dlerror()));
        return false;
    }
    using Entry = void (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(module, "quorbelWindowSystemEntry"));
    if (!entry) {
        *why = QStringLiteral("\"%1\" has no window system entry").arg(gModulePath);
        return false;
    }
    entry();
    if (!gParts.alerts || !gParts.makeApplication) {
        *why = QStringLiteral("\"%1\" installed no window system").arg(gModulePath);
        return false;
    }
    return true;
}

} // namespace

void install(const Parts& parts)
{
    gParts = parts;
}

void setModulePath(const QString& path)
{
    gModulePath = path;
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
