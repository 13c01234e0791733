#include "ToolHarness.h"

#include "SignatureCore.h"
#include "Statement.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace harness {
namespace {

constexpr const char* kInsideMarker = "QB_UPDATEQB_TESTS_INSIDE";

std::string readAllFrom(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void mustSucceed(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "updateqb_tests: %s failed (%s)\n", what, std::strerror(errno));
        std::exit(1);
    }
}

// Adds the test users to copies of the password and group files and binds
// them over the originals in this mount namespace only.
void addTestUsers()
{
    const std::string folder = "/Volumes/etc";
    std::filesystem::create_directories(folder);
    std::string passwd = readAllFrom("/etc/passwd");
    passwd += "qbuser:x:4242:4242:test user:" + kUserHome + ":/bin/sh\n";
    passwd += "qbother:x:4243:4243:other test user:/Volumes/home/qbother:/bin/sh\n";
    std::string group = readAllFrom("/etc/group");
    group += "qbuser:x:4242:\nqbother:x:4243:\n";
    mustSucceed(writeFile(folder + "/passwd", passwd) && writeFile(folder + "/group", group), "writing the users");
    mustSucceed(::mount((folder + "/passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0, "binding passwd");
    mustSucceed(::mount((folder + "/group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0, "binding group");
}

void installToolUnderTest()
{
    std::filesystem::create_directories("/Volumes/bin");
    mustSucceed(writeFile(kTool, readAllFrom(QB_UPDATE_TOOL), 04755) && ::chmod(kTool.c_str(), 04755) == 0,
                "installing the tool under test");
}

void walk(const std::filesystem::path& path, std::ostringstream* out)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return;
    *out << path.string() << ' ' << std::oct << info.st_mode << std::dec << ' ' << info.st_uid << ' ' << info.st_gid;
    if (S_ISREG(info.st_mode)) {
        *out << ' ' << info.st_size << ' ' << sha256(readFile(path)) << '\n';
    } else if (S_ISLNK(info.st_mode)) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
        *out << " -> " << std::string(target, length > 0 ? static_cast<size_t>(length) : 0) << '\n';
    } else {
        *out << '\n';
    }
    if (S_ISDIR(info.st_mode)) {
        std::vector<std::filesystem::path> children;
        for (const auto& entry : std::filesystem::directory_iterator(path))
            children.push_back(entry.path());
        std::sort(children.begin(), children.end());
        for (const auto& child : children)
            walk(child, out);
    }
}

} // namespace

bool insidePrivateRoot()
{
    return std::getenv(kInsideMarker) != nullptr && ::geteuid() == 0;
}

void enterPrivateRoot(int argc, char** argv)
{
    if (::geteuid() != 0)
        return;
    if (!std::getenv(kInsideMarker)) {
        for (int i = 1; i < argc; ++i) {
            if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0)
                return;
        }
        ::setenv(kInsideMarker, "1", 1);
        std::vector<char*> args{const_cast<char*>(QB_SOURCE_DIR "/scripts/in-private-root.sh")};
        char self[PATH_MAX];
        const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
        mustSucceed(length > 0, "finding the test binary");
        self[length] = 0;
        args.push_back(self);
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        mustSucceed(false, "entering the private root");
    }
    addTestUsers();
    installToolUnderTest();
}

Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& environment, uid_t user, int timeoutSeconds)
{
    std::vector<std::string> full;
    if (user != 0) {
        const std::string id = std::to_string(user);
        full = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"};
    }
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& arg : full)
        args.push_back(arg.data());
    args.push_back(nullptr);
    std::vector<std::string> env = environment;
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    char outPath[] = "/tmp/qbtest-out.XXXXXX";
    char errPath[] = "/tmp/qbtest-err.XXXXXX";
    const int out = ::mkstemp(outPath);
    const int err = ::mkstemp(errPath);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = -1;
    Outcome outcome;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
        pid_t done = 0;
        while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        } else if (WIFEXITED(status)) {
            outcome.status = WEXITSTATUS(status);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out);
    ::close(err);
    outcome.out = readAllFrom(outPath);
    outcome.err = readAllFrom(errPath);
    ::unlink(outPath);
    ::unlink(errPath);
    return outcome;
}

Outcome tool(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{kTool};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv);
}

std::string listing(const std::vector<std::string>& roots)
{
    std::ostringstream out;
    for (const std::string& root : roots)
        walk(root, &out);
    return out.str();
}

void clearSystemFolders()
{
    for (const char* folder : {"/Applications", "/Library"}) {
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            std::filesystem::remove_all(entry.path());
    }
}

bool writeFile(const std::string& path, const std::string& bytes, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::fchmod(fd, mode) == 0;
    return ::close(fd) == 0 && ok;
}

std::string readFile(const std::string& path)
{
    return readAllFrom(path);
}

std::string sha256(const std::string& bytes)
{
    qbcore::Sha256 digest;
    qbcore::Sha256Digest value{};
    digest.update(bytes.data(), bytes.size());
    digest.final(&value);
    return qbcore::toHex(value.data(), value.size());
}

std::string developmentPrivateKey()
{
    return readAllFrom(QB_UPDATE_SIGNING_KEY_FILE);
}

std::string signature(const std::string& command, const std::string& target, const std::string& version,
                      const std::string& payload, const std::string& privateKeyPem)
{
    const qbcore::KeyPtr key = qbcore::readPrivateKey(privateKeyPem.empty() ? developmentPrivateKey() : privateKeyPem);
    const updateqb::Statement statement{command, target, version, sha256(payload)};
    return updateqb::composeSignatureFile(statement, updateqb::signStatement(key.get(), statement));
}

std::string zipArchive(const std::vector<ZipItem>& items)
{
    char path[] = "/tmp/qbtest-zip.XXXXXX";
    ::close(::mkstemp(path));
    zipFile archive = zipOpen64(path, APPEND_STATUS_CREATE);
    for (const ZipItem& item : items) {
        zip_fileinfo info{};
        info.external_fa = static_cast<uLong>(item.mode) << 16;
        constexpr uLong kMadeOnUnix = (3u << 8) | 30u;
        zipOpenNewFileInZip4_64(archive, item.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                kMadeOnUnix, 0, 0);
        zipWriteInFileInZip(archive, item.data.data(), static_cast<unsigned>(item.data.size()));
        zipCloseFileInZip(archive);
    }
    zipClose(archive, nullptr);
    const std::string bytes = readAllFrom(path);
    ::unlink(path);
    return bytes;
}

Scratch::Scratch()
{
    char path[] = "/tmp/qbtest.XXXXXX";
    m_path = ::mkdtemp(path) ? path : "";
    ::chmod(m_path.c_str(), 0755);
}

Scratch::~Scratch()
{
    if (!m_path.empty())
        std::filesystem::remove_all(m_path);
}

} // namespace harness
