// The real update tool, installed set-user-ID root and run by an ordinary
// user: what each command installs or repairs, and that every refusal leaves
// the whole system tree as it was.

#include "BuildVersion.h"
#include "ToolHarness.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace harness;

namespace {

const std::string kVersion = QB_VERSION_TEXT;

// The identity lines ("Uid:", "Gid:", "Groups:") of the running tool under
// test, read from /proc while it waits; empty when it is not running.
std::string identityOfRunningTool()
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path() / "exe", error) != kTool)
            continue;
        std::string identity;
        std::istringstream status(readFile(entry.path() / "status"));
        for (std::string line; std::getline(status, line);) {
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
                line.pop_back();
            if (line.starts_with("Uid:") || line.starts_with("Gid:") || line.starts_with("Groups:"))
                identity += line + "\n";
        }
        return identity;
    }
    return {};
}
const std::string kHelper = kToolFolder + "/qbhelper";
const std::string kPluginPath = "/Library/Contextual Menu Items/Sample.plugin";

struct Entry {
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

Entry entryAt(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return {};
    return {info.st_mode, info.st_uid, info.st_gid};
}

std::string otherPrivateKey()
{
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048));
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(length));
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

std::vector<ZipItem> sampleBundle(const std::string& top)
{
    return {{top + "/", "", 040755},
            {top + "/Contents/", "", 040755},
            {top + "/Contents/Info.plist", "<plist>version</plist>", 0100644},
            {top + "/Contents/MacOS/run", "#!/bin/sh\n", 0100775}};
}

void makeFolder(const std::string& path, uid_t owner, mode_t mode)
{
    std::filesystem::create_directories(path);
    ::chown(path.c_str(), owner, owner);
    ::chmod(path.c_str(), mode);
}

class UpdateTool : public ::testing::Test {
public:
    void SetUp() override
    {
        if (!insidePrivateRoot()) {
            if (std::getenv("CI"))
                FAIL() << "the update tool's tests need root (a private mount namespace)";
            GTEST_SKIP() << "the update tool's tests need root (a private mount namespace)";
        }
        clearSystemFolders();
        std::filesystem::remove_all("/Volumes/home");
        makeFolder(kUserHome, kUser, 0755);
    }

    // A file in the scratch folder, readable by the user.
    std::string put(const std::string& name, const std::string& bytes, mode_t mode = 0644)
    {
        const std::string path = scratch.path(name);
        writeFile(path, bytes, mode);
        return path;
    }
    std::string signedPayload(const std::string& name, const std::string& bytes, const std::string& command,
                              const std::string& target, const std::string& version = kVersion)
    {
        put(name + ".sig", signature(command, target, version, bytes));
        return put(name, bytes);
    }
    // Installs a helper tool through the tool itself.
    void installHelper(const std::string& command, const std::string& version = kVersion,
                       const std::string& bytes = "helper 1")
    {
        const std::string payload = signedPayload("helper-" + version, bytes, command, "qbhelper", version);
        const Outcome outcome = tool({command, payload, payload + ".sig"});
        ASSERT_EQ(outcome.status, 0) << outcome.err;
    }
    std::string zipItem(const std::string& name, const std::vector<ZipItem>& items, const std::string& command,
                        const std::string& target, const std::string& version = kVersion)
    {
        return signedPayload(name, zipArchive(items), command, target, version);
    }

    Scratch scratch;
};

// ---- What each command installs or repairs ----

struct InstallCase {
    const char* what;
    std::function<std::vector<std::string>(UpdateTool*)> prepare;
    std::function<void()> check;
};

} // namespace

