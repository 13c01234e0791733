#include "KeyringSupport.h"

#include "BrandingManager.h"
#include "Bundle.h"
#include "Keychain.h"
#include "TestSupport.h"

#include <QUuid>

namespace testing_support {

QString keyringUnavailableReason()
{
    if (qEnvironmentVariable("QB_KEYRING_READY") != QLatin1String("1"))
        return QStringLiteral("Skipped: QB_KEYRING_READY is not set, so no unlocked keyring was started. Run the "
                              "tests with scripts/test.sh (dbus-run-session -- scripts/with-keyring.sh ...).");
    const platform::KeychainStatus status = platform::Keychain::shared().findGenericPassword(
        QByteArrayLiteral("com.quorbel.tests.probe"), uniqueAccountName(QStringLiteral("probe")).toUtf8(), nullptr);
    if (status != platform::errSecItemNotFound)
        return QStringLiteral("Skipped: no Secret Service answers on the session bus (status %1).").arg(status);
    return {};
}

QString uniqueAccountName(const QString& prefix)
{
    return prefix + u'-' + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

ScopedProductName::ScopedProductName(const QString& productName)
{
    m_previousBundlePath = platform::Bundle::mainBundle().bundlePath();
    const QString bundle = makeBundle(m_dir.path() + QStringLiteral("/Product.app"),
                                      {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.quorbel.tests")}});
    QString escaped = productName;
    escaped.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
    writeFile(bundle + QStringLiteral("/Contents/Resources/en.lproj/Localizable.strings"),
              QStringLiteral("\"ProductName\" = \"%1\";\n").arg(escaped).toUtf8());
    platform::Bundle::setMainBundlePath(bundle);
    BrandingManager::resetSharedManagerForTesting();
}

ScopedProductName::~ScopedProductName()
{
    platform::Bundle::setMainBundlePath(m_previousBundlePath);
    BrandingManager::resetSharedManagerForTesting();
}

} // namespace testing_support
