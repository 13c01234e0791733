#pragma once
// What a signature file says: a short statement (the command it is for, the
// tool name or install path, the version, the SHA-256 of the payload) and the
// signature over the statement's exact bytes. The text form:
//
//   format: updateqb statement 1
//   command: repairother
//   target: qbhelper
//   version: 1.19.0 (5)
//   sha256: <64 lower-case hexadecimal digits>
//   signature: <Base64 of the signature over the five lines above>
//
// Nothing else is accepted: no other keys, order or spacing, no control
// characters, no trailing data.

#include <openssl/evp.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace updateqb {

inline constexpr size_t kMaxSignatureFileSize = 4096;

struct Version {
    long major = 0, minor = 0, bugfix = 0, build = 0;
    auto operator<=>(const Version&) const = default;
};

// "major.minor.bugfix (build)", decimal numbers without signs or leading
// blanks; nullopt for anything else.
std::optional<Version> parseVersion(std::string_view text);

struct Statement {
    std::string command;
    std::string target;
    std::string version; // as written
    std::string sha256;  // lower-case hexadecimal
};

struct SignedStatement {
    Statement statement;
    std::string signedText; // the bytes the signature covers
    std::string signature;
};

// The statement's text (what is signed).
std::string composeStatement(const Statement& statement);
// The whole signature file for a statement and its signature.
std::string composeSignatureFile(const Statement& statement, std::string_view signature);

// Parses a signature file; nullopt with a reason when it is malformed.
std::optional<SignedStatement> parseSignatureFile(std::string_view bytes, std::string* why);

// Whether the signature is the key's over the statement's text: RSA
// PKCS#1 v1.5 over SHA-256 for an RSA key, Ed25519 for an Ed25519 key.
bool verifyStatement(EVP_PKEY* key, const SignedStatement& statement);
// Signs a statement with a private key of either kind; empty on failure.
std::string signStatement(EVP_PKEY* key, const Statement& statement);

} // namespace updateqb