TEST_F(UpdateTool, EveryCommandInstallsOrRepairsWithTheRightOwnerAndMode)
{
    const std::string toolBytes = readFile(QB_UPDATE_TOOL);
    const std::vector<InstallCase> cases{
        {"repair: the tool itself, set-user-ID root",
         [&](UpdateTool* t) {
             return std::vector<std::string>{"repair",
                                             t->put("updateqb.sig", signature("repair", "updateqb", kVersion, toolBytes))};
         },
         [&] {
             EXPECT_EQ(entryAt(kToolFolder + "/updateqb").mode, S_IFREG | 04755);
             EXPECT_EQ(entryAt(kToolFolder + "/updateqb").owner, 0u);
             EXPECT_EQ(readFile(kToolFolder + "/updateqb"), toolBytes);
         }},
        {"repairother: a helper tool, root's, 0755",
         [](UpdateTool* t) {
             const std::string p = t->signedPayload("h", "helper bytes", "repairother", "qbhelper");
             return std::vector<std::string>{"repairother", p, p + ".sig"};
         },
         [] {
             EXPECT_EQ(entryAt(kHelper).mode, S_IFREG | 0755);
             EXPECT_EQ(entryAt(kHelper).owner, 0u);
             EXPECT_EQ(readFile(kHelper), "helper bytes");
         }},
        {"repairotherroot: a root tool, 04755",
         [](UpdateTool* t) {
             const std::string p = t->signedPayload("r", "root tool", "repairotherroot", "rooty");
             return std::vector<std::string>{"repairotherroot", p, p + ".sig"};
         },
         [] {
             EXPECT_EQ(entryAt(kToolFolder + "/rooty").mode, S_IFREG | 04755);
             EXPECT_EQ(entryAt(kToolFolder + "/rooty").owner, 0u);
         }},
        {"repairpermissionsother: owner root and 0755 again, same bytes",
         [](UpdateTool* t) {
             t->installHelper("repairother");
             ::chown(kHelper.c_str(), kUser, kUser);
             ::chmod(kHelper.c_str(), 0700);
             return std::vector<std::string>{"repairpermissionsother", "qbhelper"};
         },
         [] {
             EXPECT_EQ(entryAt(kHelper).mode, S_IFREG | 0755);
             EXPECT_EQ(entryAt(kHelper).owner, 0u);
             EXPECT_EQ(readFile(kHelper), "helper 1");
         }},
        {"repairpermissionsotherroot: 04755 again for a root tool",
         [](UpdateTool* t) {
             t->installHelper("repairotherroot");
             ::chmod(kHelper.c_str(), 0755);
             return std::vector<std::string>{"repairpermissionsotherroot", "qbhelper"};
         },
         [] { EXPECT_EQ(entryAt(kHelper).mode, S_IFREG | 04755); }},
        {"repairpermissions: the tool itself 04755 again",
         [&](UpdateTool* t) {
             const std::string sig = t->put("updateqb.sig", signature("repair", "updateqb", kVersion, toolBytes));
             EXPECT_EQ(tool({"repair", sig}).status, 0);
             ::chmod((kToolFolder + "/updateqb").c_str(), 0755);
             return std::vector<std::string>{"repairpermissions"};
         },
         [] { EXPECT_EQ(entryAt(kToolFolder + "/updateqb").mode, S_IFREG | 04755); }},
        {"repairzipitem: one bundle, root's, no group or other write",
         [](UpdateTool* t) {
             const std::string z = t->zipItem("p.zip", sampleBundle("Sample.plugin"), "repairzipitem", kPluginPath);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         },
         [] {
             EXPECT_EQ(entryAt(kPluginPath).mode, S_IFDIR | 0755);
             EXPECT_EQ(entryAt(kPluginPath + "/Contents/Info.plist").mode, S_IFREG | 0644);
             EXPECT_EQ(entryAt(kPluginPath + "/Contents/MacOS/run").mode, S_IFREG | 0755);
             EXPECT_EQ(entryAt(kPluginPath + "/Contents/MacOS/run").owner, 0u);
             EXPECT_EQ(readFile(kPluginPath + "/Contents/Info.plist"), "<plist>version</plist>");
         }},
        {"repairzipitem: an installed bundle is replaced exactly",
         [](UpdateTool* t) {
             makeFolder(kPluginPath + "/Contents", 0, 0755);
             writeFile(kPluginPath + "/Contents/stale", "old");
             const std::string z = t->zipItem("p.zip", sampleBundle("Other.name"), "repairzipitem", kPluginPath);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         },
         [] {
             EXPECT_EQ(entryAt(kPluginPath + "/Contents/stale").mode, 0u);
             EXPECT_EQ(entryAt(kPluginPath + "/Contents/Info.plist").mode, S_IFREG | 0644);
             EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/Library/Contextual Menu Items"),
                                     std::filesystem::directory_iterator()),
                       1);
         }},
        {"repairpackage: the install path comes from the signature beside the package",
         [](UpdateTool* t) {
             const std::string z = t->zipItem("Q.pkg", sampleBundle("Q.fs"), "repairpackage", "/Library/Filesystems/Q.fs");
             return std::vector<std::string>{"repairpackage", z};
         },
         [] { EXPECT_EQ(entryAt("/Library/Filesystems/Q.fs/Contents/Info.plist").mode, S_IFREG | 0644); }},
        {"applyfullupdate: the launcher's bundle in /Applications",
         [](UpdateTool* t) {
             const std::string z = t->zipItem("u.zip", sampleBundle("Quorbel.app"), "applyfullupdate",
                                              "/Applications/Quorbel.app");
             return std::vector<std::string>{"applyfullupdate", z, z + ".sig", "/Applications/Quorbel.app"};
         },
         [] { EXPECT_EQ(entryAt("/Applications/Quorbel.app/Contents/MacOS/run").mode, S_IFREG | 0755); }},
        {"repaircore: 0755 on the caller's core application folder",
         [](UpdateTool*) {
             const std::string core = kUserHome + "/A.app/Contents/Resources/" QB_PRODUCT_NAME "Core.app";
             makeFolder(core, kUser, 0775);
             return std::vector<std::string>{"repaircore", core};
         },
         [] { EXPECT_EQ(entryAt(kUserHome + "/A.app/Contents/Resources/" QB_PRODUCT_NAME "Core.app").mode, S_IFDIR | 0755); }},
        {"fixmonokeypairs: a root-owned key-pair folder goes to the caller, 0700",
         [](UpdateTool*) {
             makeFolder(kUserHome + "/.config", kUser, 0755);
             makeFolder(kUserHome + "/.config/.mono", kUser, 0755);
             makeFolder(kUserHome + "/.config/.mono/keypairs", 0, 0755);
             return std::vector<std::string>{"fixmonokeypairs", kUserHome + "/.config/.mono/keypairs"};
         },
         [] {
             // Owned by the real user although the tool ran as root: the
             // tool knew who called it.
             const Entry keypairs = entryAt(kUserHome + "/.config/.mono/keypairs");
             EXPECT_EQ(keypairs.mode, S_IFDIR | 0700);
             EXPECT_EQ(keypairs.owner, kUser);
             EXPECT_EQ(keypairs.group, kUser);
         }},
        {"repairintel10_5: nothing to do, success",
         [](UpdateTool* t) {
             return std::vector<std::string>{"repairintel10_5", t->put("Fixes10_5.zip", "x"), t->put("Fixes10_5.plist", "y")};
         },
         [] { EXPECT_EQ(listing(), "/Applications 40755 0 0\n/Library 40755 0 0\n"); }},
        {"a newer version replaces an older one",
         [](UpdateTool* t) {
             t->installHelper("repairother", "1.19.0 (5)", "old");
             const std::string p = t->signedPayload("h2", "new", "repairother", "qbhelper", "1.20.0 (1)");
             return std::vector<std::string>{"repairother", p, p + ".sig"};
         },
         [] { EXPECT_EQ(readFile(kHelper), "new"); }},
    };
    for (const InstallCase& c : cases) {
        SCOPED_TRACE(c.what);
        clearSystemFolders();
        const std::vector<std::string> arguments = c.prepare(this);
        const Outcome outcome = tool(arguments);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        c.check();
        // No temporary names are left beside what was installed.
        EXPECT_EQ(listing().find(".updateqb-"), std::string::npos) << listing();
    }
}

