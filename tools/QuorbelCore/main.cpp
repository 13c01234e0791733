// The sample core application. It proves that it ran by appending a line to
// ~/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log and ends at once, or
// keeps running until it is asked to quit when started with --keep-running
// or with QUORBEL_CORE_KEEP_RUNNING=1 in its environment.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gQuit = 0;

void onQuit(int)
{
    gQuit = 1;
}

std::string logFolder()
{
    const char* home = std::getenv("HOME");
    std::string folder = home ? home : "/tmp";
    for (const char* part : {"/Library", "/Logs", "/Quorbel", "/QuorbelCore"}) {
        folder += part;
        ::mkdir(folder.c_str(), 0777);
    }
    return folder;
}

void logLine(const char* what)
{
    const std::string path = logFolder() + "/QuorbelCore.log";
    FILE* log = std::fopen(path.c_str(), "a");
    if (!log)
        return;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(log, "%s QuorbelCore[%d] %s\n", stamp, int(::getpid()), what);
    std::fclose(log);
}

} // namespace

int main(int argc, char* argv[])
{
    bool keepRunning = false;
    for (int i = 1; i < argc; ++i)
        keepRunning = keepRunning || std::strcmp(argv[i], "--keep-running") == 0;
#ifdef QB_TEST_HOOKS
    const char* env = std::getenv("QUORBEL_CORE_KEEP_RUNNING");
    keepRunning = keepRunning || (env && std::strcmp(env, "1") == 0);
#endif

    // Ready for a quit request before telling anyone that it runs.
    if (keepRunning) {
        std::signal(SIGTERM, onQuit);
        std::signal(SIGINT, onQuit);
    }
    logLine("QuorbelCore started");
    if (!keepRunning)
        return 0;
    while (!gQuit)
        ::pause();
    logLine("QuorbelCore quit");
    return 0;
}
