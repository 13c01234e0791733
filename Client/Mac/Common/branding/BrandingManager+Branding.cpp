#include "BrandingManager.h"

#include "BundleImage.h"
#include "Format.h"
#include "KeyConstants.h"
#include "QuorbelHeaderView.h"
#include "SystemLocations.h"
#include "UserManager.h"

#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPixmap>

namespace {

constexpr int32_t kNoBrand = -1;
constexpr int32_t kPartnerBrand = 15;
constexpr int32_t kHighestOwnBrand = 10000;

const QString kDefaultLogoName = QStringLiteral("logo-1.bmp");

} // namespace

QString BrandingManager::brandedLogoFolder()
{
    return platform::locations::expandTilde(QStringLiteral("~/Library/Application Support/Quorbel"));
}

int32_t BrandingManager::getBrandingID() const
{
    // A fresh manager per query: the user or the brand may change at any time.
    const UserManager users;
    return users.objectForKeyAsInt(kUserBrandID, users.lastUsedUserName(), kNoBrand);
}

QImage BrandingManager::getBrandedLogoImage() const
{
    return getBrandedLogoImageForBrandID(getBrandingID());
}

QImage BrandingManager::getBrandedLogoImageForBrandID(int32_t brandID) const
{
    const QString fileName = qbFormat("logo-%1.bmp", brandID);
    const QString downloaded = brandedLogoFolder() + u'/' + fileName;
    if (QFileInfo::exists(downloaded)) {
        const QImage image(downloaded);
        if (!image.isNull())
            return image;
    } else if (brandID == kPartnerBrand) {
        const QImage image = bundleImageNamed(fileName);
        if (!image.isNull())
            return image;
    }
    return bundleImageNamed(kDefaultLogoName);
}

void BrandingManager::setBrandedLogoImage(QLabel* imageView) const
{
    const QImage logo = getBrandedLogoImage();
    if (imageView && !logo.isNull())
        imageView->setPixmap(QPixmap::fromImage(logo));
}

void BrandingManager::setHeaderViewBrandedLogoImage(QuorbelHeaderView* headerView) const
{
    const QImage logo = getBrandedLogoImage();
    if (headerView && !logo.isNull())
        headerView->setLogoImage(logo);
}

bool BrandingManager::isReseller() const
{
    return getBrandingID() > kHighestOwnBrand;
}