// ---- Refusals: a reason, a failure status, and nothing changed ----

struct RefusalCase {
    const char* what;
    std::function<std::vector<std::string>(UpdateTool*)> prepare;
};

TEST_F(UpdateTool, EachRefusalLeavesTheWholeTreeAsItWas)
{
    const std::vector<RefusalCase> cases{
        {"a tampered payload",
         [](UpdateTool* t) {
             t->put("h.sig", signature("repairother", "qbhelper", kVersion, "genuine"));
             return std::vector<std::string>{"repairother", t->put("h", "tampered"), t->scratch.path("h.sig")};
         }},
        {"a signature by another key",
         [](UpdateTool* t) {
             t->put("h.sig", signature("repairother", "qbhelper", kVersion, "bytes", otherPrivateKey()));
             return std::vector<std::string>{"repairother", t->put("h", "bytes"), t->scratch.path("h.sig")};
         }},
        {"a missing signature",
         [](UpdateTool* t) {
             return std::vector<std::string>{"repairother", t->put("h", "bytes"), t->scratch.path("none.sig")};
         }},
        {"a signature whose statement was edited",
         [](UpdateTool* t) {
             std::string sig = signature("repairother", "qbhelper", kVersion, "bytes");
             sig.replace(sig.find("qbhelper"), 8, "qbhelpes");
             t->put("h.sig", sig);
             return std::vector<std::string>{"repairother", t->put("h", "bytes"), t->scratch.path("h.sig")};
         }},
        {"a valid signature for another command",
         [](UpdateTool* t) {
             const std::string p = t->signedPayload("h", "bytes", "repairother", "qbhelper");
             return std::vector<std::string>{"repairotherroot", p, p + ".sig"};
         }},
        {"a valid signature for another install path",
         [](UpdateTool* t) {
             const std::string z = t->zipItem("p.zip", sampleBundle("Sample.plugin"), "repairzipitem",
                                              "/Library/Contextual Menu Items/Other.plugin");
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         }},
        {"a replayed older version",
         [](UpdateTool* t) {
             t->installHelper("repairother", "1.19.0 (5)", "current");
             const std::string p = t->signedPayload("old", "old bytes", "repairother", "qbhelper", "1.18.9 (99)");
             return std::vector<std::string>{"repairother", p, p + ".sig"};
         }},
        {"a link planted at a tool's place",
         [](UpdateTool* t) {
             makeFolder(kToolFolder, 0, 0755);
             writeFile("/Library/victim", "root's own");
             std::filesystem::create_symlink("/Library/victim", kHelper);
             const std::string p = t->signedPayload("h", "bytes", "repairother", "qbhelper");
             return std::vector<std::string>{"repairother", p, p + ".sig"};
         }},
        {"a link planted at a bundle's place",
         [](UpdateTool* t) {
             makeFolder("/Library/Contextual Menu Items", 0, 0755);
             makeFolder("/Library/Elsewhere", 0, 0755);
             std::filesystem::create_symlink("/Library/Elsewhere", kPluginPath);
             const std::string z = t->zipItem("p.zip", sampleBundle("Sample.plugin"), "repairzipitem", kPluginPath);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         }},
        {"a link in the tool folder's path",
         [](UpdateTool* t) {
             makeFolder("/Library/Real", 0, 0755);
             std::filesystem::create_symlink("/Library/Real", "/Library/Application Support");
             const std::string p = t->signedPayload("h", "bytes", "repairother", "qbhelper");
             return std::vector<std::string>{"repairother", p, p + ".sig"};
         }},
        {"a tool folder others may write to",
         [](UpdateTool* t) {
             makeFolder(kToolFolder, 0, 0777);
             const std::string p = t->signedPayload("h", "bytes", "repairother", "qbhelper");
             return std::vector<std::string>{"repairother", p, p + ".sig"};
         }},
        {"a name with a slash",
         [](UpdateTool*) {
             return std::vector<std::string>{"repairpermissionsother", "a/qbhelper"};
         }},
        {"a name of ..",
         [](UpdateTool*) {
             return std::vector<std::string>{"repairpermissionsotherroot", ".."};
         }},
        {"a signed tool name with ..",
         [](UpdateTool* t) {
             const std::string p = t->signedPayload("h", "bytes", "repairotherroot", "../../../Volumes/bin/x");
             return std::vector<std::string>{"repairotherroot", p, p + ".sig"};
         }},
        {"a signed install path outside the system folders",
         [](UpdateTool* t) {
             const std::string z = t->zipItem("p.zip", sampleBundle("E.plugin"), "repairzipitem", "/Volumes/E.plugin");
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", "/Volumes/E.plugin"};
         }},
        {"a signed install path in the tool folder",
         [](UpdateTool* t) {
             const std::string target = kToolFolder + "/E.plugin";
             const std::string z = t->zipItem("p.zip", sampleBundle("E.plugin"), "repairzipitem", target);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", target};
         }},
        {"a full update outside /Applications",
         [](UpdateTool* t) {
             const std::string z = t->zipItem("u.zip", sampleBundle("Q.app"), "applyfullupdate", "/Library/Q.app");
             return std::vector<std::string>{"applyfullupdate", z, z + ".sig", "/Library/Q.app"};
         }},
        {"a zip entry with a set-user-ID bit",
         [](UpdateTool* t) {
             std::vector<ZipItem> items = sampleBundle("Sample.plugin");
             items.push_back({"Sample.plugin/Contents/MacOS/shell", "#!/bin/sh\n", 0104755});
             const std::string z = t->zipItem("p.zip", items, "repairzipitem", kPluginPath);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         }},
        {"a zip entry that is a device node",
         [](UpdateTool* t) {
             std::vector<ZipItem> items = sampleBundle("Sample.plugin");
             items.push_back({"Sample.plugin/Contents/disk", "", 020666});
             const std::string z = t->zipItem("p.zip", items, "repairzipitem", kPluginPath);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         }},
        {"a zip entry that is a link",
         [](UpdateTool* t) {
             std::vector<ZipItem> items = sampleBundle("Sample.plugin");
             items.push_back({"Sample.plugin/Contents/passwd", "/etc/passwd", 0120777});
             const std::string z = t->zipItem("p.zip", items, "repairzipitem", kPluginPath);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         }},
        {"a zip entry that climbs out",
         [](UpdateTool* t) {
             std::vector<ZipItem> items = sampleBundle("Sample.plugin");
             items.push_back({"Sample.plugin/../../escaped", "x", 0100644});
             const std::string z = t->zipItem("p.zip", items, "repairzipitem", kPluginPath);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         }},
        {"a zip of two top-level folders",
         [](UpdateTool* t) {
             std::vector<ZipItem> items = sampleBundle("Sample.plugin");
             items.push_back({"Second.plugin/x", "x", 0100644});
             const std::string z = t->zipItem("p.zip", items, "repairzipitem", kPluginPath);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         }},
        {"a permission repair of a tool installed as an ordinary one",
         [](UpdateTool* t) {
             t->installHelper("repairother");
             return std::vector<std::string>{"repairpermissionsotherroot", "qbhelper"};
         }},
        {"a permission repair of bytes that changed since the install",
         [](UpdateTool* t) {
             t->installHelper("repairother");
             writeFile(kHelper, "changed", 0700);
             return std::vector<std::string>{"repairpermissionsother", "qbhelper"};
         }},
        {"a core folder of another user",
         [](UpdateTool*) {
             const std::string core = "/Volumes/home/qbother/A.app/Contents/Resources/" QB_PRODUCT_NAME "Core.app";
             makeFolder(core, kOtherUser, 0700);
             return std::vector<std::string>{"repaircore", core};
         }},
        {"a core folder that is a link",
         [](UpdateTool*) {
             makeFolder(kUserHome + "/A.app/Contents/Resources", kUser, 0755);
             makeFolder("/Library/Target", 0, 0700);
             std::filesystem::create_symlink("/Library/Target",
                                             kUserHome + "/A.app/Contents/Resources/" QB_PRODUCT_NAME "Core.app");
             return std::vector<std::string>{"repaircore",
                                             kUserHome + "/A.app/Contents/Resources/" QB_PRODUCT_NAME "Core.app"};
         }},
        {"a key-pair folder that is not the caller's",
         [](UpdateTool*) {
             makeFolder("/Volumes/home/qbother/.config/.mono/keypairs", 0, 0755);
             return std::vector<std::string>{"fixmonokeypairs", "/Volumes/home/qbother/.config/.mono/keypairs"};
         }},
        {"a key-pair path through a link",
         [](UpdateTool*) {
             makeFolder(kUserHome + "/.config", kUser, 0755);
             makeFolder("/Library/Keys/keypairs", 0, 0755);
             std::filesystem::create_symlink("/Library/Keys", kUserHome + "/.config/.mono");
             return std::vector<std::string>{"fixmonokeypairs", kUserHome + "/.config/.mono/keypairs"};
         }},
        {"an unknown command",
         [](UpdateTool*) {
             return std::vector<std::string>{"rm", "-rf", "/"};
         }},
        {"a relative path",
         [](UpdateTool*) {
             return std::vector<std::string>{"repaircore", "A.app/Contents/Resources/x"};
         }},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        clearSystemFolders();
        std::filesystem::remove_all("/Volumes/home");
        makeFolder(kUserHome, kUser, 0755);
        const std::vector<std::string> arguments = c.prepare(this);
        const std::string before = listing({"/Applications", "/Library", "/Volumes/home"});
        const Outcome outcome = tool(arguments);
        EXPECT_NE(outcome.status, 0) << outcome.out;
        EXPECT_EQ(outcome.err.rfind("updateqb: ", 0), 0u) << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
        EXPECT_EQ(listing({"/Applications", "/Library", "/Volumes/home"}), before);
    }
}

