// The root helper of one authorisation. Started through pkexec by the
// launcher, it says "ready", then reads one request a line (fields separated
// by tabs) on its standard input and answers each on its standard output:
//   output<TAB>LENGTH<LF> followed by LENGTH bytes (only for "run")
//   ok<TAB>WAITSTATUS<TAB>timeout|stopped|<LF>   or   fail<TAB>REASON<LF>
// While a tool runs, the line "stop" ends it. It ends when its input closes;
// a request in hand is always finished first (a launcher that dies
// mid-request leaves a whole result, never half of one).

#include "PathRules.h"
#include "PrivilegedRequests.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string gInput;
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

bool takeLine(std::string* line)
{
    const size_t end = gInput.find('\n');
    if (end == std::string::npos)
        return false;
    *line = gInput.substr(0, end);
    gInput.erase(0, end + 1);
    return true;
}

bool stopAsked(void*)
{
    fill(0);
    const size_t at = gInput.find("stop\n");
    if (at != 0)
        return false;
    gInput.erase(0, 5);
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

} // namespace

int main()
{
    (void)std::signal(SIGPIPE, SIG_IGN);
    // Hang-ups and terminal signals must not cut a request in half.
    (void)std::signal(SIGHUP, SIG_IGN);
    (void)std::signal(SIGINT, SIG_IGN);
    if (::geteuid() != 0) {
        (void)std::fprintf(stderr, "quorbel-authhelper: not running as root\n");
        return 1;
    }
    // pkexec names the user who asked; sources are read with that user's rights.
    uid_t user = ::getuid();
    if (const char* asked = std::getenv("PKEXEC_UID")) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(asked, &end, 10);
        if (end && *end == '\0' && end != asked)
            user = static_cast<uid_t>(value);
    }
    writeAll("ready\n");
    for (;;) {
        std::string line;
        while (!takeLine(&line)) {
            if (gInputClosed)
                return 0;
            fill(-1);
        }
        const privileged::Result result = privileged::perform(split(line), user, stopAsked, nullptr);
        std::string answer;
        if (!result.output.empty())
            answer += "output\t" + std::to_string(result.output.size()) + "\n" + result.output;
        if (result.ok)
            answer += "ok\t" + std::to_string(result.waitStatus) + "\t"
                      + (result.timedOut  ? "timeout"
                         : result.stopped ? "stopped"
                                          : "")
                      + "\n";
        else
            answer += "fail\t" + qbcore::shownPlain(result.reason) + "\n";
        writeAll(answer);
    }
}
