#include "Application.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace platform::application {
namespace {

std::atomic<bool> gTerminating{false};
std::atomic<int> gStatus{0};

struct Own {
    int* argc = nullptr;
    char** argv = nullptr;
    // Never torn down at exit: the process ends as the launch ends, and
    // tearing a window application down would first load the whole font
    // configuration only to free it again.
    QCoreApplication* application = nullptr;
    std::vector<std::function<void()>> observers;
};

Own& own()
{
    static Own state;
    return state;
}

} // namespace

void start(int& argc, char** argv)
{
    own().argc = &argc;
    own().argv = argv;
    own().application = new QCoreApplication(argc, argv);
}

int exec()
{
    if (gTerminating)
        return gStatus;
    return QCoreApplication::exec();
}

bool replace(const std::function<QCoreApplication*(int&, char**)>& make)
{
    Own& state = own();
    if (!state.application || state.application != QCoreApplication::instance() || QThread::currentThread()->loopLevel() > 0)
        return false;
    // Posted events belong to the old object; the one that matters, a
    // terminate() already asked for, is kept in gTerminating.
    delete state.application;
    state.application = make(*state.argc, state.argv);
    for (const auto& observer : state.observers)
        observer();
    return true;
}

void whenReplaced(std::function<void()> observer)
{
    own().observers.push_back(std::move(observer));
}

void terminate(int status)
{
    gStatus = status;
    gTerminating = true;
    if (QCoreApplication::instance())
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
}

bool isTerminating()
{
    return gTerminating;
}

void exitNow(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace platform::application
