// The update tool's parsers: signature files (statement, version, Base64)
// and command lines. The first byte chooses which; the rest is the input (for
// command lines, arguments separated by NUL bytes).

#include "Arguments.h"
#include "Statement.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void signatureFile(std::string_view bytes)
{
    std::string why;
    const auto parsed = updateqb::parseSignatureFile(bytes, &why);
    if (!parsed) {
        if (why.empty())
            std::abort();
        return;
    }
    // What was accepted reads back the same once written out again.
    const std::string written = updateqb::composeSignatureFile(parsed->statement, parsed->signature);
    const auto again = updateqb::parseSignatureFile(written, &why);
    if (!again || again->statement.command != parsed->statement.command
        || again->statement.target != parsed->statement.target || again->statement.version != parsed->statement.version
        || again->statement.sha256 != parsed->statement.sha256 || again->signature != parsed->signature
        || again->signedText != parsed->signedText || !bytes.starts_with(parsed->signedText))
        std::abort();
    if (!updateqb::parseVersion(parsed->statement.version))
        std::abort();
}

void commandLine(std::string_view bytes)
{
    std::vector<std::string> arguments;
    size_t start = 0;
    for (size_t i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\0') {
            arguments.emplace_back(bytes.substr(start, i - start));
            start = i + 1;
        }
    }
    std::string why;
    const auto request = updateqb::parseArguments(arguments, &why);
    if (!request)
        return;
    for (const std::string* path : {&request->payload, &request->signature, &request->installPath, &request->folder}) {
        if (path->empty())
            continue;
        if (!updateqb::isCleanAbsolutePath(*path))
            std::abort();
        std::string joined;
        for (const std::string& component : updateqb::pathComponents(*path)) {
            if (component.empty() || component == "." || component == ".." || component.find('/') != std::string::npos)
                std::abort();
            joined += "/" + component;
        }
        if (joined != *path)
            std::abort();
    }
    if (!request->name.empty() && !updateqb::isPlainName(request->name))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1)
        commandLine(input);
    else
        signatureFile(input);
    return 0;
}
