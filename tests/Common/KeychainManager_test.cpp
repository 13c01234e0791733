#include "KeychainManager.h"

#include "FakeKeychain.h"
#include "JSONEncoder.h"
#include "KeyringSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

using testing_support::FakeKeychain;
using testing_support::ScopedProductName;

const QString kQuorbel = QStringLiteral("Quorbel");

KeychainManager& manager()
{
    return KeychainManager::sharedManager();
}

QString rawText(const QString& user, const QString& service)
{
    QString text;
    manager().secKeychainFindGenericPassword(&text, user, service);
    return text;
}

QVariantMap rawRecord(const QString& user, const QString& service = kQuorbel)
{
    return JSONEncoder::createObjFromJSONStr(rawText(user, service)).value_or(QVariantMap{{"unreadable", true}});
}

// Against the real keyring of the test session.
class KeychainManagerKeyring : public ::testing::Test {
protected:
    void SetUp() override { QB_REQUIRE_KEYRING(); }
    void TearDown() override
    {
        for (const QString& user : m_users) {
            for (const QString& service : {kQuorbel, m_otherProduct})
                while (manager().secKeychainRemoveAllItemsWithUserName(user, service)) {}
        }
    }
    QString user()
    {
        m_users.append(testing_support::uniqueAccountName(QStringLiteral("user")));
        return m_users.last();
    }

    ScopedProductName m_product{kQuorbel};
    const QString m_otherProduct = QStringLiteral("Acme Drive");
    QStringList m_users;
};

TEST_F(KeychainManagerKeyring, SavingAPasswordCreatesTheItemWithTheKeepChoiceOnlyWhenGiven)
{
    const QString alice = user();
    ASSERT_TRUE(manager().savePassword(QStringLiteral("s3cret"), alice, nullptr));
    EXPECT_EQ(rawRecord(alice), (QVariantMap{{"password", "s3cret"}}));

    const bool keep = false;
    ASSERT_TRUE(manager().savePassword(QString(), alice, &keep));
    EXPECT_EQ(rawRecord(alice), (QVariantMap{{"password", "s3cret"}, {"keepSignedIn", false}}));

    bool reportedKeep = true;
    EXPECT_EQ(manager().getPasswordForUser(alice, &reportedKeep), QStringLiteral("s3cret"));
    EXPECT_FALSE(reportedKeep);
}

TEST_F(KeychainManagerKeyring, RefusesToSaveWithoutUserOrAnythingToSave)
{
    EXPECT_FALSE(manager().savePassword(QStringLiteral("pw"), QString(), nullptr));
    EXPECT_FALSE(manager().savePassword(QString(), user(), nullptr));
    EXPECT_FALSE(manager().savePassword(QStringLiteral(""), m_users.last(), nullptr));
    EXPECT_TRUE(rawText(m_users.last(), kQuorbel).isNull());
}

TEST_F(KeychainManagerKeyring, SavingAPasswordKeepsEveryOtherEntry)
{
    const QString bob = user();
    ASSERT_TRUE(manager().saveEncryptionKey(QStringLiteral("key-1"), bob));
    manager().setSkipAuth(true, bob);
    manager().setFlag(false, QStringLiteral("sawWelcome"), bob);
    const bool keep = true;
    ASSERT_TRUE(manager().savePassword(QStringLiteral("pw \"quoted\" \\ ключ"), bob, &keep));
    EXPECT_EQ(rawRecord(bob), (QVariantMap{{"encryptionKey", "key-1"},
                                           {"skipAuth", true},
                                           {"sawWelcome", false},
                                           {"keepSignedIn", true},
                                           {"password", "pw \"quoted\" \\ ключ"}}));
    EXPECT_EQ(manager().getPasswordForUser(bob, nullptr), QStringLiteral("pw \"quoted\" \\ ключ"));
    EXPECT_EQ(manager().getEncryptionKeyForUser(bob), QVariant(QStringLiteral("key-1")));
}

