#include "Hygiene.h"

#include "Files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace updateqb {

void sanitizeProcess()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is the one that was closed.
        const int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (opened != fd)
            std::_Exit(127);
    }
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
        for (int fd = 3; fd < 65536; ++fd)
            ::close(fd);
    }
    ::clearenv();
    ::umask(022);
    sigset_t all;
    sigemptyset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            (void)::signal(signal, SIG_DFL);
    }
    // A reader that goes away must not end the tool in the middle of its work.
    (void)::signal(SIGPIPE, SIG_IGN);
    if (::chdir("/") != 0)
        std::_Exit(127);
}

bool becomeRoot()
{
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0)
        return false;
    setCaller({ruid, rgid});
    return ::setresgid(0, 0, 0) == 0 && ::setgroups(0, nullptr) == 0 && ::setresuid(0, 0, 0) == 0;
}

bool holdAgainstCaller()
{
    // The caller may send these through its terminal whatever the tool's
    // identity; a tool stopped or ended between two renames would leave half
    // a change.
    for (const int signal : {SIGTSTP, SIGTTIN, SIGTTOU, SIGINT, SIGQUIT, SIGHUP, SIGXFSZ, SIGXCPU}) {
        if (::signal(signal, SIG_IGN) == SIG_ERR)
            return false;
    }
    constexpr rlim_t kUnlimited = RLIM_INFINITY;
    // What the tool wants, and the least it works with.
    const struct {
        int resource;
        rlim_t wanted, least;
    } limits[] = {
        {RLIMIT_NOFILE, 1024, 64},     {RLIMIT_FSIZE, kUnlimited, 0},  {RLIMIT_CORE, 0, 0},
        {RLIMIT_CPU, kUnlimited, 0},   {RLIMIT_AS, kUnlimited, 0},     {RLIMIT_DATA, kUnlimited, 0},
        {RLIMIT_STACK, 8ULL << 20, 0}, {RLIMIT_RTTIME, kUnlimited, 0},
    };
    for (const auto& limit : limits) {
        rlimit value{limit.wanted, limit.wanted};
        if (::setrlimit(limit.resource, &value) == 0)
            continue;
        // Without the right to raise a hard limit: as far as it goes. A
        // write beyond a file-size limit then fails and the change is undone.
        if (::getrlimit(limit.resource, &value) != 0)
            return false;
        value.rlim_cur = std::min(limit.wanted, value.rlim_max);
        if (::setrlimit(limit.resource, &value) != 0 || value.rlim_cur < limit.least)
            return false;
    }
    return true;
}

} // namespace updateqb
