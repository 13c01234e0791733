#pragma once
// The command line as the launcher composes it: a command word and its
// arguments, checked for shape before anything is opened.

#include "PathRules.h"

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

// The root side's path rules (PathRules.h).
using qbcore::isCleanAbsolutePath;
using qbcore::isPlainName;
// The components of a clean absolute path.
std::vector<std::string> pathComponents(std::string_view path);

// The request, or nullopt with a one-line reason.
std::optional<Request> parseArguments(const std::vector<std::string>& arguments, std::string* why);

} // namespace updateqb
