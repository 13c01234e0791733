// updateqb: the update tool. Installed set-user-ID root, it repairs the
// client's installation on the launcher's behalf, one command per run, and
// exits 0 only when the whole command succeeded.

#include "Arguments.h"
#include "Commands.h"
#include "Files.h"
#include "Hygiene.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    updateqb::sanitizeProcess();
    const bool root = updateqb::becomeRoot();
    if (root && !updateqb::holdAgainstCaller()) {
        (void)std::fprintf(stderr, "updateqb: cannot set its own signal handling and resource limits\n");
        return 1;
    }

    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    std::string why;
    const std::optional<updateqb::Request> request = updateqb::parseArguments(arguments, &why);
    if (!request) {
        (void)std::fprintf(stderr, "updateqb: %s\n", why.c_str());
        return 2;
    }
    if (request->verb == updateqb::Verb::PrintVersion) {
        std::printf("%s\n", updateqb::versionLine().c_str());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (!root) {
        (void)std::fprintf(stderr, "updateqb: %s: must be installed set-user-ID root or run by root\n",
                           request->word.c_str());
        return 1;
    }
    try {
        const std::string done = updateqb::perform(*request);
        std::printf("updateqb: %s\n", done.c_str());
        (void)std::fflush(stdout);
        return 0;
    } catch (const updateqb::Refusal& refusal) {
        (void)std::fprintf(stderr, "updateqb: %s: %s\n", request->word.c_str(), refusal.what());
    } catch (const std::exception& exception) {
        (void)std::fprintf(stderr, "updateqb: %s: %s\n", request->word.c_str(), exception.what());
    }
    return 1;
}
