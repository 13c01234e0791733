// The root helper of one authorisation. Started through pkexec by the
// launcher with the user action it is for in its arguments (see kActions),
// it says "ready", then reads one request a line (fields separated by tabs)
// on its standard input and answers each on its standard output:
//   ok<TAB>WAITSTATUS<TAB>timeout|stopped|<LF>   or   fail<TAB>REASON<LF>
// While an install copies, progress lines of counts come before its answer
// (see progressLine), at most every kProgressInterval and after the last file.
// It serves only the requests of its action, in their order, and ends as
// soon as the action is done, a request is refused, its input closes or a
// line is longer than kMaxRequestLine. While a tool runs, the line "stop"
// ends it; at any other time "stop" is ignored. A request in hand is always
// finished first (a launcher that dies mid-request leaves a whole result,
// never half of one).

#include "PathRules.h"
#include "PrivilegedRequests.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr rlim_t kOpenFiles = 4096;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);
constexpr rlim_t kStackBytes = 8 << 20;

std::string gInput;
size_t gScanned = 0; // no line end before this offset of gInput
bool gInputClosed = false;

// Reads what is there (waiting up to `timeoutMs`, -1 for ever).
void fill(int timeoutMs)
{
    if (gInputClosed)
        return;
    pollfd watched{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&watched, 1, timeoutMs);
    if (ready <= 0)
        return;
    char chunk[4096];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got > 0)
        gInput.append(chunk, static_cast<size_t>(got));
    else if (got == 0 || errno != EINTR)
        gInputClosed = true;
}

enum class Line { Taken, None, TooLong };

// The next whole line; the scan resumes where the last one stopped.
Line takeLine(std::string* line)
{
    const size_t end = gInput.find('\n', gScanned);
    if (end == std::string::npos) {
        gScanned = gInput.size();
        return gInput.size() > privileged::kMaxRequestLine ? Line::TooLong : Line::None;
    }
    if (end > privileged::kMaxRequestLine)
        return Line::TooLong;
    *line = gInput.substr(0, end);
    gInput.erase(0, end + 1);
    gScanned = 0;
    return Line::Taken;
}

bool stopAsked(void*)
{
    fill(0);
    if (gInput.compare(0, 5, "stop\n") != 0)
        return false;
    gInput.erase(0, 5);
    gScanned = 0;
    return true;
}

void writeAll(const std::string& bytes)
{
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the launcher is gone: nothing more to tell
        written += static_cast<size_t>(n);
    }
}

// A line per interval is plenty for a window and costs the copy nothing.
void reportProgress(const privileged::CopyProgress& progress, void*)
{
    static std::chrono::steady_clock::time_point last;
    const auto now = std::chrono::steady_clock::now();
    const bool lastFile = progress.files == progress.totalFiles;
    if (!lastFile && now - last < kProgressInterval)
        return;
    last = now;
    writeAll(privileged::progressLine(progress) + "\n");
}

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// Raises `resource` to at least `wanted` (both limits when root may, else
// the soft one as far as the hard one goes).
void raiseLimit(int resource, rlim_t wanted)
{
    rlimit current{};
    if (::getrlimit(resource, &current) != 0 || current.rlim_cur == RLIM_INFINITY
        || (wanted != RLIM_INFINITY && current.rlim_cur >= wanted))
        return;
    const bool unbounded = wanted == RLIM_INFINITY || current.rlim_max == RLIM_INFINITY;
    const rlimit both{wanted, unbounded ? RLIM_INFINITY : std::max(wanted, current.rlim_max)};
    if (::setrlimit(resource, &both) == 0)
        return;
    const rlimit soft{std::min(wanted, current.rlim_max), current.rlim_max};
    (void)::setrlimit(resource, &soft);
}

// The caller's limits pass through pkexec: a small file size, descriptor or
// stack limit must not end the helper half way through a copy.
void setLimits()
{
    (void)std::signal(SIGXFSZ, SIG_IGN);
    for (const int resource : {RLIMIT_FSIZE, RLIMIT_AS, RLIMIT_DATA})
        raiseLimit(resource, RLIM_INFINITY);
    raiseLimit(RLIMIT_NOFILE, kOpenFiles);
    raiseLimit(RLIMIT_STACK, kStackBytes);
}

// pkexec names the user who asked; sources are read with that user's rights.
uid_t askingUser()
{
    uid_t user = ::getuid();
    if (const char* asked = std::getenv("PKEXEC_UID")) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(asked, &end, 10);
        if (end && *end == '\0' && end != asked)
            user = static_cast<uid_t>(value);
    }
    return user;
}

} // namespace

int main(int argc, char** argv)
{
    (void)std::signal(SIGPIPE, SIG_IGN);
    // Hang-ups and terminal signals must not cut a request in half.
    (void)std::signal(SIGHUP, SIG_IGN);
    (void)std::signal(SIGINT, SIG_IGN);
    if (::geteuid() != 0) {
        (void)std::fprintf(stderr, "quorbel-authhelper: not running as root\n");
        return 1;
    }
    setLimits();
    std::string why;
    const std::optional<privileged::Action> action = privileged::parseAction(std::vector<std::string>(argv + 1, argv + argc),
                                                                             &why);
    if (!action) {
        (void)std::fprintf(stderr, "quorbel-authhelper: %s\n", qbcore::shownPlain(why).c_str());
        return 2;
    }
    privileged::Session session(*action, askingUser(), privileged::Place::Helper);
    if (session.finished()) {
        (void)std::fprintf(stderr, "quorbel-authhelper: only \"%s\" is served\n", privileged::kApplicationsFolder);
        return 2;
    }
    session.setProgressReport(reportProgress, nullptr);
    writeAll("ready\n");
    while (!session.finished()) {
        std::string line;
        Line taken = Line::None;
        while ((taken = takeLine(&line)) == Line::None) {
            if (gInputClosed)
                return 0;
            fill(-1);
        }
        if (taken == Line::TooLong) {
            writeAll("fail\trequest line too long\n");
            return 3;
        }
        if (line == "stop")
            continue; // its tool has ended already
        const privileged::Result result = session.perform(split(line), stopAsked, nullptr);
        if (result.ok)
            writeAll("ok\t" + std::to_string(result.waitStatus) + "\t"
                     + (result.timedOut  ? "timeout"
                        : result.stopped ? "stopped"
                                         : "")
                     + "\n");
        else
            writeAll("fail\t" + qbcore::shownPlain(result.reason) + "\n");
    }
    return 0;
}
