#pragma once
// Real window systems for whole runs that look at windows as a user sees
// them: Xvfb with openbox, read back with xprop, xwininfo and xdotool, and a
// headless Wayland compositor. Each is started by the test that needs it and
// ended with it.

#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace testing_support {

class X11Desktop {
public:
    // Xvfb with openbox managing it; null, with the reason, when either is missing or fails.
    static std::unique_ptr<X11Desktop> start(QString* why);
    ~X11Desktop();

    // Points a program at this display.
    void enter(QProcessEnvironment& environment) const;
    // Runs an X tool on this display; its standard output, or "" when it fails.
    QString tool(const QString& program, const QStringList& arguments) const;

    // The viewable top-level windows of a process, oldest first.
    QStringList windowsOf(qint64 pid) const;
    // A window's rectangle on the screen; with `frame`, the window manager's frame around it.
    QRect rectangle(const QString& window, bool frame = false) const;
    // The viewable child windows, in the window's own coordinates.
    QList<QRect> children(const QString& window) const;
    // The window named in a property holding one (WM_TRANSIENT_FOR), as 0x… text.
    QString windowProperty(const QString& window, const char* property) const;
    // The atoms of a property holding a list of them (_NET_WM_ALLOWED_ACTIONS).
    QStringList atomsProperty(const QString& window, const char* property) const;
    // Gives the window the keyboard and types `keys` (xdotool key names).
    bool type(const QString& window, const QString& keys) const;

private:
    X11Desktop() = default;
    bool succeeds(const QString& program, const QStringList& arguments, QString* output = nullptr) const;
    QString m_display;
    QProcess m_server;
    QProcess m_manager;
};

class WaylandDesktop {
public:
    // A headless weston; null, with the reason, when it is missing or fails.
    static std::unique_ptr<WaylandDesktop> start(QString* why);
    ~WaylandDesktop();

    void enter(QProcessEnvironment& environment) const;

private:
    WaylandDesktop() = default;
    QTemporaryDir m_runtime;
    QProcess m_compositor;
};

// Whole runs on a desktop skip, with the reason, where the machine lacks one,
// except under CI, where everything needed is installed and a skip would hide a fault.
bool desktopsAreRequired();
// In a test body: `variable` becomes a started X11Desktop, or the test skips
// (fails under CI) with the reason none could be started.
#define QB_START_X11_DESKTOP(variable)                                                                                     \
    QString variable##Problem;                                                                                             \
    const std::unique_ptr<testing_support::X11Desktop> variable = testing_support::X11Desktop::start(&variable##Problem);  \
    if (!variable && testing_support::desktopsAreRequired())                                                               \
        FAIL() << variable##Problem.toStdString();                                                                         \
    if (!variable)                                                                                                         \
    GTEST_SKIP() << variable##Problem.toStdString()

// Polls `done` until it holds or `timeoutMs` have passed; false on time-out.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);

} // namespace testing_support