// ---- A payload that changes between reads ----

// The payload is a pipe that serves one content to its first reader and
// another to every later one: a tool that checked one read and installed
// another would install what was never signed.
TEST_F(UpdateTool, APayloadThatChangesBetweenReadsNeverInstallsUnsignedBytes)
{
    struct Race {
        const char* what;
        std::string first, later;
        bool installs;
    };
    const std::vector<Race> races{
        {"signed bytes first", "signed", "swapped", true},
        {"swapped bytes first", "swapped", "signed", false},
    };
    for (const Race& race : races) {
        SCOPED_TRACE(race.what);
        clearSystemFolders();
        const std::string fifo = scratch.path("payload");
        std::filesystem::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
        put("payload.sig", signature("repairother", "qbhelper", kVersion, "signed"));
        std::atomic<bool> stop{false};
        std::string identity;
        std::thread writer([&] {
            for (int round = 0; !stop;) {
                const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd < 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                ++round;
                if (round == 1) // the tool waits for its payload now
                    identity = identityOfRunningTool();
                const std::string& bytes = round == 1 ? race.first : race.later;
                ::fcntl(fd, F_SETFL, 0);
                EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
                ::close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        const std::string before = listing();
        const Outcome outcome = tool({"repairother", fifo, scratch.path("payload.sig")});
        stop = true;
        // Unblock the writer if it waits for a reader.
        const int unblock = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        writer.join();
        ::close(unblock);
        // Started by the user through its set-user-ID bit, the tool works as
        // root in every identity, with no supplementary group of the caller.
        EXPECT_EQ(identity, "Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:\n");
        if (race.installs) {
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            EXPECT_EQ(readFile(kHelper), "signed");
        } else {
            EXPECT_NE(outcome.status, 0);
            EXPECT_EQ(listing(), before);
        }
    }
}

// ---- Each command is a transaction ----

namespace {

// Runs argv as the user through /bin/sh after `limits` (ulimit options).
Outcome toolWithLimits(const std::string& limits, const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{"/bin/sh", "-c", "ulimit " + limits + " && exec \"$@\"", "sh", kTool};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv);
}

// Serves the payload (arguments[1]) through a pipe: `feed` writes it once the
// tool has opened the pipe, while `runner` runs the command.
Outcome throughPipe(UpdateTool* t, std::vector<std::string> arguments,
                    const std::function<void(int fd, const std::string& bytes)>& feed,
                    const std::function<Outcome(const std::vector<std::string>&)>& runner)
{
    (void)::signal(SIGPIPE, SIG_IGN); // a reader that ends early must not end the test
    const std::string bytes = readFile(arguments[1]);
    const std::string fifo = t->scratch.path("pipe-" + std::to_string(::getpid()) + "-" + sha256(arguments[1]).substr(0, 8));
    std::filesystem::remove(fifo);
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    arguments[1] = fifo;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            ::fcntl(fd, F_SETFL, 0);
            feed(fd, bytes);
            ::close(fd);
            return;
        }
    });
    Outcome outcome = runner(arguments);
    stop = true;
    const int unblock = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    ::close(unblock);
    std::filesystem::remove(fifo);
    return outcome;
}

