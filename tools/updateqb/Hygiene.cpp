#include "Hygiene.h"

#include "Files.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
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

} // namespace updateqb
