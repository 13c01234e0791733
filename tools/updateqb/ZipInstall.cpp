#include "ZipInstall.h"

#include "Arguments.h"
#include "Files.h"
#include "PathRules.h"
#include "ZipCore.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace updateqb {
namespace {

constexpr size_t kNameBufferSize = 1024;
constexpr size_t kMaxEntries = 100000;
constexpr uint64_t kMaxTotalSize = 4ULL << 30;
constexpr unsigned kReadBufferSize = 1 << 16;

struct ArchiveClose {
    void operator()(void* archive) const { unzClose(archive); }
};
using Archive = std::unique_ptr<void, ArchiveClose>;

Archive openArchive(int fd)
{
    Archive archive(qbcore::openZipDescriptor(fd));
    if (!archive)
        refuse("the archive cannot be read");
    return archive;
}

std::string readName(unzFile archive, unz_file_info64* info)
{
    char name[kNameBufferSize];
    if (unzGetCurrentFileInfo64(archive, info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
        refuse("the archive's entry list cannot be read");
    if (info->size_filename >= sizeof name)
        refuse("an archive entry's name is too long");
    return std::string(name, info->size_filename);
}

std::string shown(const std::string& name)
{
    return "archive entry \"" + qbcore::shownPlain(name) + "\"";
}

// Opens or makes the folder `components[0..count)` below `root`.
Fd folderBelow(int root, const std::vector<std::string>& components, size_t count)
{
    Fd folder(::dup(root));
    if (!folder)
        refuseErrno("cannot open the bundle folder");
    for (size_t i = 0; i < count; ++i) {
        const char* name = components[i].c_str();
        Fd next(::openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT) {
            if (::mkdirat(folder.get(), name, 0755) != 0)
                refuseErrno("cannot create " + components[i]);
            next = Fd(::openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!next)
            refuseErrno("cannot open " + components[i]);
        folder = std::move(next);
    }
    return folder;
}

} // namespace

std::vector<PlannedEntry> planBundle(int archiveFd)
{
    const Archive archive = openArchive(archiveFd);
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(archive.get(), &global) != UNZ_OK)
        refuse("the archive cannot be read");
    if (global.number_entry == 0 || global.number_entry > kMaxEntries)
        refuse("the archive must hold one bundle folder");
    std::vector<PlannedEntry> plan;
    std::string top;
    uint64_t total = 0;
    for (ZPOS64_T index = 0; index < global.number_entry; ++index) {
        if (index > 0 && unzGoToNextFile(archive.get()) != UNZ_OK)
            refuse("the archive's entry list cannot be read");
        unz_file_info64 info{};
        const std::string name = readName(archive.get(), &info);
        const qbcore::ZipEntryKind kind = qbcore::entryKind(info, name);
        if (kind == qbcore::ZipEntryKind::SymbolicLink)
            refuse(shown(name) + " is a link; links are refused");
        if (kind == qbcore::ZipEntryKind::Special)
            refuse(shown(name) + " is a device node, pipe or socket; refused");
        const int permissions = qbcore::entryPermissions(info);
        if (permissions > 0 && (permissions & (S_ISUID | S_ISGID)))
            refuse(shown(name) + " is set-user-ID or set-group-ID; refused");
        const bool folder = kind == qbcore::ZipEntryKind::Folder;
        std::string path = name;
        if (!path.empty() && path.back() == '/')
            path.pop_back();
        // Checked as an absolute path so that every component rule applies.
        if (!qbcore::isContainedName(name) || path.find('\\') != std::string::npos || !isCleanAbsolutePath("/" + path))
            refuse(shown(name) + " has a name that is not a plain relative path");
        const std::vector<std::string> components = pathComponents("/" + path);
        if (top.empty())
            top = components.front();
        if (components.front() != top || (components.size() == 1 && !folder))
            refuse("the archive must hold exactly one bundle folder at its top level");
        total += info.uncompressed_size;
        if (total > kMaxTotalSize)
            refuse("the archive is too large");
        PlannedEntry entry;
        entry.path = components.size() == 1 ? std::string() : path.substr(top.size() + 1);
        entry.folder = folder;
        entry.mode = permissions < 0 ? (folder ? 0755u : 0644u) : (static_cast<unsigned>(permissions) & 0755u);
        entry.size = info.uncompressed_size;
        plan.push_back(std::move(entry));
    }
    return plan;
}

void extractBundle(int archiveFd, const std::vector<PlannedEntry>& plan, int destination)
{
    const Archive archive = openArchive(archiveFd);
    const std::unique_ptr<char[]> buffer(new char[kReadBufferSize]);
    for (size_t index = 0; index < plan.size(); ++index) {
        if ((index == 0 ? unzGoToFirstFile(archive.get()) : unzGoToNextFile(archive.get())) != UNZ_OK)
            refuse("the archive changed while it was read");
        const PlannedEntry& entry = plan[index];
        if (entry.path.empty()) {
            if (::fchmod(destination, entry.mode | S_IRWXU) != 0)
                refuseErrno("cannot set the bundle folder's mode");
            continue;
        }
        const std::vector<std::string> components = pathComponents("/" + entry.path);
        if (entry.folder) {
            const Fd folder = folderBelow(destination, components, components.size());
            if (::fchmod(folder.get(), entry.mode | S_IRWXU) != 0)
                refuseErrno("cannot set the mode of " + entry.path);
            continue;
        }
        const Fd parent = folderBelow(destination, components, components.size() - 1);
        Fd file(::openat(parent.get(), components.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file)
            refuseErrno("cannot create " + entry.path);
        if (unzOpenCurrentFile(archive.get()) != UNZ_OK)
            refuse("cannot read " + shown(entry.path));
        int result = qbcore::copyEntryData(archive.get(), file.get(), buffer.get(), kReadBufferSize, entry.size);
        const int closed = unzCloseCurrentFile(archive.get());
        if (result == UNZ_OK)
            result = closed;
        if (result != UNZ_OK)
            refuse("the data of " + shown(entry.path) + " is damaged (" + std::to_string(result) + ")");
        struct stat info {};
        if (::fstat(file.get(), &info) != 0 || static_cast<uint64_t>(info.st_size) != entry.size)
            refuse("the data of " + shown(entry.path) + " is not as long as the archive says");
        if (::fchmod(file.get(), entry.mode) != 0)
            refuseErrno("cannot set the mode of " + entry.path);
    }
    if (::syncfs(destination) != 0)
        refuseErrno("cannot write the bundle to disk");
}

} // namespace updateqb
