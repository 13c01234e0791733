#include "Commands.h"

#include "BuildVersion.h"

#include "Files.h"
#include "SignatureCore.h"
#include "Statement.h"
#include "UpdateKey.h"
#include "ZipCore.h"
#include "ZipInstall.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
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

// Opens a root-only folder chain, making what is missing.
Fd ensureFolder(const std::vector<std::string>& components)
{
    size_t opened = 0;
    Fd existing = openFolderChain(components, true, &opened);
    return createFolders(std::move(existing), components, opened);
}

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

void writeReceipt(int receipts, const std::string& name, const std::string& bytes)
{
    Fd file(::openat(receipts, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
    if (!file || !qbcore::writeAll(file.get(), bytes.data(), bytes.size()) || ::fchmod(file.get(), 0644) != 0
        || ::fsync(file.get()) != 0)
        refuseErrno("cannot write the receipt " + name);
    placeFile(file.get(), receipts, name);
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

// Installs the bytes read from `source` as `name` in the tool folder.
void installTool(int source, const SignatureFile& signature, const std::string& name, mode_t mode)
{
    size_t opened = 0;
    Fd deepest = openFolderChain(toolFolder(), true, &opened);
    size_t receiptsOpened = 0;
    const Fd receipts = openFolderChain(receiptsFolder(), true, &receiptsOpened);
    const bool present = opened == toolFolder().size() && existsAs(deepest.get(), name, S_IFREG);
    if (present)
        refuseOlderVersion(signature.statement(), readReceipt(receiptsOpened == toolFolder().size() + 1 ? receipts.get() : -1,
                                                              toolReceiptName(name)));
    // The copy is made where it will live and verified there: what is
    // checked is exactly what gets linked into place.
    const Fd copy = copyIntoUnnamedFile(source, deepest.get(), kMaxPayloadSize, name);
    verifyCopy(copy.get(), signature.statement(), "the payload for " + name);
    setOwnerAndMode(copy.get(), 0, 0, mode, name);
    if (::fsync(copy.get()) != 0)
        refuseErrno("cannot write " + name);
    const Fd folder = createFolders(std::move(deepest), toolFolder(), opened);
    placeFile(copy.get(), folder.get(), name);
    writeReceipt(ensureFolder(receiptsFolder()).get(), toolReceiptName(name), signature.bytes);
}

// Sets owner root and `mode` on an installed tool by copying its bytes anew,
// verified against the receipt of its install: no one else can have changed
// them between the check and the change.
void repairToolPermissions(const std::string& name, mode_t mode, std::initializer_list<const char*> commands)
{
    const Fd folder = openFolderChain(toolFolder(), true);
    size_t opened = 0;
    const Fd receipts = openFolderChain(receiptsFolder(), true, &opened);
    const std::optional<SignedStatement> receipt = readReceipt(opened == toolFolder().size() + 1 ? receipts.get() : -1,
                                                               toolReceiptName(name));
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
    placeFile(copy.get(), folder.get(), name);
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

void installBundle(const std::string& payloadPath, const SignatureFile& signature, const std::string& installPath)
{
    std::vector<std::string> parent = pathComponents(installPath);
    const std::string name = parent.back();
    parent.pop_back();
    size_t opened = 0;
    Fd deepest = openFolderChain(parent, true, &opened);
    const bool present = opened == parent.size() && existsAs(deepest.get(), name, S_IFDIR);
    size_t receiptsOpened = 0;
    const Fd receipts = openFolderChain(receiptsFolder(), true, &receiptsOpened);
    if (present)
        refuseOlderVersion(signature.statement(), readReceipt(receiptsOpened == toolFolder().size() + 1 ? receipts.get() : -1,
                                                              pathReceiptName(installPath)));
    const Fd source = openCallerSource(payloadPath);
    const Fd archive = copyIntoUnnamedFile(source.get(), deepest.get(), kMaxPayloadSize, payloadPath);
    verifyCopy(archive.get(), signature.statement(), "the archive " + payloadPath);
    const std::vector<PlannedEntry> plan = planBundle(archive.get());

    const Fd folder = createFolders(std::move(deepest), parent, opened);
    const std::string temporary = "." + name + ".updateqb-new";
    removeTree(folder.get(), temporary); // left by a killed run
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
        const bool stillPresent = existsAs(folder.get(), name, S_IFDIR);
        if (::renameat2(folder.get(), temporary.c_str(), folder.get(), name.c_str(),
                        stillPresent ? RENAME_EXCHANGE : RENAME_NOREPLACE)
            != 0)
            refuseErrno("cannot rename " + installPath + " into place");
        if (stillPresent)
            removeTree(folder.get(), temporary);
    } catch (const Refusal&) {
        try {
            removeTree(folder.get(), temporary);
        } catch (const Refusal&) {
        }
        throw;
    }
    writeReceipt(ensureFolder(receiptsFolder()).get(), pathReceiptName(installPath), signature.bytes);
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

std::string perform(const Request& request)
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
        installTool(self.get(), signature, kUpdateToolName, kRootToolMode);
        return "installed " + std::string(kUpdateToolName);
    }
    case Verb::RepairPermissions:
        if (kSanitizerBuild)
            refuse("a sanitizer build is never made set-user-ID");
        repairToolPermissions(kUpdateToolName, kRootToolMode, {"repair"});
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
        installTool(source.get(), signature, name, root ? kRootToolMode : kToolMode);
        return "installed " + name;
    }
    case Verb::RepairPermissionsOther:
        repairToolPermissions(request.name, kToolMode, {"repairother", "repairotherroot"});
        return "repaired the permissions of " + request.name;
    case Verb::RepairPermissionsOtherRoot:
        repairToolPermissions(request.name, kRootToolMode, {"repairotherroot"});
        return "repaired the permissions of " + request.name;
    case Verb::RepairZipItem:
    case Verb::ApplyFullUpdate: {
        checkBundleInstallPath(request.installPath, request.verb == Verb::ApplyFullUpdate);
        const SignatureFile signature = loadSignature(request.signature, request.word, request.installPath);
        installBundle(request.payload, signature, request.installPath);
        return "installed " + request.installPath;
    }
    case Verb::RepairPackage: {
        const SignatureFile signature = loadSignature(request.payload + ".sig", request.word, {});
        const std::string& installPath = signature.statement().target;
        if (!isCleanAbsolutePath(installPath))
            refuse("the signature names \"" + installPath + "\", which is not a plain absolute path");
        checkBundleInstallPath(installPath, false);
        installBundle(request.payload, signature, installPath);
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

} // namespace updateqb
