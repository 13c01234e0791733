#include "Arguments.h"

namespace updateqb {
namespace {

struct Shape {
    std::string_view word;
    Verb verb;
    // What each argument after the word is: p payload, s signature, i install
    // path, n name, f folder.
    std::string_view arguments;
};

constexpr Shape kShapes[] = {
    {"repair", Verb::Repair, "s"},
    {"repairpermissions", Verb::RepairPermissions, ""},
    {"repaircore", Verb::RepairCore, "f"},
    {"repairother", Verb::RepairOther, "ps"},
    {"repairotherroot", Verb::RepairOtherRoot, "ps"},
    {"repairpermissionsother", Verb::RepairPermissionsOther, "n"},
    {"repairpermissionsotherroot", Verb::RepairPermissionsOtherRoot, "n"},
    {"repairzipitem", Verb::RepairZipItem, "psi"},
    {"repairpackage", Verb::RepairPackage, "p"},
    {"applyfullupdate", Verb::ApplyFullUpdate, "psi"},
    {"repairintel10_5", Verb::RepairIntel10_5, "ps"},
    {"fixmonokeypairs", Verb::FixMonoKeypairs, "f"},
};

} // namespace

std::vector<std::string> pathComponents(std::string_view path)
{
    std::vector<std::string> components;
    size_t start = 1;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        components.emplace_back(path.substr(start, i - start));
        start = i + 1;
    }
    return components;
}

std::optional<Request> parseArguments(const std::vector<std::string>& arguments, std::string* why)
{
    Request request;
    if (arguments.empty())
        return request;
    const Shape* shape = nullptr;
    for (const Shape& candidate : kShapes) {
        if (arguments.front() == candidate.word)
            shape = &candidate;
    }
    if (!shape) {
        *why = "unknown command";
        return std::nullopt;
    }
    request.verb = shape->verb;
    request.word = arguments.front();
    if (arguments.size() != shape->arguments.size() + 1) {
        *why = request.word + ": wrong number of arguments";
        return std::nullopt;
    }
    for (size_t i = 0; i < shape->arguments.size(); ++i) {
        const std::string& value = arguments[i + 1];
        const char kind = shape->arguments[i];
        if (kind == 'n' ? !isPlainName(value) : !isCleanAbsolutePath(value)) {
            *why = request.word
                   + (kind == 'n' ? ": the name must be one plain path component"
                                  : ": every path must be absolute and plain");
            return std::nullopt;
        }
        switch (kind) {
        case 'p':
            request.payload = value;
            break;
        case 's':
            request.signature = value;
            break;
        case 'i':
            request.installPath = value;
            break;
        case 'n':
            request.name = value;
            break;
        case 'f':
            request.folder = value;
            break;
        }
    }
    return request;
}

} // namespace updateqb
