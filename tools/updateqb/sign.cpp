// updateqb-sign: writes a signature file for the update tool. A build tool
// only; it never goes into the bundle.
// Usage: updateqb-sign PRIVATE-KEY.pem COMMAND TARGET VERSION PAYLOAD OUTPUT

#include "SignatureCore.h"
#include "Statement.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

bool readFile(const char* path, std::string* bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 7) {
        (void)std::fprintf(stderr, "usage: updateqb-sign PRIVATE-KEY.pem COMMAND TARGET VERSION PAYLOAD OUTPUT\n");
        return 2;
    }
    std::string pem, payload;
    if (!readFile(argv[1], &pem) || !readFile(argv[5], &payload)) {
        (void)std::fprintf(stderr, "updateqb-sign: cannot read the key or the payload\n");
        return 1;
    }
    const qbcore::KeyPtr key = qbcore::readPrivateKey(pem);
    qbcore::Sha256 digest;
    qbcore::Sha256Digest value{};
    if (!key || !digest.update(payload.data(), payload.size()) || !digest.final(&value)) {
        (void)std::fprintf(stderr, "updateqb-sign: the private key cannot be read\n");
        return 1;
    }
    const updateqb::Statement statement{argv[2], argv[3], argv[4], qbcore::toHex(value.data(), value.size())};
    const std::string signature = updateqb::signStatement(key.get(), statement);
    std::string why;
    const std::string file = updateqb::composeSignatureFile(statement, signature);
    if (signature.empty() || !updateqb::parseSignatureFile(file, &why)) {
        (void)std::fprintf(stderr, "updateqb-sign: cannot sign this statement\n");
        return 1;
    }
    std::ofstream out(argv[6], std::ios::binary | std::ios::trunc);
    out << file;
    out.close();
    return out ? 0 : 1;
}
