#include "ProcessListing.h"

#include <QMutex>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace platform::processes {
namespace {

QMutex gLock;
QByteArray gOverride;

// Up to `size` bytes of a small /proc file; -1 when it cannot be read.
ssize_t readSmallFile(const char* path, char* buffer, size_t size)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t got;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    return got;
}

bool isZombie(const char* folder)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/stat", folder);
    char stat[512];
    const ssize_t got = readSmallFile(path, stat, sizeof stat - 1);
    if (got <= 0)
        return false;
    stat[got] = '\0';
    // "pid (name) S ...": the name may hold blanks and parentheses.
    const char* close = std::strrchr(stat, ')');
    return close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X');
}

QByteArray commandPathOf(const char* folder)
{
    char path[64];
    char text[PATH_MAX + 1];
    std::snprintf(path, sizeof path, "%s/exe", folder);
    const ssize_t linkLength = ::readlink(path, text, PATH_MAX);
    if (linkLength > 0)
        return QByteArray(text, linkLength);
    std::snprintf(path, sizeof path, "%s/cmdline", folder);
    const ssize_t argumentsLength = readSmallFile(path, text, PATH_MAX);
    if (argumentsLength > 0 && text[0] != '\0')
        return QByteArray(text, qsizetype(strnlen(text, size_t(argumentsLength))));
    std::snprintf(path, sizeof path, "%s/comm", folder);
    const ssize_t nameLength = readSmallFile(path, text, PATH_MAX);
    if (nameLength > 0)
        return QByteArray(text, nameLength).trimmed();
    return {};
}

} // namespace

QByteArray commandPathListing()
{
    {
        QMutexLocker lock(&gLock);
        if (!gOverride.isNull())
            return gOverride;
    }
    QByteArray listing;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return listing;
    const long self = long(::getpid());
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        char folder[32];
        std::snprintf(folder, sizeof folder, "/proc/%ld", pid);
        if (isZombie(folder))
            continue;
        const QByteArray commandPath = commandPathOf(folder);
        if (commandPath.isEmpty())
            continue;
        // A line break inside a name would split it into two lines of the listing.
        listing += QByteArray(commandPath).replace('\n', ' ');
        listing += '\n';
    }
    ::closedir(proc);
    return listing;
}

void setCommandPathListing(const QByteArray& listing)
{
    QMutexLocker lock(&gLock);
    gOverride = listing;
}

} // namespace platform::processes
