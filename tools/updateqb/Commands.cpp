#include "Commands.h"

#include "BuildVersion.h"

#include "Files.h"
#include "SignatureCore.h"
#include "Statement.h"
#include "UpdateKey.h"
#include "ZipCore.h"
#include "ZipInstall.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace updateqb {
namespace {

// Built on first use, not before main: a failed allocation then reaches main's handler.
const std::vector<std::string>& toolFolder()
{
    static const std::vector<std::string> folder{"Library", "Application Support", QB_PRODUCT_NAME};
    return folder;
}

constexpr const char* kUpdateToolName = "updateqb";
constexpr const char* kReceiptsFolder = "Receipts";
constexpr uint64_t kMaxPayloadSize = 1ULL << 30;
constexpr mode_t kToolMode = 0755;
constexpr mode_t kRootToolMode = 04755;
// Longer than a run may hold the lock (two pipes' time and the work).
constexpr std::chrono::seconds kLockWait{150};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif
#else
constexpr bool kSanitizerBuild = false;
#endif

std::vector<std::string> receiptsFolder()
{
    std::vector<std::string> folder = toolFolder();
    folder.push_back(kReceiptsFolder);
    return folder;
}

// A command that changes the installation runs whole under this: an
// exclusive lock on the receipts folder (root's, 0700, so no caller can open
// it to hold the lock), made when missing. Unless the command succeeds, every
// folder this run made is removed again.
class CommandLock {
public:
    CommandLock()
    {
        try {
            lock();
        } catch (...) {
            removeMadeFolders();
            throw;
        }
    }
    ~CommandLock()
    {
        if (!m_succeeded)
            removeMadeFolders();
    }
    CommandLock(const CommandLock&) = delete;
    CommandLock& operator=(const CommandLock&) = delete;

    int receipts() const { return m_receipts.get(); }
    // Makes the folders of `components` from the `opened`-th on, to be removed again on failure.
    Fd makeFolders(Fd deepest, const std::vector<std::string>& components, size_t opened)
    {
        m_made.push_back({components, opened});
        return createFolders(std::move(deepest), components, opened);
    }
    void succeeded() { m_succeeded = true; }

private:
    void lock()
    {
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        for (;;) {
            size_t opened = 0;
            Fd existing = openFolderChain(receiptsFolder(), true, &opened);
            m_made.assign(1, {receiptsFolder(), opened});
            Fd folder = createFolders(std::move(existing), receiptsFolder(), opened);
            if (::fchmod(folder.get(), 0700) != 0)
                refuseErrno("cannot set the mode of the receipts folder");
            // Another run may hold the folder now: this one removes it only once it holds the lock.
            const Made made = m_made.front();
            m_made.clear();
            while (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK && errno != EINTR)
                    refuseErrno("cannot lock the receipts folder");
                if (std::chrono::steady_clock::now() > deadline)
                    refuse("another run of the update tool is still at work");
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            // A run that failed may have removed the folder while this one waited.
            struct stat info {};
            if (::fstat(folder.get(), &info) != 0)
                refuseErrno("cannot examine the receipts folder");
            if (info.st_nlink > 0) {
                m_made.assign(1, made);
                m_receipts = std::move(folder);
                return;
            }
        }
    }
    // Innermost first; a folder that is not empty (another run's now) stays.
    void removeMadeFolders() noexcept
    {
        for (auto made = m_made.rbegin(); made != m_made.rend(); ++made) {
            try {
                for (size_t count = made->components.size(); count > made->existing; --count) {
                    const std::vector<std::string> above(made->components.begin(),
                                                         made->components.begin() + static_cast<long>(count) - 1);
                    const Fd parent = openFolderChain(above, true);
                    if (::unlinkat(parent.get(), made->components[count - 1].c_str(), AT_REMOVEDIR) != 0)
                        break;
                }
            } catch (const std::exception&) {
            }
        }
    }

