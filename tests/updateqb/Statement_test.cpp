// What the update tool accepts as a signature file and as a command line.

#include "Arguments.h"
#include "SignatureCore.h"
#include "Statement.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

using namespace updateqb;

namespace {

const Statement kStatement{"repairother", "qbhelper", "1.19.0 (5)", std::string(64, 'a')};

qbcore::KeyPtr generate(const char* type)
{
    return qbcore::KeyPtr(std::string_view(type) == "RSA" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048))
                                                          : EVP_PKEY_Q_keygen(nullptr, nullptr, type));
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    text.replace(text.find(from), from.size(), to);
    return text;
}

} // namespace

TEST(Statement, VersionsParseStrictlyAndCompareByNumber)
{
    struct Case {
        const char* text;
        bool valid;
    };
    for (const Case& c :
         {Case{"1.19.0 (5)", true}, Case{"10.0.12 (300)", true}, Case{"1.19 (5)", false}, Case{"1.19.0", false},
          Case{"1.19.0 (5", false}, Case{"1.19.0.1 (5)", false}, Case{"1.19.-1 (5)", false}, Case{" 1.19.0 (5)", false},
          Case{"1.19.0  (5)", false}, Case{"01.19.0 (5)", false}, Case{"1.19.0 ()", false}, Case{"", false},
          Case{"1.19.0 (99999999999)", false}})
        EXPECT_EQ(parseVersion(c.text).has_value(), c.valid) << c.text;
    EXPECT_LT(*parseVersion("1.9.0 (5)"), *parseVersion("1.10.0 (1)"));
    EXPECT_LT(*parseVersion("1.19.0 (5)"), *parseVersion("1.19.0 (6)"));
}

TEST(Statement, SignedStatementsVerifyWithTheirKeyOnlyForBothKinds)
{
    for (const char* type : {"RSA", "ED25519"}) {
        SCOPED_TRACE(type);
        const qbcore::KeyPtr key = generate(type);
        const qbcore::KeyPtr other = generate(type);
        const std::string file = composeSignatureFile(kStatement, signStatement(key.get(), kStatement));
        std::string why;
        const auto parsed = parseSignatureFile(file, &why);
        ASSERT_TRUE(parsed) << why;
        EXPECT_EQ(parsed->statement.target, "qbhelper");
        EXPECT_TRUE(verifyStatement(key.get(), *parsed));
        EXPECT_FALSE(verifyStatement(other.get(), *parsed));
        // Any edit of the statement breaks the signature.
        const auto edited = parseSignatureFile(replaced(file, "1.19.0 (5)", "1.19.1 (5)"), &why);
        ASSERT_TRUE(edited) << why;
        EXPECT_FALSE(verifyStatement(key.get(), *edited));
    }
}

TEST(Statement, MalformedSignatureFilesAreRefused)
{
    const qbcore::KeyPtr key = generate("ED25519");
    const std::string good = composeSignatureFile(kStatement, signStatement(key.get(), kStatement));
    std::string why;
    ASSERT_TRUE(parseSignatureFile(good, &why)) << why;
    const std::vector<std::pair<const char*, std::string>> cases{
        {"empty", ""},
        {"no format line", good.substr(good.find('\n') + 1)},
        {"keys out of order", replaced(replaced(good, "command: ", "target:: "), "target: ", "command: ")},
        {"a control character in a value", replaced(good, "qbhelper", "qb\thelper")},
        {"an empty value", replaced(good, "qbhelper", "")},
        {"a padded value", replaced(good, "qbhelper", " qbhelper")},
        {"a short digest", replaced(good, std::string(64, 'a'), std::string(63, 'a'))},
        {"an upper-case digest", replaced(good, std::string(64, 'a'), std::string(64, 'A'))},
        {"a malformed version", replaced(good, "1.19.0 (5)", "1.19")},
        {"CR line ends", replaced(good, "qbhelper\n", "qbhelper\r\n")},
        {"trailing data", good + "extra\n"},
        {"no signature line", good.substr(0, good.find("signature: "))},
        {"signature not Base64", replaced(good, "signature: ", "signature: !")},
        {"signature with a line break", replaced(good, "signature: ", "signature: AAAA\n")},
        {"too large", good + std::string(kMaxSignatureFileSize, 'x')},
    };
    for (const auto& [what, text] : cases)
        EXPECT_FALSE(parseSignatureFile(text, &why)) << what;
}

TEST(Arguments, CommandLinesHaveTheLaunchersShapesAndPlainPaths)
{
    struct Case {
        std::vector<std::string> argv;
        bool valid;
    };
    const std::vector<Case> cases{
        {{}, true},
        {{"repair", "/r/updateqb.sig"}, true},
        {{"repair"}, false},
        {{"repairpermissions"}, true},
        {{"repairpermissions", "x"}, false},
        {{"repaircore", "/A.app/Contents/Resources/QuorbelCore.app"}, true},
        {{"repairother", "/r/t", "/r/t.sig"}, true},
        {{"repairother", "/r/t"}, false},
        {{"repairother", "r/t", "/r/t.sig"}, false},
        {{"repairother", "/r/../t", "/r/t.sig"}, false},
        {{"repairother", "/r/./t", "/r/t.sig"}, false},
        {{"repairother", "/r//t", "/r/t.sig"}, false},
        {{"repairother", "/r/t/", "/r/t.sig"}, false},
        {{"repairother", "/r/t\n", "/r/t.sig"}, false},
        {{"repairpermissionsother", "qbhelper"}, true},
        {{"repairpermissionsother", "a/b"}, false},
        {{"repairpermissionsother", ".."}, false},
        {{"repairpermissionsother", ".hidden"}, false},
        {{"repairpermissionsother", ""}, false},
        {{"repairpermissionsotherroot", std::string(256, 'n')}, false},
        {{"repairzipitem", "/z.zip", "/z.sig", "/Library/A.plugin"}, true},
        {{"repairpackage", "/p.pkg"}, true},
        {{"applyfullupdate", "/u.zip", "/u.sig", "/Applications/Q.app"}, true},
        {{"repairintel10_5", "/f.zip", "/f.plist"}, true},
        {{"fixmonokeypairs", "/home/u/.config/.mono/keypairs"}, true},
        {{"REPAIR", "/r/updateqb.sig"}, false},
        {{"--help"}, false},
    };
    for (const Case& c : cases) {
        std::string why;
        const auto request = parseArguments(c.argv, &why);
        EXPECT_EQ(request.has_value(), c.valid) << (c.argv.empty() ? "(none)" : c.argv.front()) << " " << why;
        if (!request) {
            EXPECT_FALSE(why.empty());
        }
    }
    std::string why;
    const auto zip = parseArguments({"repairzipitem", "/z.zip", "/z.sig", "/Library/A.plugin"}, &why);
    ASSERT_TRUE(zip);
    EXPECT_EQ(zip->payload, "/z.zip");
    EXPECT_EQ(zip->signature, "/z.sig");
    EXPECT_EQ(zip->installPath, "/Library/A.plugin");
}
