#include "Keychain.h"

#include "KeyringSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using namespace platform;
using testing_support::uniqueAccountName;

const QByteArray kService = QByteArrayLiteral("com.quorbel.tests.platform");

class KeychainService : public ::testing::Test {
protected:
    void SetUp() override { QB_REQUIRE_KEYRING(); }
    void TearDown() override
    {
        for (const QByteArray& account : m_accounts) {
            for (const QByteArray& service : {kService, kService + "2"}) {
                std::unique_ptr<KeychainItem> item;
                if (keychain().findGenericPassword(service, account, &item) == errSecSuccess)
                    keychain().deleteItem(*item);
            }
        }
    }

    Keychain& keychain() { return Keychain::shared(); }
    QByteArray account()
    {
        m_accounts.append(uniqueAccountName(QStringLiteral("user")).toUtf8());
        return m_accounts.last();
    }
    QByteArray dataOf(const QByteArray& service, const QByteArray& account)
    {
        std::unique_ptr<KeychainItem> item;
        EXPECT_EQ(keychain().findGenericPassword(service, account, &item), errSecSuccess);
        QByteArray data;
        if (item) {
            EXPECT_EQ(keychain().copyData(*item, &data), errSecSuccess);
        }
        return data;
    }

    QList<QByteArray> m_accounts;
};

TEST_F(KeychainService, AddsFindsModifiesAndDeletesOneItem)
{
    const QByteArray user = account();
    std::unique_ptr<KeychainItem> item;
    EXPECT_EQ(keychain().findGenericPassword(kService, user, &item), errSecItemNotFound);
    EXPECT_FALSE(item);

    const QByteArray anyBytes("\0\xff\xfe{\"x\x01", 7);
    ASSERT_EQ(keychain().addGenericPassword(kService, user, anyBytes), errSecSuccess);
    EXPECT_EQ(dataOf(kService, user), anyBytes);

    ASSERT_EQ(keychain().findGenericPassword(kService, user, &item), errSecSuccess);
    ASSERT_EQ(keychain().modifyData(*item, "second"), errSecSuccess);
    EXPECT_EQ(dataOf(kService, user), "second");

    ASSERT_EQ(keychain().deleteItem(*item), errSecSuccess);
    EXPECT_EQ(keychain().findGenericPassword(kService, user, nullptr), errSecItemNotFound);
}

TEST_F(KeychainService, ItemsAreKeyedByServiceAndAccount)
{
    const QByteArray first = account();
    const QByteArray second = account();
    ASSERT_EQ(keychain().addGenericPassword(kService, first, "a"), errSecSuccess);
    ASSERT_EQ(keychain().addGenericPassword(kService + "2", first, "b"), errSecSuccess);
    ASSERT_EQ(keychain().addGenericPassword(kService, second, "c"), errSecSuccess);
    EXPECT_EQ(dataOf(kService, first), "a");
    EXPECT_EQ(dataOf(kService + "2", first), "b");
    EXPECT_EQ(dataOf(kService, second), "c");
}

TEST_F(KeychainService, RefusesNamesThatCannotBeAttributes)
{
    const QByteArray cut("user\0other", 10);
    EXPECT_EQ(keychain().addGenericPassword(kService, cut, "x"), errSecParam);
    EXPECT_EQ(keychain().findGenericPassword(kService, cut, nullptr), errSecParam);
}

// libsecret keeps its connection for the life of a process, so the absent
// service is looked at from a fresh copy of this test program.
TEST(KeychainWithoutSecretService, ReportsNotAvailable)
{
    if (qEnvironmentVariableIsSet("QB_KEYCHAIN_WITHOUT_SERVICE")) {
        Keychain& keychain = Keychain::shared();
        EXPECT_EQ(keychain.findGenericPassword(kService, "user", nullptr), errSecNotAvailable);
        EXPECT_EQ(keychain.addGenericPassword(kService, "user", "x"), errSecNotAvailable);
        return;
    }
    QTemporaryDir empty;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QB_KEYCHAIN_WITHOUT_SERVICE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + empty.path() + QStringLiteral("/no-bus"));
    environment.remove(QStringLiteral("DISPLAY"));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=KeychainWithoutSecretService.ReportsNotAvailable")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test."))) << output.toStdString();
}

} // namespace
