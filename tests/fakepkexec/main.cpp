// A stand-in for pkexec in test builds. Installed set-user-ID root by a root
// test in a scratch folder, it plays the password prompt without a desktop:
//   - it counts prompts in STATE/count and appends its argv to STATE/argv;
//   - STATE/answers holds lines "N dismiss", "N deny" or "N noagent": the
//     N-th prompt answers as pkexec does, 126 (dismissed) or 127 (not
//     authorised, no authentication agent) with pkexec's message;
//   - while "the prompt is open" it runs STATE/during-prompt, if present, with
//     the caller's own rights (a user acting while the real dialog waits);
//   - otherwise it starts the helper, and nothing but the helper, as root
//     with its arguments and PKEXEC_UID set to the caller, as pkexec does.
// STATE is $QUORBEL_FAKE_PKEXEC_STATE; every file there is read and written
// with the caller's rights.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <string>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kDismissed = 126;
constexpr int kNotAuthorized = 127;
const char* const kHelperName = "quorbel-authhelper";

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int countPrompt(const std::string& state)
{
    const int count = std::atoi(readFile(state + "/count").c_str()) + 1;
    std::ofstream(state + "/count") << count << "\n";
    return count;
}

std::string answerFor(const std::string& state, int prompt)
{
    std::istringstream lines(readFile(state + "/answers"));
    int number = 0;
    std::string answer;
    while (lines >> number >> answer) {
        if (number == prompt)
            return answer;
    }
    return {};
}

void runDuringPrompt(const std::string& state, uid_t user, gid_t group)
{
    const std::string script = state + "/during-prompt";
    if (::access(script.c_str(), X_OK) != 0)
        return;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 || ::setresuid(user, user, user) != 0)
            ::_exit(127);
        ::execl(script.c_str(), script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

} // namespace

int main(int argc, char** argv)
{
    const uid_t user = ::getuid();
    const gid_t group = ::getgid();
    const char* stateVariable = std::getenv("QUORBEL_FAKE_PKEXEC_STATE");
    if (!stateVariable || ::geteuid() != 0) {
        std::fprintf(stderr, "fake pkexec: needs QUORBEL_FAKE_PKEXEC_STATE and set-user-ID root\n");
        return kNotAuthorized;
    }
    const std::string state = stateVariable;
    // Bookkeeping with the caller's rights only.
    ::setfsuid(user);
    ::setfsgid(group);
    const int prompt = countPrompt(state);
    {
        std::ofstream record(state + "/argv", std::ios::app);
        for (int i = 0; i < argc; ++i)
            record << (i ? " " : "") << argv[i];
        record << "\n";
    }
    ::setfsuid(0);
    ::setfsgid(0);

    runDuringPrompt(state, user, group);

    const std::string answer = answerFor(state, prompt);
    if (answer == "dismiss") {
        std::fprintf(stderr, "Error executing command as another user: Request dismissed\n");
        return kDismissed;
    }
    if (answer == "deny" || answer == "noagent") {
        std::fprintf(stderr, "Error executing command as another user: %s\n",
                     answer == "deny" ? "Not authorized" : "No authentication agent found.");
        return kNotAuthorized;
    }

    // pkexec's one option that the launcher passes.
    if (argc >= 3 && std::strcmp(argv[1], "--disable-internal-agent") == 0) {
        ++argv;
        --argc;
    }
    const char* base = argc >= 2 ? std::strrchr(argv[1], '/') : nullptr;
    struct stat helper {};
    if (!base || std::strcmp(base + 1, kHelperName) != 0 || ::stat(argv[1], &helper) != 0 || !S_ISREG(helper.st_mode)) {
        std::fprintf(stderr, "fake pkexec: starts only %s\n", kHelperName);
        return kNotAuthorized;
    }
    const std::string callerId = std::to_string(user);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0)
        return kNotAuthorized;
    ::clearenv();
    ::setenv("PKEXEC_UID", callerId.c_str(), 1);
    ::setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    ::execv(argv[1], argv + 1);
    return kNotAuthorized;
}