TEST_F(KeychainManagerKeyring, ABarePasswordIsReadAndRewrittenAsARecord)
{
    const QString carol = user();
    ASSERT_EQ(manager().secKeychainModifyOrAddGenericPassword(QStringLiteral("hunter2"), carol), 0);
    bool keep = false;
    EXPECT_EQ(manager().getPasswordForUser(carol, &keep), QStringLiteral("hunter2"));
    EXPECT_TRUE(keep);
    EXPECT_EQ(rawRecord(carol), (QVariantMap{{"password", "hunter2"}, {"keepSignedIn", true}}));
}

TEST_F(KeychainManagerKeyring, AnItemWithoutAPasswordAnswersItsWholeText)
{
    const QString dave = user();
    ASSERT_TRUE(manager().saveEncryptionKey(QStringLiteral("k"), dave));
    bool keep = false;
    EXPECT_EQ(manager().getPasswordForUser(dave, &keep), QStringLiteral(R"({"encryptionKey":"k"})"));
    EXPECT_FALSE(keep);
    EXPECT_TRUE(manager().getPasswordForUser(user(), nullptr).isNull());
}

TEST_F(KeychainManagerKeyring, FlagsJoinAnExistingItemAndNeverCreateOne)
{
    const QString erin = user();
    manager().setFlag(true, QStringLiteral("f"), erin);
    manager().setSkipAuth(true, erin);
    EXPECT_TRUE(rawText(erin, kQuorbel).isNull()) << "no item may be created";
    EXPECT_FALSE(manager().flagExistsForKey(QStringLiteral("f"), erin));

    ASSERT_TRUE(manager().savePassword(QStringLiteral("pw"), erin, nullptr));
    manager().setFlag(false, QStringLiteral("f"), erin);
    EXPECT_TRUE(manager().flagExistsForKey(QStringLiteral("f"), erin)) << "a flag stored as false exists";
    EXPECT_FALSE(manager().flagForKey(QStringLiteral("f"), erin));
    manager().setFlag(true, QStringLiteral("f"), erin);
    EXPECT_TRUE(manager().flagForKey(QStringLiteral("f"), erin));
    EXPECT_FALSE(manager().flagForKey(QStringLiteral("other"), erin));

    EXPECT_FALSE(manager().skipAuthForUser(erin));
    manager().setSkipAuth(true, erin);
    EXPECT_TRUE(manager().skipAuthForUser(erin));

    manager().removeFlagForKey(QStringLiteral("f"), erin);
    manager().removeSkipAuthForUser(erin);
    EXPECT_FALSE(manager().flagExistsForKey(QStringLiteral("f"), erin));
    EXPECT_FALSE(manager().skipAuthForUser(erin));
    EXPECT_EQ(rawRecord(erin), (QVariantMap{{"password", "pw"}}));
}

TEST_F(KeychainManagerKeyring, TheEncryptionKeyCreatesTheItem)
{
    const QString frank = user();
    EXPECT_FALSE(manager().getEncryptionKeyForUser(frank).isValid());
    ASSERT_TRUE(manager().saveEncryptionKey(QStringLiteral("AAEC"), frank));
    ASSERT_TRUE(manager().saveEncryptionKey(QStringLiteral("AAED"), frank));
    EXPECT_EQ(manager().getEncryptionKeyForUser(frank), QVariant(QStringLiteral("AAED")));
    EXPECT_FALSE(manager().saveEncryptionKey(QStringLiteral("x"), QString()));
}

TEST_F(KeychainManagerKeyring, AnItemUnderTheFixedServiceMovesToTheProductName)
{
    ScopedProductName product(m_otherProduct);
    ASSERT_EQ(manager().serviceName(), m_otherProduct);
    const QString gina = user();
    const QString record = JSONEncoder::createJSONStrFromDict({{"password", "old"}, {"encryptionKey", "k"}});
    ASSERT_EQ(manager().secKeychainModifyOrAddGenericPassword(record, gina, kQuorbel), 0);

    EXPECT_EQ(manager().getPasswordForUser(gina, nullptr), QStringLiteral("old"));
    EXPECT_TRUE(rawText(gina, kQuorbel).isNull());
    EXPECT_EQ(rawRecord(gina, m_otherProduct), (QVariantMap{{"password", "old"}, {"encryptionKey", "k"}}));
}

