#pragma once
// A scratch main bundle carrying solid-colour brand images, and the current
// user's brand, for the branding and header view tests.

#include "BrandingManager.h"
#include "Bundle.h"
#include "KeyConstants.h"
#include "TestSupport.h"
#include "UserDefaults.h"

#include <QColor>
#include <QDir>
#include <QImage>

namespace testing_support {

inline bool saveSolidImage(const QString& path, QSize size, const QColor& colour)
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image.save(path);
}

class BrandedBundle {
public:
    // Bundle images of these colours and sizes.
    static inline const QColor kBandColour{0, 0, 200};
    static inline const QColor kResellerBandColour{200, 0, 200};
    static inline const QColor kHeaderLogoColour{0, 200, 0};
    static inline const QColor kDefaultLogoColour{200, 0, 0};
    static inline const QColor kPartnerLogoColour{255, 128, 0};
    static inline const QColor kUnusedLogoColour{0, 200, 200};
    static constexpr QSize kHeaderLogoSize{50, 30};
    static constexpr QSize kDefaultLogoSize{80, 40};
    static constexpr QSize kPartnerLogoSize{60, 30};

    BrandedBundle()
    {
        m_bundle = makeBundle(m_home.path(QStringLiteral("Branded.app")), {{"CFBundleIdentifier", "com.example.branded"}});
        writeFile(resource(QStringLiteral("en.lproj/Localizable.strings")), "\"ProductName\" = \"Quorbel\";\n");
        saveSolidImage(resource(QStringLiteral("appheade_bg.png")), {300, 60}, kBandColour);
        saveSolidImage(resource(QStringLiteral("resellerheader_bg.png")), {300, 60}, kResellerBandColour);
        saveSolidImage(resource(QStringLiteral("appheader_logo.png")), kHeaderLogoSize, kHeaderLogoColour);
        saveSolidImage(resource(QStringLiteral("logo-1.bmp")), kDefaultLogoSize, kDefaultLogoColour);
        saveSolidImage(resource(QStringLiteral("logo-15.bmp")), kPartnerLogoSize, kPartnerLogoColour);
        saveSolidImage(resource(QStringLiteral("logo-16.bmp")), {20, 20}, kUnusedLogoColour);
        platform::Bundle::setMainBundlePath(m_bundle);
        BrandingManager::resetSharedManagerForTesting();
    }
    ~BrandedBundle()
    {
        BrandingManager::resetSharedManagerForTesting();
        platform::Bundle::setMainBundlePath(QStringLiteral(QB_BUNDLE_DIR));
    }

    QString resource(const QString& name) const { return m_bundle + QStringLiteral("/Contents/Resources/") + name; }

    // Makes `userName` the last used user, with this "BrandID" (none when invalid).
    static void useUser(const QString& userName, const QVariant& brandID)
    {
        QVariantMap record{{kUserUserName, userName}};
        if (brandID.isValid())
            record.insert(kUserBrandID, brandID);
        auto& defaults = platform::UserDefaults::standardUserDefaults();
        defaults.setObject(QVariantList{record}, kUserList);
        defaults.setObject(userName, kLastUsedUserName);
    }

    // A logo as the client downloads it into the user's support folder.
    static QString downloadLogo(int brandID, const QColor& colour, QSize size = {24, 24})
    {
        const QString path = BrandingManager::brandedLogoFolder() + QStringLiteral("/logo-%1.bmp").arg(brandID);
        saveSolidImage(path, size, colour);
        return path;
    }

private:
    ScratchHome m_home;
    QString m_bundle;
};

} // namespace testing_support