// Runs the tool as the user in a new session whose controlling terminal is
// the pseudo-terminal `master`, the tool in its foreground.
Outcome onTerminal(int master, const std::vector<std::string>& arguments)
{
    const std::string slave = ::ptsname(master);
    const std::string id = std::to_string(kUser);
    std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--", kTool};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args;
    for (std::string& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    char* noEnvironment[] = {nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int terminal = ::setsid() < 0 ? -1 : ::open(slave.c_str(), O_RDWR);
        if (terminal < 0 || ::dup2(terminal, 0) < 0 || ::dup2(terminal, 1) < 0 || ::dup2(terminal, 2) < 0)
            ::_exit(126);
        ::close(terminal);
        ::close(master);
        ::execve(args[0], args.data(), noEnvironment);
        ::_exit(127);
    }
    Outcome outcome;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pid_t done = 0;
    char buffer[256];
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got > 0)
            outcome.out.append(buffer, static_cast<size_t>(got));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        outcome.status = WEXITSTATUS(status);
    }
    return outcome;
}

const std::string kNewVersion = "1.20.0 (1)";

bool hasCapability(int capability)
{
    std::istringstream status(readFile("/proc/self/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("CapEff:"))
            return (std::stoull(line.substr(7), nullptr, 16) >> capability) & 1;
    }
    return false;
}

// What the caller controls while the tool works: its limits, the disk's
// free space, when a pipe payload arrives, other runs of the tool, and its
// terminal. Each row prepares an old state and a command that would move it
// to a new one.
struct FaultCase {
    const char* what;
    bool installs; // whether the command succeeds in spite of the fault
    int rounds;
    std::function<std::vector<std::string>(UpdateTool*)> prepare;
    std::function<Outcome(UpdateTool*, const std::vector<std::string>&)> run;
};

// A newer helper over an installed one.
std::vector<std::string> newerHelper(UpdateTool* t, const std::string& bytes = "helper 2")
{
    t->installHelper("repairother", kVersion, "helper 1");
    const std::string p = t->signedPayload("h-new", bytes, "repairother", "qbhelper", kNewVersion);
    return {"repairother", p, p + ".sig"};
}

std::vector<ZipItem> largeBundle(const std::string& top, const std::string& content)
{
    std::vector<ZipItem> items = sampleBundle(top);
    for (int i = 0; i < 300; ++i)
        items.push_back({top + "/Contents/Resources/r" + std::to_string(i), content + std::to_string(i), 0100644});
    return items;
}

} // namespace