TEST_F(KeychainManagerKeyring, RemovingThePasswordRemovesTheWholeItem)
{
    const QString hal = user();
    ASSERT_TRUE(manager().savePassword(QStringLiteral("pw"), hal, nullptr));
    ASSERT_TRUE(manager().saveEncryptionKey(QStringLiteral("k"), hal));
    EXPECT_TRUE(manager().removePassword(hal));
    EXPECT_TRUE(rawText(hal, kQuorbel).isNull());
    EXPECT_FALSE(manager().removePassword(hal));
    EXPECT_FALSE(manager().removePassword(QString()));
}

TEST_F(KeychainManagerKeyring, LowLevelOperations)
{
    const QString ivy = user();
    EXPECT_EQ(manager().secKeychainModifyOrAddGenericPassword(QStringLiteral("x"), QString()), 0);
    EXPECT_EQ(manager().secKeychainModifyOrAddGenericPassword(QString(), ivy), 0);
    EXPECT_EQ(manager().secKeychainFindGenericPassword(nullptr, ivy), -25300);
    QString untouched = QStringLiteral("before");
    EXPECT_EQ(manager().secKeychainFindGenericPassword(&untouched, QString()), 0);

    // A string is stored up to its first zero character, bytes as they are.
    ASSERT_EQ(manager().secKeychainModifyOrAddGenericPassword(QStringLiteral("ab") + QChar(0) + QStringLiteral("cd"), ivy),
              0);
    EXPECT_EQ(rawText(ivy, kQuorbel), QStringLiteral("ab"));
    ASSERT_EQ(manager().secKeychainModifyOrAddGenericPassword(QByteArray("é\0z", 4), ivy), 0);
    EXPECT_EQ(rawText(ivy, kQuorbel), QStringLiteral("é") + QChar(0) + QStringLiteral("z"));
    EXPECT_EQ(manager().secKeychainFindGenericPassword(&untouched, ivy), 0);
    EXPECT_EQ(untouched, QStringLiteral("before")) << "a result that already holds text is left alone";
}

// --- Failures, through a fake keychain ----------------------------------

class KeychainManagerFailures : public ::testing::Test {
protected:
    FakeKeychain m_keychain;
    ScopedProductName m_product{kQuorbel};
    testing_support::LogCapture m_log;
};

TEST_F(KeychainManagerFailures, AnItemThatCannotBeReadIsLoggedAndGivenUp)
{
    m_keychain.setItem(kQuorbel, "ann", "{\"password\":\"pw\"}");
    m_keychain.copyStatus = platform::errSecDecode;
    EXPECT_EQ(manager().secKeychainFindGenericPassword(nullptr, "ann"), platform::errSecDecode);
    EXPECT_TRUE(m_log.contains(QStringLiteral("Failed to read keychain item ( error = -26275 )")));
    EXPECT_FALSE(m_keychain.hasItem(kQuorbel, "ann"));
}

TEST_F(KeychainManagerFailures, ALockedOrAbsentKeyringNeverCostsTheItem)
{
    const QByteArray record = R"({"password":"pw","encryptionKey":"k"})";
    m_keychain.setItem(kQuorbel, "ann", record);
    m_keychain.copyStatus = platform::errSecInteractionNotAllowed;
    EXPECT_TRUE(manager().getPasswordForUser("ann", nullptr).isNull());
    EXPECT_TRUE(m_log.contains(QStringLiteral("Failed to read keychain item ( error = -25308 )")));
    // A save now would overwrite the entries that could not be read.
    EXPECT_FALSE(manager().savePassword("new", "ann", nullptr));
    EXPECT_FALSE(manager().saveEncryptionKey("k2", "ann"));
    EXPECT_EQ(m_keychain.items().at({kQuorbel.toUtf8(), "ann"}), record);
}

TEST_F(KeychainManagerFailures, AFailedPasswordWriteIsLoggedAndTheItemKept)
{
    m_keychain.setItem(kQuorbel, "bo", R"({"password":"old","encryptionKey":"k"})");
    m_keychain.writeStatus = platform::errSecInternalComponent;
    EXPECT_FALSE(manager().savePassword("new", "bo", nullptr));
    EXPECT_TRUE(m_log.contains(QStringLiteral("Failed to write keychain item ( error = -2070 )")));
    EXPECT_EQ(m_keychain.items().at({kQuorbel.toUtf8(), "bo"}), QByteArray(R"({"password":"old","encryptionKey":"k"})"));
}

