#include "Desktop.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

namespace testing_support {
namespace {

constexpr int kStartTimeoutMs = 10000;

void end(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished();
    }
}

bool installed(const QString& program, QString* why)
{
    if (!QStandardPaths::findExecutable(program).isEmpty())
        return true;
    *why = program + QStringLiteral(" is not installed (scripts/setup.sh installs it)");
    return false;
}

int number(const QString& text, const char* label)
{
    const QRegularExpression line(QStringLiteral("%1:\\s*(-?\\d+)").arg(QLatin1String(label)));
    return line.match(text).captured(1).toInt();
}

} // namespace

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

bool desktopsAreRequired()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

// ---- X11 ----

std::unique_ptr<X11Desktop> X11Desktop::start(QString* why)
{
    for (const char* program : {"Xvfb", "openbox", "xprop", "xwininfo", "xdotool"})
        if (!installed(QString::fromLatin1(program), why))
            return nullptr;
    std::unique_ptr<X11Desktop> desktop(new X11Desktop);
    // Xvfb picks a free display and writes its number on descriptor 1.
    desktop->m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    if (!waitUntil([&] { return desktop->m_server.waitForReadyRead(100) && desktop->m_server.canReadLine(); })) {
        *why = QStringLiteral("Xvfb did not start: ") + QString::fromLocal8Bit(desktop->m_server.readAllStandardError());
        return nullptr;
    }
    desktop->m_display = u':' + QString::fromLatin1(desktop->m_server.readLine().trimmed());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    desktop->enter(environment);
    desktop->m_manager.setProcessEnvironment(environment);
    desktop->m_manager.start(QStringLiteral("openbox"), {"--sm-disable"});
    // openbox names itself on the root window once it manages the screen.
    if (!waitUntil([&] { return desktop->tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"); })) {
        *why = QStringLiteral("openbox did not start: ") + QString::fromLocal8Bit(desktop->m_manager.readAllStandardError());
        return nullptr;
    }
    return desktop;
}

X11Desktop::~X11Desktop()
{
    end(m_manager);
    end(m_server);
}

void X11Desktop::enter(QProcessEnvironment& environment) const
{
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
}

QString X11Desktop::tool(const QString& program, const QStringList& arguments) const
{
    QString output;
    return succeeds(program, arguments, &output) ? output : QString();
}

bool X11Desktop::succeeds(const QString& program, const QStringList& arguments, QString* output) const
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    enter(environment);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(kStartTimeoutMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return false;
    if (output)
        *output = QString::fromLocal8Bit(process.readAllStandardOutput());
    return true;
}

QStringList X11Desktop::windowsOf(qint64 pid) const
{
    // Stacking order from the window manager: oldest mapped first.
    const QString list = tool("xprop", {"-root", "_NET_CLIENT_LIST"});
    QStringList windows;
    for (const auto& match : QRegularExpression(QStringLiteral("0x[0-9a-f]+")).globalMatch(list)) {
        const QString window = match.captured();
        const QString pidText = tool("xprop", {"-id", window, "_NET_WM_PID"});
        if (pidText.contains(QStringLiteral("= %1").arg(pid)) && tool("xwininfo", {"-id", window}).contains("IsViewable"))
            windows.append(window);
    }
    return windows;
}

QRect X11Desktop::rectangle(const QString& window, bool frame) const
{
    QStringList arguments{"-id", window};
    if (frame)
        arguments.prepend("-frame");
    const QString info = tool("xwininfo", arguments);
    return {number(info, "Absolute upper-left X"), number(info, "Absolute upper-left Y"), number(info, "Width"),
            number(info, "Height")};
}

QList<QRect> X11Desktop::children(const QString& window) const
{
    // "  0x2200012 (has no name): ()  340x34+20+18  +640+418"
    static const QRegularExpression child(QStringLiteral(R"(^\s+(0x[0-9a-f]+) .*\s(\d+)x(\d+)\+(-?\d+)\+(-?\d+)\s)"),
                                          QRegularExpression::MultilineOption);
    QList<QRect> rectangles;
    for (const auto& match : child.globalMatch(tool("xwininfo", {"-children", "-id", window}))) {
        if (!tool("xwininfo", {"-id", match.captured(1)}).contains("IsViewable"))
            continue;
        rectangles.append(QRect(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(2).toInt(),
                                match.captured(3).toInt()));
    }
    return rectangles;
}

QString X11Desktop::windowProperty(const QString& window, const char* property) const
{
    const QString text = tool("xprop", {"-id", window, QString::fromLatin1(property)});
    const auto match = QRegularExpression(QStringLiteral("window id # (0x[0-9a-f]+)")).match(text);
    return match.hasMatch() ? QString::number(match.captured(1).toULongLong(nullptr, 16), 16).prepend("0x") : QString();
}

QStringList X11Desktop::atomsProperty(const QString& window, const char* property) const
{
    const QString text = tool("xprop", {"-id", window, QString::fromLatin1(property)});
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0)
        return {};
    QStringList atoms = text.mid(equals + 1).split(u',', Qt::SkipEmptyParts);
    for (QString& atom : atoms)
        atom = atom.trimmed();
    return atoms;
}

bool X11Desktop::type(const QString& window, const QString& keys) const
{
    return succeeds("xdotool", {"windowfocus", "--sync", window}) && succeeds("xdotool", {"key", "--clearmodifiers", keys});
}

// ---- Wayland ----

std::unique_ptr<WaylandDesktop> WaylandDesktop::start(QString* why)
{
    if (!installed(QStringLiteral("weston"), why))
        return nullptr;
    if (!QFileInfo::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so")) {
        *why = QStringLiteral("Qt's Wayland platform (qt6-wayland) is not installed");
        return nullptr;
    }
    std::unique_ptr<WaylandDesktop> desktop(new WaylandDesktop);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), desktop->m_runtime.path());
    desktop->m_compositor.setProcessEnvironment(environment);
    desktop->m_compositor.start(QStringLiteral("weston"),
                                {"--backend=headless-backend.so", "--socket=quorbel-test", "--idle-time=0"});
    const QString socket = desktop->m_runtime.filePath(QStringLiteral("quorbel-test"));
    if (!waitUntil([&] { return QFileInfo::exists(socket); })) {
        *why = QStringLiteral("weston did not start: ")
               + QString::fromLocal8Bit(desktop->m_compositor.readAllStandardError());
        return nullptr;
    }
    return desktop;
}

WaylandDesktop::~WaylandDesktop()
{
    end(m_compositor);
}

void WaylandDesktop::enter(QProcessEnvironment& environment) const
{
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
    environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("quorbel-test"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    environment.remove(QStringLiteral("DISPLAY"));
}

} // namespace testing_support