TEST_F(UpdateTool, EachFaultLeavesWhollyTheOldStateOrWhollyTheNewAndTheStatusSaysWhich)
{
    // A hard limit is raised only where root may (CAP_SYS_RESOURCE; some
    // containers drop it); otherwise the command is refused or undone.
    const bool rootRaisesLimits = hasCapability(CAP_SYS_RESOURCE);
    const std::vector<FaultCase> cases{
        {"a soft descriptor limit of 8", true, 1, [](UpdateTool* t) { return newerHelper(t); },
         [](UpdateTool*, const std::vector<std::string>& a) { return toolWithLimits("-Sn 8", a); }},
        {"a hard descriptor limit of 8", rootRaisesLimits, 1, [](UpdateTool* t) { return newerHelper(t); },
         [](UpdateTool*, const std::vector<std::string>& a) { return toolWithLimits("-n 8", a); }},
        {"a soft file size limit of 512 bytes", true, 1, [](UpdateTool* t) { return newerHelper(t); },
         [](UpdateTool*, const std::vector<std::string>& a) { return toolWithLimits("-Sf 1", a); }},
        {"a hard file size limit of 512 bytes (the receipt is larger)", rootRaisesLimits, 1,
         [](UpdateTool* t) { return newerHelper(t); },
         [](UpdateTool*, const std::vector<std::string>& a) { return toolWithLimits("-f 1", a); }},
        {"a disk with room for the payload and not its receipt", false, 1,
         [](UpdateTool* t) {
             const std::string p = t->signedPayload("big", std::string(32768, 'x'), "repairother", "qbhelper");
             return std::vector<std::string>{"repairother", p, p + ".sig"};
         },
         [](UpdateTool*, const std::vector<std::string>& a) {
             struct statvfs disk {};
             EXPECT_EQ(::statvfs("/Library", &disk), 0);
             const unsigned long long used = (disk.f_blocks - disk.f_bfree) * disk.f_frsize;
             const std::string size = "size=" + std::to_string(used + 32768);
             EXPECT_EQ(::mount("tmpfs", "/Library", "tmpfs", MS_REMOUNT, size.c_str()), 0) << std::strerror(errno);
             const Outcome outcome = tool(a);
             EXPECT_EQ(::mount("tmpfs", "/Library", "tmpfs", MS_REMOUNT, "size=50%"), 0) << std::strerror(errno);
             return outcome;
         }},
        {"an older version parked on a pipe while this one runs", true, 1,
         [](UpdateTool* t) {
             t->installHelper("repairother", "1.17.0 (1)", "helper 1.17");
             const std::string p = t->signedPayload("h-new", "helper 1.19", "repairother", "qbhelper", kVersion);
             return std::vector<std::string>{"repairother", p, p + ".sig"};
         },
         [](UpdateTool* t, const std::vector<std::string>& a) {
             const std::string older = t->signedPayload("h-old", "helper 1.18", "repairother", "qbhelper", "1.18.0 (4)");
             std::atomic<bool> parked{false}, finished{false};
             Outcome parkedRun, thisRun;
             std::thread first([&] {
                 parkedRun = throughPipe(
                     t, {"repairother", older, older + ".sig"},
                     [&](int fd, const std::string& bytes) {
                         parked = true;
                         const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
                         while (!finished && std::chrono::steady_clock::now() < until)
                             std::this_thread::sleep_for(std::chrono::milliseconds(10));
                         EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
                     },
                     [](const std::vector<std::string>& b) { return tool(b); });
             });
             while (!parked)
                 std::this_thread::sleep_for(std::chrono::milliseconds(5));
             thisRun = tool(a);
             finished = true;
             first.join();
             EXPECT_GE(parkedRun.status, 0) << "the parked run did not end by itself";
             return thisRun;
         }},
        {"a pipe that trickles for longer than the tool waits", false, 1,
         [](UpdateTool* t) { return newerHelper(t, std::string(2000, 'y')); },
         [](UpdateTool* t, const std::vector<std::string>& a) {
             return throughPipe(
                 t, a,
                 [](int fd, const std::string& bytes) {
                     for (char c : bytes) {
                         if (::write(fd, &c, 1) != 1)
                             return;
                         std::this_thread::sleep_for(std::chrono::milliseconds(50));
                     }
                 },
                 [](const std::vector<std::string>& b) { return tool(b); });
         }},
        {"three runs at once", true, 5,
         [](UpdateTool* t) {
             const std::string old = t->zipItem("p1.zip", largeBundle("Sample.plugin", "one"), "repairzipitem", kPluginPath);
             EXPECT_EQ(tool({"repairzipitem", old, old + ".sig", kPluginPath}).status, 0);
             const std::string z = t->zipItem("p2.zip", largeBundle("Sample.plugin", "two"), "repairzipitem", kPluginPath,
                                              kNewVersion);
             return std::vector<std::string>{"repairzipitem", z, z + ".sig", kPluginPath};
         },
         [](UpdateTool*, const std::vector<std::string>& a) {
             Outcome outcomes[3];
             std::thread runs[3];
             for (int i = 0; i < 3; ++i)
                 runs[i] = std::thread([&, i] { outcomes[i] = tool(a); });
             Outcome all;
             all.status = 0;
             for (int i = 0; i < 3; ++i) {
                 runs[i].join();
                 all.status = outcomes[i].status < 0 || all.status < 0 ? -1 : std::max(all.status, outcomes[i].status);
                 all.err += outcomes[i].err;
             }
             return all;
         }},
        {"^Z then ^C from the caller's terminal while the payload is awaited", true, 1,
         [](UpdateTool* t) { return newerHelper(t); },
         [](UpdateTool* t, const std::vector<std::string>& a) {
             const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
             EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
             const Outcome outcome = throughPipe(
                 t, a,
                 [&](int fd, const std::string& bytes) {
                     for (const char key : {'\x1a', '\x03'}) {
                         std::this_thread::sleep_for(std::chrono::milliseconds(200));
                         EXPECT_EQ(::write(master, &key, 1), 1);
                     }
                     std::this_thread::sleep_for(std::chrono::milliseconds(200));
                     (void)::write(fd, bytes.data(), bytes.size());
                 },
                 [&](const std::vector<std::string>& b) { return onTerminal(master, b); });
             ::close(master);
             return outcome;
         }},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        clearSystemFolders();
        std::vector<std::string> arguments = c.prepare(this);
        const std::string oldState = listing();
        const Outcome undisturbed = tool(arguments);
        ASSERT_EQ(undisturbed.status, 0) << undisturbed.err;
        const std::string newState = listing();
        ASSERT_NE(newState, oldState);
        for (int round = 0; round < c.rounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            clearSystemFolders();
            arguments = c.prepare(this);
            ASSERT_EQ(listing(), oldState);
            const Outcome outcome = c.run(this, arguments);
            EXPECT_GE(outcome.status, 0) << "ended by a signal or the test's time-out";
            EXPECT_EQ(outcome.status == 0, c.installs) << outcome.err << outcome.out;
            EXPECT_EQ(listing(), outcome.status == 0 ? newState : oldState);
            if (::testing::Test::HasFailure())
                break;
        }
    }
}