TEST_F(KeychainManagerFailures, AServiceErrorOnReadNeverCostsTheItem)
{
    const QByteArray record = R"({"password":"pw","encryptionKey":"k"})";
    for (const platform::KeychainStatus status : {platform::errSecInternalComponent, platform::errSecNoDefaultKeychain}) {
        m_keychain.setItem(kQuorbel, "ann", record);
        m_keychain.copyStatus = status;
        EXPECT_TRUE(manager().getPasswordForUser("ann", nullptr).isNull()) << status;
        // Writing now would replace the entries that could not be read.
        EXPECT_FALSE(manager().savePassword("new", "ann", nullptr)) << status;
        EXPECT_FALSE(manager().saveEncryptionKey("k2", "ann")) << status;
        manager().setFlag(true, "flag", "ann");
        m_keychain.copyStatus = platform::errSecSuccess;
        EXPECT_EQ(m_keychain.items().at({kQuorbel.toUtf8(), "ann"}), record) << status;
    }
}

TEST_F(KeychainManagerFailures, FlagNamesThatWouldBreakTheRecordAreRefused)
{
    const QByteArray record = R"({"password":"pw","encryptionKey":"k"})";
    const QStringList refused{QStringLiteral("say \"hi\""), QStringLiteral("ends with\\"),
                              QStringLiteral("x{\"password\":\"y\"}"), QStringLiteral("nul") + QChar(0)};
    for (const QString& key : refused) {
        m_keychain.setItem(kQuorbel, "fay", record);
        manager().setFlag(true, key, "fay");
        EXPECT_EQ(m_keychain.items().at({kQuorbel.toUtf8(), "fay"}), record) << key.toStdString();
        bool keep = false;
        EXPECT_EQ(manager().getPasswordForUser("fay", &keep), QStringLiteral("pw")) << key.toStdString();
        EXPECT_EQ(manager().getEncryptionKeyForUser("fay").toString(), QStringLiteral("k")) << key.toStdString();
    }
    manager().setFlag(true, QStringLiteral("an ordinary name: with/marks"), "fay");
    EXPECT_TRUE(manager().flagForKey(QStringLiteral("an ordinary name: with/marks"), "fay"));
    EXPECT_EQ(manager().getEncryptionKeyForUser("fay").toString(), QStringLiteral("k"));
}

TEST_F(KeychainManagerFailures, ADamagedRecordIsNeverTakenForABarePassword)
{
    const QByteArray damaged = R"({"password":"pw","say "hi"":true,"encryptionKey":"k"})";
    m_keychain.setItem(kQuorbel, "gus", damaged);
    EXPECT_TRUE(manager().getPasswordForUser("gus", nullptr).isEmpty());
    EXPECT_EQ(m_keychain.items().at({kQuorbel.toUtf8(), "gus"}), damaged);
    // A bare password from before records still converts.
    m_keychain.setItem(kQuorbel, "hal", "plain-old-password");
    EXPECT_EQ(manager().getPasswordForUser("hal", nullptr), QStringLiteral("plain-old-password"));
    EXPECT_EQ(rawRecord("hal").value("password").toString(), QStringLiteral("plain-old-password"));
}

TEST_F(KeychainManagerFailures, ValuesWithANulAreRefusedAndNothingIsStored)
{
    const QString withNul = QStringLiteral("before") + QChar(0) + QStringLiteral("after");
    EXPECT_FALSE(manager().savePassword(withNul, "ida", nullptr));
    EXPECT_FALSE(manager().saveEncryptionKey(withNul, "ida"));
    EXPECT_FALSE(m_keychain.hasItem(kQuorbel, "ida"));

    const QByteArray record = R"({"password":"pw","encryptionKey":"k"})";
    m_keychain.setItem(kQuorbel, "ida", record);
    EXPECT_FALSE(manager().savePassword(withNul, "ida", nullptr));
    EXPECT_FALSE(manager().saveEncryptionKey(withNul, "ida"));
    EXPECT_EQ(m_keychain.items().at({kQuorbel.toUtf8(), "ida"}), record);
}

