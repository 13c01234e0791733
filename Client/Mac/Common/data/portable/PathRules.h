#pragma once
// The rules a path or name obeys before anything with administrator rights
// works on it: the root helper, the update tool and (through
// platform/PathChecks.h) the launcher's authorised move check the same bytes
// the same way. Plain C++ on std::string_view: no Qt, no allocation but the
// shown copy.

#include <string>
#include <string_view>

namespace qbcore {

// A byte below 0x20 (NUL among them) or 0x7f (DEL).
bool isControlByte(unsigned char byte);
bool hasControlCharacter(std::string_view text);

// Absolute, shorter than PATH_MAX, no trailing "/", no empty, "." or ".."
// component, each component at most NAME_MAX bytes, no control character.
// "/" alone names no item and is not one.
bool isCleanAbsolutePath(std::string_view path);
// One path component: not empty, at most NAME_MAX bytes, no "/", not
// starting with "." (so neither "." nor ".."), no control character.
bool isPlainName(std::string_view name);
// A plain name ending in ".app" (that case only) with something before it.
bool isBundleName(std::string_view name);
// A clean absolute path whose last component is a bundle name.
bool isBundlePath(std::string_view path);

// `text` for a message: each control byte shown as '?'.
std::string shownPlain(std::string_view text);

} // namespace qbcore