// ---- The caller's environment has no say ----

TEST_F(UpdateTool, AHostileEnvironmentChangesNothing)
{
    // A library that leaves a mark when it is loaded.
    const std::string mark = scratch.path("preloaded");
    const std::string source = put("evil.c", "#include <stdio.h>\n__attribute__((constructor)) static void f(void) {"
                                             " FILE* f = fopen(\""
                                                 + mark + "\", \"w\"); if (f) fclose(f); }\n");
    const Outcome built = run({"/usr/bin/cc", "-shared", "-fPIC", "-o", scratch.path("evil.so"), source},
                              {"PATH=/usr/bin:/bin"}, 0);
    ASSERT_EQ(built.status, 0) << built.err;
    // The mark works: an ordinary program run with the library leaves it.
    ASSERT_EQ(run({"/bin/true"}, {"LD_PRELOAD=" + scratch.path("evil.so")}, 0).status, 0);
    ASSERT_TRUE(std::filesystem::exists(mark));
    std::filesystem::remove(mark);

    const std::string fakeRoot = scratch.path("fake-root");
    makeFolder(fakeRoot, kUser, 0755);
    const std::string payload = signedPayload("h", "helper", "repairother", "qbhelper");
    // env sets the hostile environment for the tool alone.
    const Outcome outcome = run({"/usr/bin/env", "-i", "PATH=" + scratch.root(), "LD_PRELOAD=" + scratch.path("evil.so"),
                                 "LD_LIBRARY_PATH=" + scratch.root(), "QUORBEL_SYSTEM_ROOT=" + fakeRoot, "IFS=/",
                                 "OPENSSL_CONF=" + scratch.path("h"), "HOME=" + fakeRoot, kTool, "repairother", payload,
                                 payload + ".sig"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(readFile(kHelper), "helper");
    EXPECT_FALSE(std::filesystem::exists(mark));
    EXPECT_TRUE(std::filesystem::is_empty(fakeRoot));
}

TEST_F(UpdateTool, ClosedStandardDescriptorsAreNotReusedForTargets)
{
    // Started with 0-2 closed, the tool's first files would otherwise become
    // its standard streams, and a message would land in an installed file.
    const std::string payload = signedPayload("h", "helper", "repairother", "qbhelper");
    const Outcome outcome = run(
        {"/bin/sh", "-c", "exec 0<&- 1>&- 2>&- \"$@\"", "sh", kTool, "repairother", payload, payload + ".sig"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(readFile(kHelper), "helper");
}

// ---- Without arguments: the version the launcher reads ----

TEST_F(UpdateTool, PrintsItsVersionAsTheLauncherReadsIt)
{
    const Outcome outcome = tool({});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "Limited " + kVersion + "\n");
}

// ---- What the tool is linked with ----

TEST(UpdateToolLinkage, NoQtGuiGlibSecretOrSanitizerRuntime)
{
    const Outcome outcome = run({"/usr/bin/ldd", QB_UPDATE_TOOL}, {"PATH=/usr/bin:/bin"}, 0);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    ASSERT_NE(outcome.out.find("libc.so"), std::string::npos) << outcome.out;
    for (const char* library : {"libQt6", "libglib", "libgobject", "libgio", "libsecret", "libasan", "libubsan", "libtsan"})
        EXPECT_EQ(outcome.out.find(library), std::string::npos) << library << " in\n" << outcome.out;
}
