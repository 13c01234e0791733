// A whole launcher run as root against an empty system tree, with the real
// update tool: the check window, "Continue", every item repaired, the
// re-check in order, the core started.

#include "ToolHarness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace harness;

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

// The index of the first line at or after `from` that contains `text`, or -1.
long find(const std::vector<std::string>& log, const std::string& text, long from = 0)
{
    for (size_t i = static_cast<size_t>(std::max(from, 0L)); i < log.size(); ++i) {
        if (log[i].find(text) != std::string::npos)
            return static_cast<long>(i);
    }
    return -1;
}

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

} // namespace

TEST(LauncherRepair, AnEmptySystemIsRepairedByTheRealToolAndTheCoreStarts)
{
    if (!insidePrivateRoot()) {
        if (std::getenv("CI"))
            FAIL() << "the repair run needs root (a private mount namespace)";
        GTEST_SKIP() << "the repair run needs root (a private mount namespace)";
    }
    clearSystemFolders();
    Scratch scratch;
    const std::string bundle = "/Applications/Quorbel.app";
    ASSERT_EQ(run({"/bin/cp", "-pR", QB_BUNDLE_DIR, bundle}, {}, 0).status, 0);
    const std::string core = bundle + "/Contents/Resources/QuorbelCore.app";
    ASSERT_EQ(::chmod(core.c_str(), 0775), 0);
    const std::string home = scratch.path("home");
    std::filesystem::create_directories(home);

    const Outcome outcome = run({bundle + "/Contents/MacOS/Quorbel"},
                                {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                                 "XDG_DATA_HOME=" + home + "/.local/share", "PATH=/usr/bin:/bin",
                                 "QT_QPA_PLATFORM=offscreen", "QUORBEL_CHECK_WINDOW_ANSWER=Continue"},
                                0, 180);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("Unattended check window: answered \"Continue\""), std::string::npos) << outcome.err;

    const std::string logs = home + "/Library/Logs/Quorbel/Quorbel";
    ASSERT_TRUE(std::filesystem::is_directory(logs));
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(logs))
        text += readFile(entry.path());
    const std::vector<std::string> log = lines(text);
    const std::vector<std::string> items{"QBToolRoot \"updateqb\"", "QBTool \"qbhelper\"",
                                         "FinderCM \"QuorbelFinderPlugin\"", "CoreApp \"QuorbelCore\""};
    for (const std::string& item : items)
        EXPECT_NE(
            find(log, "Install check: " + item + " is \"" + (item.starts_with("CoreApp") ? "Wrong Permissions" : "Missing")),
            -1)
            << item << "\n"
            << text;
    const long repaired = find(log, "Repair run succeeded");
    ASSERT_NE(repaired, -1) << text;
    EXPECT_LT(find(log, "User chose to repair"), repaired);
    for (const std::string& item : items)
        EXPECT_NE(find(log, "Install check: " + item + " is \"OK\"", repaired), -1) << item << "\n" << text;
    EXPECT_NE(find(log, "Will terminate now", repaired), -1) << text;

    EXPECT_EQ(modeOf(kToolFolder + "/updateqb"), S_IFREG | 04755);
    EXPECT_EQ(modeOf(kToolFolder + "/qbhelper"), S_IFREG | 0755);
    EXPECT_EQ(modeOf("/Library/Contextual Menu Items/QuorbelFinderPlugin.plugin/Contents/Info.plist"), S_IFREG | 0644);
    EXPECT_EQ(modeOf(core), S_IFDIR | 0755);
    // The core is started detached: the launcher may end before it writes.
    std::string coreLog;
    for (int wait = 0; wait < 250 && coreLog.find("QuorbelCore started") == std::string::npos; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        coreLog = readFile(home + "/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log");
    }
    EXPECT_NE(coreLog.find("QuorbelCore started"), std::string::npos) << coreLog;
}
