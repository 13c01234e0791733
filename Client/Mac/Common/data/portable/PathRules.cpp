#include "PathRules.h"

#include <climits>

namespace qbcore {

bool isControlByte(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7f;
}

bool hasControlCharacter(std::string_view text)
{
    for (const char c : text) {
        if (isControlByte(static_cast<unsigned char>(c)))
            return true;
    }
    return false;
}

bool isCleanAbsolutePath(std::string_view path)
{
    if (path.size() < 2 || path.size() >= PATH_MAX || path.front() != '/' || path.back() == '/' || hasControlCharacter(path))
        return false;
    size_t start = 1;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const std::string_view component = path.substr(start, i - start);
        if (component.empty() || component == "." || component == ".." || component.size() > NAME_MAX)
            return false;
        start = i + 1;
    }
    return true;
}

bool isPlainName(std::string_view name)
{
    return !name.empty() && name.size() <= NAME_MAX && name.front() != '.' && name.find('/') == std::string_view::npos
           && !hasControlCharacter(name);
}

bool isBundleName(std::string_view name)
{
    constexpr std::string_view kSuffix = ".app";
    return isPlainName(name) && name.size() > kSuffix.size() && name.substr(name.size() - kSuffix.size()) == kSuffix;
}

bool isBundlePath(std::string_view path)
{
    return isCleanAbsolutePath(path) && isBundleName(path.substr(path.rfind('/') + 1));
}

std::string shownPlain(std::string_view text)
{
    std::string shown(text);
    for (char& c : shown) {
        if (isControlByte(static_cast<unsigned char>(c)))
            c = '?';
    }
    return shown;
}

} // namespace qbcore
