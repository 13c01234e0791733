#include "BrandedBundle.h"
#include "QuorbelHeaderView.h"

#include <QFile>
#include <QLabel>
#include <QPixmap>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

QColor colourOf(const QImage& image)
{
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

class BrandingTest : public ::testing::Test {
protected:
    BrandingManager& branding() { return BrandingManager::sharedManager(); }
    QColor logoColourFor(int brandID) { return colourOf(branding().getBrandedLogoImageForBrandID(brandID)); }

    BrandedBundle m_bundle;
};

TEST_F(BrandingTest, WithoutALastUsedUserTheBrandIsMinusOneWithItsOwnLogoName)
{
    EXPECT_EQ(branding().getBrandingID(), -1);
    EXPECT_EQ(colourOf(branding().getBrandedLogoImage()), BrandedBundle::kDefaultLogoColour);

    BrandedBundle::downloadLogo(-1, Qt::yellow);
    EXPECT_EQ(colourOf(branding().getBrandedLogoImage()), QColor(Qt::yellow));
}

TEST_F(BrandingTest, TheBrandIsTheLastUsedUsersAndIsReadAnewOnEveryCall)
{
    BrandedBundle::useUser(QStringLiteral("ann"), QVariant());
    EXPECT_EQ(branding().getBrandingID(), -1);
    BrandedBundle::useUser(QStringLiteral("ann"), 15);
    EXPECT_EQ(branding().getBrandingID(), 15);
    EXPECT_EQ(colourOf(branding().getBrandedLogoImage()), BrandedBundle::kPartnerLogoColour);
    BrandedBundle::useUser(QStringLiteral("bob"), 10001);
    EXPECT_EQ(branding().getBrandingID(), 10001);
}

TEST_F(BrandingTest, OnlyBrandFifteenMayUseALogoFromTheBundle)
{
    EXPECT_EQ(logoColourFor(15), BrandedBundle::kPartnerLogoColour);
    EXPECT_EQ(logoColourFor(16), BrandedBundle::kDefaultLogoColour) << "the bundle's logo-16.bmp must be ignored";
    EXPECT_EQ(logoColourFor(1), BrandedBundle::kDefaultLogoColour);
    EXPECT_EQ(logoColourFor(0), BrandedBundle::kDefaultLogoColour);
}

TEST_F(BrandingTest, DownloadedLogosComeFirstAndAnUnreadableOneFallsBackToTheDefault)
{
    BrandedBundle::downloadLogo(1, Qt::yellow);
    BrandedBundle::downloadLogo(16, Qt::cyan);
    EXPECT_EQ(logoColourFor(1), QColor(Qt::yellow));
    EXPECT_EQ(logoColourFor(16), QColor(Qt::cyan));

    // A damaged download for brand 15 does not bring back the bundle's logo-15.
    const QString damaged = BrandedBundle::downloadLogo(15, Qt::cyan);
    writeFile(damaged, "BM not really a bitmap");
    EXPECT_EQ(logoColourFor(15), BrandedBundle::kDefaultLogoColour);
}

TEST_F(BrandingTest, ResellersAreTheBrandsAboveTenThousand)
{
    BrandedBundle::useUser(QStringLiteral("ann"), 10000);
    EXPECT_FALSE(branding().isReseller());
    BrandedBundle::useUser(QStringLiteral("ann"), 10001);
    EXPECT_TRUE(branding().isReseller());
    BrandedBundle::useUser(QStringLiteral("ann"), -5);
    EXPECT_FALSE(branding().isReseller());
}

TEST_F(BrandingTest, TheSettersGiveTheViewsTheUsersLogoAndLeaveThemAloneWithoutOne)
{
    BrandedBundle::useUser(QStringLiteral("ann"), 15);
    QuorbelHeaderView header;
    QLabel imageView;
    branding().setHeaderViewBrandedLogoImage(&header);
    branding().setBrandedLogoImage(&imageView);
    EXPECT_EQ(colourOf(header.logoImage()), BrandedBundle::kPartnerLogoColour);
    EXPECT_EQ(colourOf(imageView.pixmap().toImage()), BrandedBundle::kPartnerLogoColour);

    // No logo at all: neither the bundle's nor a download.
    QFile::remove(m_bundle.resource(QStringLiteral("logo-15.bmp")));
    QFile::remove(m_bundle.resource(QStringLiteral("logo-1.bmp")));
    BrandedBundle::useUser(QStringLiteral("ann"), 3);
    EXPECT_TRUE(branding().getBrandedLogoImage().isNull());
    branding().setHeaderViewBrandedLogoImage(&header);
    branding().setBrandedLogoImage(&imageView);
    EXPECT_EQ(colourOf(header.logoImage()), BrandedBundle::kPartnerLogoColour);
    EXPECT_EQ(colourOf(imageView.pixmap().toImage()), BrandedBundle::kPartnerLogoColour);
    branding().setHeaderViewBrandedLogoImage(nullptr);
}

} // namespace
