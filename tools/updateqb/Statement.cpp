#include "Statement.h"

#include "PathRules.h"
#include "SignatureCore.h"

#include <array>
#include <charconv>

namespace updateqb {
namespace {

constexpr std::string_view kFormatLine = "format: updateqb statement 1\n";
constexpr std::array<std::string_view, 4> kKeys{"command: ", "target: ", "version: ", "sha256: "};
constexpr std::string_view kSignatureKey = "signature: ";
constexpr size_t kMaxValue = 1024;

bool isLowerHex(std::string_view text)
{
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Reads "<key><value>\n" at `*cursor`; the value is non-empty plain text.
bool takeLine(std::string_view bytes, size_t* cursor, std::string_view key, std::string* value, bool lastLine)
{
    if (bytes.substr(*cursor, key.size()) != key)
        return false;
    size_t end = bytes.find('\n', *cursor + key.size());
    if (end == std::string_view::npos) {
        if (!lastLine)
            return false;
        end = bytes.size();
    }
    const std::string_view text = bytes.substr(*cursor + key.size(), end - *cursor - key.size());
    if (text.empty() || text.size() > kMaxValue || text.front() == ' ' || text.back() == ' ')
        return false;
    for (char c : text) {
        if (qbcore::isControlByte(static_cast<unsigned char>(c)))
            return false;
    }
    value->assign(text);
    *cursor = end == bytes.size() ? end : end + 1;
    return true;
}

bool parseNumber(std::string_view text, long* value)
{
    if (text.empty() || text.size() > 9 || (text.size() > 1 && text.front() == '0'))
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false; // from_chars would take a sign
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

qbcore::Digest digestForKey(EVP_PKEY* key)
{
    return qbcore::isEd25519Key(key) ? qbcore::Digest::None : qbcore::Digest::SHA256;
}

bool isSupportedKey(EVP_PKEY* key)
{
    return qbcore::isRsaKey(key) || qbcore::isEd25519Key(key);
}

} // namespace

std::optional<Version> parseVersion(std::string_view text)
{
    const size_t firstDot = text.find('.');
    const size_t secondDot = firstDot == std::string_view::npos ? firstDot : text.find('.', firstDot + 1);
    const size_t open = text.find(" (");
    if (secondDot == std::string_view::npos || open == std::string_view::npos || open < secondDot || text.back() != ')')
        return std::nullopt;
    Version version;
    if (!parseNumber(text.substr(0, firstDot), &version.major)
        || !parseNumber(text.substr(firstDot + 1, secondDot - firstDot - 1), &version.minor)
        || !parseNumber(text.substr(secondDot + 1, open - secondDot - 1), &version.bugfix)
        || !parseNumber(text.substr(open + 2, text.size() - open - 3), &version.build))
        return std::nullopt;
    return version;
}

std::string composeStatement(const Statement& statement)
{
    std::string text(kFormatLine);
    const std::array<const std::string*, 4> values{&statement.command, &statement.target, &statement.version,
                                                   &statement.sha256};
    for (size_t i = 0; i < kKeys.size(); ++i) {
        text += kKeys[i];
        text += *values[i];
        text += '\n';
    }
    return text;
}

std::string composeSignatureFile(const Statement& statement, std::string_view signature)
{
    return composeStatement(statement) + std::string(kSignatureKey) + qbcore::encodeBase64(signature) + '\n';
}

std::optional<SignedStatement> parseSignatureFile(std::string_view bytes, std::string* why)
{
    const auto fail = [why](const char* reason) {
        *why = reason;
        return std::nullopt;
    };
    if (bytes.size() > kMaxSignatureFileSize)
        return fail("the signature file is too large");
    if (bytes.substr(0, kFormatLine.size()) != kFormatLine)
        return fail("the signature file is not an update statement");
    SignedStatement result;
    size_t cursor = kFormatLine.size();
    Statement& s = result.statement;
    const std::array<std::string*, 4> values{&s.command, &s.target, &s.version, &s.sha256};
    for (size_t i = 0; i < kKeys.size(); ++i) {
        if (!takeLine(bytes, &cursor, kKeys[i], values[i], false))
            return fail("the signature file's statement is malformed");
    }
    if (s.sha256.size() != 64 || !isLowerHex(s.sha256))
        return fail("the statement's digest is not a SHA-256 digest");
    if (!parseVersion(s.version))
        return fail("the statement's version is malformed");
    result.signedText.assign(bytes.substr(0, cursor));
    std::string encoded;
    if (!takeLine(bytes, &cursor, kSignatureKey, &encoded, true) || cursor != bytes.size())
        return fail("the signature file's signature line is malformed");
    if (!qbcore::decodeBase64(encoded, &result.signature))
        return fail("the signature is not Base64");
    return result;
}

bool verifyStatement(EVP_PKEY* key, const SignedStatement& statement)
{
    return isSupportedKey(key) && qbcore::verify(key, digestForKey(key), statement.signature, statement.signedText);
}

std::string signStatement(EVP_PKEY* key, const Statement& statement)
{
    std::string signature;
    if (!isSupportedKey(key) || !qbcore::sign(key, digestForKey(key), composeStatement(statement), &signature))
        return {};
    return signature;
}

} // namespace updateqb