    struct Made {
        std::vector<std::string> components;
        size_t existing = 0;
    };
    std::vector<Made> m_made;
    Fd m_receipts;
    bool m_succeeded = false;
};

std::string toolReceiptName(const std::string& name)
{
    return "tool-" + name;
}

std::string pathReceiptName(const std::string& path)
{
    std::string name = "path-";
    for (char c : path) {
        if (c == '%')
            name += "%25";
        else if (c == '/')
            name += "%2F";
        else
            name += c;
    }
    if (name.size() > NAME_MAX)
        refuse("the install path is too long");
    return name;
}

EVP_PKEY* builtInKey()
{
    static qbcore::KeyPtr key = qbcore::readPublicKey(kUpdatePublicKey);
    if (!key || !(qbcore::isRsaKey(key.get()) || qbcore::isEd25519Key(key.get())))
        refuse("no usable public key is built in");
    return key.get();
}

SignedStatement verifiedStatement(const std::string& bytes, const std::string& what)
{
    std::string why;
    std::optional<SignedStatement> statement = parseSignatureFile(bytes, &why);
    if (!statement)
        refuse(what + ": " + why);
    if (!verifyStatement(builtInKey(), *statement))
        refuse(what + ": the signature does not verify");
    return std::move(*statement);
}

struct SignatureFile {
    std::string bytes;
    SignedStatement signedStatement;
    const Statement& statement() const { return signedStatement.statement; }
};

// Reads and verifies a signature file, and checks that it was made for this
// command and target.
SignatureFile loadSignature(const std::string& path, const std::string& command, const std::string& target)
{
    const Fd fd = openCallerSource(path);
    SignatureFile file;
    file.bytes = readAll(fd.get(), kMaxSignatureFileSize, "the signature " + path);
    file.signedStatement = verifiedStatement(file.bytes, "the signature " + path);
    const Statement& s = file.statement();
    if (s.command != command)
        refuse("the signature is for \"" + s.command + "\", not \"" + command + "\"");
    if (!target.empty() && s.target != target)
        refuse("the signature is for \"" + s.target + "\", not \"" + target + "\"");
    return file;
}

// The verified receipt of an earlier install, if any.
std::optional<SignedStatement> readReceipt(int receipts, const std::string& name)
{
    if (receipts < 0)
        return std::nullopt;
    const Fd fd(::openat(receipts, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return std::nullopt;
        refuseErrno("cannot open the receipt " + name);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        refuse("the receipt " + name + " is not a regular file");
    return verifiedStatement(readAll(fd.get(), kMaxSignatureFileSize, "the receipt " + name), "the receipt " + name);
}

void refuseOlderVersion(const Statement& offered, const std::optional<SignedStatement>& installed)
{
    if (!installed)
        return;
    if (*parseVersion(offered.version) < *parseVersion(installed->statement.version))
        refuse("version " + offered.version + " is older than the installed " + installed->statement.version);
}

// The receipt as an unnamed file in the receipts folder, written and synced.
Fd prepareReceipt(int receipts, const std::string& name, const std::string& bytes)
{
    Fd file(::openat(receipts, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
    if (!file || !qbcore::writeAll(file.get(), bytes.data(), bytes.size()) || ::fchmod(file.get(), 0644) != 0
        || ::fsync(file.get()) != 0)
        refuseErrno("cannot write the receipt " + name);
    return file;
}

void setOwnerAndMode(int fd, uid_t owner, gid_t group, mode_t mode, const std::string& what)
{
    // The owner first: changing it clears set-user-ID bits.
    if (::fchown(fd, owner, group) != 0 || ::fchmod(fd, mode) != 0)
        refuseErrno("cannot set the owner and mode of " + what);
}

void verifyCopy(int copy, const Statement& statement, const std::string& what)
{
    if (sha256Of(copy) != statement.sha256)
        refuse(what + " does not match its signature");
}

// Installs the bytes read from `source` as `name` in the tool folder, with
// its receipt: both or neither.
void installTool(int source, const SignatureFile& signature, const std::string& name, mode_t mode, const CommandLock& lock)
{
    const Fd folder = openFolderChain(toolFolder(), true);
    // The copy is made where it will live and verified there: what is
    // checked is exactly what gets linked into place.
    const Fd copy = copyIntoUnnamedFile(source, folder.get(), kMaxPayloadSize, name);
    verifyCopy(copy.get(), signature.statement(), "the payload for " + name);
    setOwnerAndMode(copy.get(), 0, 0, mode, name);
    if (::fsync(copy.get()) != 0)
        refuseErrno("cannot write " + name);
    const std::string receiptName = toolReceiptName(name);
    const Fd receipt = prepareReceipt(lock.receipts(), receiptName, signature.bytes);
    // Compared only now, with the payload in hand and under the lock: a run
    // that waited for its payload cannot undo a newer install.
    if (existsAs(folder.get(), name, S_IFREG))
        refuseOlderVersion(signature.statement(), readReceipt(lock.receipts(), receiptName));
    Placement placement;
    placement.placeFile(receipt.get(), lock.receipts(), receiptName);
    placement.placeFile(copy.get(), folder.get(), name);
    placement.commit();
}

// Sets owner root and `mode` on an installed tool by copying its bytes anew,
// verified against the receipt of its install: no one else can have changed
// them between the check and the change.
void repairToolPermissions(const std::string& name, mode_t mode, std::initializer_list<const char*> commands,
                           const CommandLock& lock)
{
    const Fd folder = openFolderChain(toolFolder(), true);
    const std::optional<SignedStatement> receipt = readReceipt(lock.receipts(), toolReceiptName(name));
    if (!receipt)
        refuse(name + " has no receipt of a signed install; install it again");
    bool allowed = false;
    for (const char* command : commands)
        allowed = allowed || receipt->statement.command == command;
    if (!allowed || receipt->statement.target != name)
        refuse(name + " was not installed as a tool of this kind");
    if (!existsAs(folder.get(), name, S_IFREG))
        refuse(name + " is not installed");
    const Fd installed(::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!installed)
        refuseErrno("cannot open " + name);
    const Fd copy = copyIntoUnnamedFile(installed.get(), folder.get(), kMaxPayloadSize, name);
    verifyCopy(copy.get(), receipt->statement, "the installed " + name);
    setOwnerAndMode(copy.get(), 0, 0, mode, name);
    if (::fsync(copy.get()) != 0)
        refuseErrno("cannot write " + name);
    Placement placement;
    placement.placeFile(copy.get(), folder.get(), name);
    placement.commit();
}

bool hasBundleName(const std::string& name)
{
    const size_t dot = name.rfind('.');
    return dot != std::string::npos && dot > 0 && dot + 1 < name.size();
}

// Install paths a signed archive may replace: a bundle under the system's
// Library or Applications folder, never in the tool folder.
void checkBundleInstallPath(const std::string& path, bool applicationsOnly)
{
    const std::vector<std::string> components = pathComponents(path);
    const bool inToolFolder = components.size() >= toolFolder().size()
                              && std::equal(toolFolder().begin(), toolFolder().end(), components.begin());
    const bool inApplications = components.front() == "Applications";
    const bool inLibrary = components.front() == "Library";
    if (components.size() < 2 || inToolFolder || !(inApplications || (inLibrary && !applicationsOnly))
        || !hasBundleName(components.back()) || (applicationsOnly && !path.ends_with(".app")))
        refuse(path + " is not a place this command installs to");
}

void installBundle(const std::string& payloadPath, const SignatureFile& signature, const std::string& installPath,
                   CommandLock& lock)
{
    std::vector<std::string> parent = pathComponents(installPath);
    const std::string name = parent.back();
    parent.pop_back();
    size_t opened = 0;
    Fd deepest = openFolderChain(parent, true, &opened);
    const Fd source = openCallerSource(payloadPath);
    const Fd archive = copyIntoUnnamedFile(source.get(), deepest.get(), kMaxPayloadSize, payloadPath);
    verifyCopy(archive.get(), signature.statement(), "the archive " + payloadPath);
    const std::vector<PlannedEntry> plan = planBundle(archive.get());

    const Fd folder = lock.makeFolders(std::move(deepest), parent, opened);
    const std::string receiptName = pathReceiptName(installPath);
    const std::string temporary = temporaryName();
    if (::mkdirat(folder.get(), temporary.c_str(), 0700) != 0)
        refuseErrno("cannot create " + temporary);
    try {
        const Fd destination(::openat(folder.get(), temporary.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!destination)
            refuseErrno("cannot open " + temporary);
        // The archive's own folder entry, when it has one, sets the final mode.
        if (::fchmod(destination.get(), 0755) != 0)
            refuseErrno("cannot set the mode of " + temporary);
        extractBundle(archive.get(), plan, destination.get());
        const Fd receipt = prepareReceipt(lock.receipts(), receiptName, signature.bytes);
        // Compared only now, under the lock: see installTool.
        if (existsAs(folder.get(), name, S_IFDIR))
            refuseOlderVersion(signature.statement(), readReceipt(lock.receipts(), receiptName));
        Placement placement;
        placement.placeFile(receipt.get(), lock.receipts(), receiptName);
        placement.placeFolder(folder.get(), temporary, name);
        placement.commit();
    } catch (const Refusal&) {
        try {
            removeTree(folder.get(), temporary);
        } catch (const Refusal&) {
        }
        throw;
    }
}

void repairCore(const std::string& path)
{
    const std::vector<std::string> components = pathComponents(path);
    const size_t n = components.size();
    const std::string coreName = std::string(QB_PRODUCT_NAME) + "Core.app";
    if (n < 4 || components[n - 1] != coreName || components[n - 2] != "Resources" || components[n - 3] != "Contents"
        || !components[n - 4].ends_with(".app") || components[n - 4].size() <= 4)
        refuse(path + " is not the core application inside an application's resources");
    const Fd resources = openFolderChain({components.begin(), components.end() - 1}, false);
    const Fd core(::openat(resources.get(), coreName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!core) {
        if (errno == ELOOP || errno == ENOTDIR)
            refuse(path + " is not a folder (a link is never followed)");
        refuseErrno("cannot open " + path);
    }
    struct stat info {};
    if (::fstat(core.get(), &info) != 0)
        refuseErrno("cannot examine " + path);
    if (info.st_uid != caller().uid && info.st_uid != 0)
        refuse(path + " belongs to neither the caller nor root");
    if (::fchmod(core.get(), 0755) != 0)
        refuseErrno("cannot set the mode of " + path);
}

void fixMonoKeypairs(const std::string& folder)
{
    errno = 0;
    const passwd* user = ::getpwuid(caller().uid);
    if (!user || !user->pw_dir || user->pw_dir[0] != '/')
        refuse("the caller has no home folder in the password database");
    std::string home = user->pw_dir;
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    const std::vector<std::string> below{".config", ".mono", "keypairs"};
    if (folder != home + "/.config/.mono/keypairs")
        refuse(folder + " is not the caller's key-pair folder");
    Fd current(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current)
        refuseErrno("cannot open " + home);
    std::string shown = home;
    for (size_t i = 0; i < below.size(); ++i) {
        shown += "/" + below[i];
        Fd next(::openat(current.get(), below[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            if (errno == ELOOP || errno == ENOTDIR)
                refuse(shown + " is not a folder (a link is never followed)");
            refuseErrno("cannot open " + shown);
        }
        struct stat info {};
        if (::fstat(next.get(), &info) != 0)
            refuseErrno("cannot examine " + shown);
        const bool last = i + 1 == below.size();
        if (info.st_uid != caller().uid && !(last && info.st_uid == 0))
            refuse(shown + " belongs to someone else");
        current = std::move(next);
    }
    setOwnerAndMode(current.get(), caller().uid, user->pw_gid, 0700, folder);
}

} // namespace

std::string versionLine()
{
    return std::string("Limited ") + QB_VERSION_TEXT;
}

namespace {

bool changesInstallation(Verb verb)
{
    switch (verb) {
    case Verb::Repair:
    case Verb::RepairPermissions:
    case Verb::RepairOther:
    case Verb::RepairOtherRoot:
    case Verb::RepairPermissionsOther:
    case Verb::RepairPermissionsOtherRoot:
    case Verb::RepairZipItem:
    case Verb::RepairPackage:
    case Verb::ApplyFullUpdate:
        return true;
    default:
        return false;
    }
}

std::string carryOut(const Request& request, CommandLock* lock)
{
    switch (request.verb) {
    case Verb::PrintVersion:
        return versionLine();
    case Verb::Repair: {
        if (kSanitizerBuild)
            refuse("a sanitizer build never installs itself set-user-ID");
        const SignatureFile signature = loadSignature(request.signature, request.word, kUpdateToolName);
        if (signature.statement().version != QB_VERSION_TEXT)
            refuse("the signature is for version " + signature.statement().version + ", this tool is " + QB_VERSION_TEXT);
        const Fd self(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
        if (!self)
            refuseErrno("cannot read this tool's own executable");
        installTool(self.get(), signature, kUpdateToolName, kRootToolMode, *lock);
        return "installed " + std::string(kUpdateToolName);
    }
    case Verb::RepairPermissions:
        if (kSanitizerBuild)
            refuse("a sanitizer build is never made set-user-ID");
        repairToolPermissions(kUpdateToolName, kRootToolMode, {"repair"}, *lock);
        return "repaired the permissions of " + std::string(kUpdateToolName);
    case Verb::RepairCore:
        repairCore(request.folder);
        return "repaired the permissions of " + request.folder;
    case Verb::RepairOther:
    case Verb::RepairOtherRoot: {
        const bool root = request.verb == Verb::RepairOtherRoot;
        const SignatureFile signature = loadSignature(request.signature, request.word, {});
        const std::string& name = signature.statement().target;
        if (!isPlainName(name) || name == kUpdateToolName || name == kReceiptsFolder)
            refuse("the signature names \"" + name + "\", which is not a tool name");
        const Fd source = openCallerSource(request.payload);
        installTool(source.get(), signature, name, root ? kRootToolMode : kToolMode, *lock);
        return "installed " + name;
    }
    case Verb::RepairPermissionsOther:
        repairToolPermissions(request.name, kToolMode, {"repairother", "repairotherroot"}, *lock);
        return "repaired the permissions of " + request.name;
    case Verb::RepairPermissionsOtherRoot:
        repairToolPermissions(request.name, kRootToolMode, {"repairotherroot"}, *lock);
        return "repaired the permissions of " + request.name;
    case Verb::RepairZipItem:
    case Verb::ApplyFullUpdate: {
        checkBundleInstallPath(request.installPath, request.verb == Verb::ApplyFullUpdate);
        const SignatureFile signature = loadSignature(request.signature, request.word, request.installPath);
        installBundle(request.payload, signature, request.installPath, *lock);
        return "installed " + request.installPath;
    }
    case Verb::RepairPackage: {
        const SignatureFile signature = loadSignature(request.payload + ".sig", request.word, {});
        const std::string& installPath = signature.statement().target;
        if (!isCleanAbsolutePath(installPath))
            refuse("the signature names \"" + installPath + "\", which is not a plain absolute path");
        checkBundleInstallPath(installPath, false);
        installBundle(request.payload, signature, installPath, *lock);
        return "installed " + installPath;
    }
    case Verb::RepairIntel10_5:
        return "repairintel10_5: nothing to repair on Linux";
    case Verb::FixMonoKeypairs:
        fixMonoKeypairs(request.folder);
        return "repaired the permissions of " + request.folder;
    }
    refuse("unknown command");
}

} // namespace

std::string perform(const Request& request)
{
    if (!changesInstallation(request.verb))
        return carryOut(request, nullptr);
    CommandLock lock;
    std::string done = carryOut(request, &lock);
    lock.succeeded();
    return done;
}

} // namespace updateqb
