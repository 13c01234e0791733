#pragma once
// The command line as the launcher composes it: a command word and its
// arguments, checked for shape before anything is opened.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace updateqb {

enum class Verb {
    PrintVersion,
    Repair,
    RepairPermissions,
    RepairCore,
    RepairOther,
    RepairOtherRoot,
    RepairPermissionsOther,
    RepairPermissionsOtherRoot,
    RepairZipItem,
    RepairPackage,
    ApplyFullUpdate,
    RepairIntel10_5,
    FixMonoKeypairs,
};

struct Request {
    Verb verb = Verb::PrintVersion;
    std::string word;
    std::string payload;     // a path: the tool, archive, package or update to install
    std::string signature;   // a path
    std::string installPath; // a path
    std::string name;        // one path component
    std::string folder;      // repaircore / fixmonokeypairs
};

// Absolute, at most PATH_MAX bytes, no empty, "." or ".." component, no
// control character, no trailing "/".
bool isCleanAbsolutePath(std::string_view path);
// One path component: not empty, no "/", not starting with ".", no control
// character, at most NAME_MAX bytes.
bool isPlainName(std::string_view name);
// The components of a clean absolute path.
std::vector<std::string> pathComponents(std::string_view path);

// The request, or nullopt with a one-line reason.
std::optional<Request> parseArguments(const std::vector<std::string>& arguments, std::string* why);

} // namespace updateqb