TEST_F(KeychainManagerFailures, AMoveWhoseWriteFailsKeepsTheOldItem)
{
    ScopedProductName product(QStringLiteral("Acme Drive"));
    m_keychain.setItem(kQuorbel, "cy", R"({"password":"old"})");
    m_keychain.writeStatus = platform::errSecInternalComponent;
    EXPECT_EQ(manager().getPasswordForUser("cy", nullptr), QStringLiteral("old"));
    EXPECT_TRUE(m_keychain.hasItem(kQuorbel, "cy"));
    m_keychain.writeStatus = platform::errSecSuccess;
    EXPECT_EQ(manager().getPasswordForUser("cy", nullptr), QStringLiteral("old"));
    EXPECT_FALSE(m_keychain.hasItem(kQuorbel, "cy"));
    EXPECT_TRUE(m_keychain.hasItem(QStringLiteral("Acme Drive"), "cy"));
}

TEST_F(KeychainManagerFailures, TwoThreadsSettingFlagsLoseNone)
{
    m_keychain.setItem(kQuorbel, "di", R"({"password":"pw"})");
    auto setFlags = [](const QString& prefix) {
        for (int i = 0; i < 50; ++i)
            manager().setFlag(true, prefix + QString::number(i), "di");
    };
    std::thread first(setFlags, QStringLiteral("a"));
    std::thread second(setFlags, QStringLiteral("b"));
    first.join();
    second.join();
    EXPECT_EQ(JSONEncoder::createObjFromJSONStr(QString::fromUtf8(m_keychain.items().at({kQuorbel.toUtf8(), "di"})))->size(),
              101);
}

using KeychainManagerDeathTest = KeychainManagerFailures;

TEST_F(KeychainManagerDeathTest, DataOfAnotherKindIsAProgrammingError)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(manager().secKeychainModifyOrAddGenericPassword(QVariant(42), "ed", kQuorbel),
                 "KeychainManager:40: -\\[KeychainManager secKeychainModifyOrAddGenericPassword:userName:serviceName:\\]: "
                 "Assertion `0' failed");
}

// --- Base64 ----------------------------------------------------------------

TEST(KeychainManagerBase64, EncodesWithoutLineBreaks)
{
    EXPECT_EQ(KeychainManager::encryptString(QStringLiteral("")), QStringLiteral(""));
    EXPECT_FALSE(KeychainManager::encryptString(QStringLiteral("")).isNull());
    EXPECT_TRUE(KeychainManager::encryptString(QString()).isNull());
    EXPECT_EQ(KeychainManager::encryptString(QStringLiteral("hello")), QStringLiteral("aGVsbG8="));
    EXPECT_EQ(KeychainManager::encryptString(QStringLiteral("é")), QStringLiteral("w6k="));
    const QString longText(200, u'x');
    EXPECT_EQ(KeychainManager::encryptString(longText), QString::fromLatin1(longText.toUtf8().toBase64()));
}

TEST(KeychainManagerBase64, DecodingUndoesEncodingForAnyText)
{
    std::mt19937 random(99);
    for (int i = 0; i < 200; ++i) {
        QString text;
        const int length = int(random() % 3000); // beyond one 1024-byte read
        for (int j = 0; j < length; ++j) {
            char32_t code = random() % 0x110000;
            if (code >= 0xD800 && code < 0xE000)
                code = u'?';
            text += QString::fromUcs4(&code, 1);
        }
        ASSERT_EQ(KeychainManager::decryptString(KeychainManager::encryptString(text)), text);
    }
}

TEST(KeychainManagerBase64, BadInputGivesWhatDecodes)
{
    EXPECT_EQ(KeychainManager::decryptString(QStringLiteral("")), QStringLiteral(""));
    EXPECT_TRUE(KeychainManager::decryptString(QString()).isNull());
    const QString nothing = KeychainManager::decryptString(QStringLiteral("!!!!"));
    EXPECT_TRUE(nothing.isEmpty());
    EXPECT_FALSE(nothing.isNull());
    EXPECT_TRUE(KeychainManager::decryptString(QStringLiteral("/w==")).isNull()) << "0xFF is not UTF-8";
}

} // namespace
