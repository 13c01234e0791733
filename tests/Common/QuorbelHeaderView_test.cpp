#include "QuorbelHeaderView.h"

#include "BrandedBundle.h"
#include "QtPrinters.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTest>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

constexpr int kWidth = 400;
constexpr int kHeight = 60;
const QColor kUntouched{1, 2, 3};

// Rectangles in the banner's own terms: origin at the bottom left.
QRect fromBottomLeft(int x, int y, int width, int height)
{
    return QRect(x, kHeight - y - height, width, height);
}

// How many pixels of `area` are (or, with `wanted` false, are not) `colour`.
int countPixels(const QImage& image, const QRect& area, const QColor& colour, bool wanted = true)
{
    int count = 0;
    const QRect clipped = area & image.rect();
    for (int y = clipped.top(); y <= clipped.bottom(); ++y)
        for (int x = clipped.left(); x <= clipped.right(); ++x)
            count += (image.pixelColor(x, y) == colour) == wanted ? 1 : 0;
    return count;
}

int pixelCount(const QRect& area)
{
    return area.width() * area.height();
}

bool isFilledWith(const QImage& image, const QRect& area, const QColor& colour)
{
    return countPixels(image, area, colour) == pixelCount(area & image.rect());
}

class HeaderViewTest : public ::testing::Test {
protected:
    void SetUp() override { QuorbelHeaderView::setConfiguredBrandSource({}); }
    void TearDown() override { QuorbelHeaderView::setConfiguredBrandSource({}); }

    std::unique_ptr<QuorbelHeaderView> makeView(int32_t configuredBrand)
    {
        QuorbelHeaderView::setConfiguredBrandSource([configuredBrand] { return configuredBrand; });
        auto view = std::make_unique<QuorbelHeaderView>();
        view->resize(kWidth, kHeight);
        return view;
    }
    static QImage render(QuorbelHeaderView& view)
    {
        QImage image(view.size(), QImage::Format_RGB32);
        image.fill(kUntouched);
        view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image;
    }
    static QImage solid(QSize size, const QColor& colour)
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        return image;
    }
    // The logo at `where` and nothing of its colour around it.
    static void expectLogoAt(const QImage& image, const QRect& where, const QColor& colour)
    {
        EXPECT_TRUE(isFilledWith(image, where, colour)) << "logo not filling its rectangle";
        EXPECT_EQ(countPixels(image, image.rect(), colour), pixelCount(where)) << "logo drawn beyond its rectangle";
    }

    BrandedBundle m_bundle;
};

TEST_F(HeaderViewTest, OwnBrandLayoutIsTheBandWithTheViewsLogoAndNoDivider)
{
    BrandedBundle::useUser(QStringLiteral("ann"), 1);
    const auto view = makeView(0);
    const QImage image = render(*view);
    const QRect logo = fromBottomLeft(kWidth - 50 - 15, 15, 50, 30);
    expectLogoAt(image, logo, BrandedBundle::kHeaderLogoColour);
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 0, kWidth, 1), BrandedBundle::kBandColour));
    EXPECT_GT(countPixels(image, fromBottomLeft(20, 20, 100, 20), Qt::white), 0) << "white title expected";
}

TEST_F(HeaderViewTest, LogosAreScaledToTheBandAndCentredWithTheOffsetTruncated)
{
    BrandedBundle::useUser(QStringLiteral("ann"), 1);
    const auto view = makeView(0);
    const QColor logoColour(Qt::magenta);
    struct Case {
        QSize natural;
        QRect expected;
    };
    for (const Case& c : {Case{{80, 120}, fromBottomLeft(kWidth - 40 - 15, 0, 40, 60)},
                          Case{{50, 30}, fromBottomLeft(kWidth - 50 - 15, 15, 50, 30)},
                          Case{{50, 45}, fromBottomLeft(kWidth - 50 - 15, 7, 50, 45)}}) {
        SCOPED_TRACE(testing::Message() << c.natural.width() << "x" << c.natural.height());
        view->setLogoImage(solid(c.natural, logoColour));
        expectLogoAt(render(*view), c.expected, logoColour);
    }
}

TEST_F(HeaderViewTest, WithoutSwitchesOrUserThePartnerLayoutIsWhiteWithTheDefaultLogoAndDivider)
{
    const auto view = makeView(0);
    const QImage image = render(*view);
    expectLogoAt(image, fromBottomLeft(kWidth - 80 - 15, 10, 80, 40), BrandedBundle::kDefaultLogoColour);
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 0, kWidth, 1), QuorbelHeaderView::kDividerColor));
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 50, kWidth, 10), Qt::white));
    EXPECT_GT(countPixels(image, fromBottomLeft(20, 20, 100, 20), Qt::black), 0) << "black title expected";
}

TEST_F(HeaderViewTest, ResellerUsersGetTheResellerBandUnderTheirLogo)
{
    BrandedBundle::useUser(QStringLiteral("ann"), 10001);
    BrandedBundle::downloadLogo(10001, Qt::yellow, {30, 20});
    const auto view = makeView(0);
    const QImage image = render(*view);
    expectLogoAt(image, fromBottomLeft(kWidth - 30 - 15, 20, 30, 20), Qt::yellow);
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 45, kWidth, 15), BrandedBundle::kResellerBandColour));
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 0, kWidth, 1), QuorbelHeaderView::kDividerColor));
}

TEST_F(HeaderViewTest, WelcomeBrandingFollowsTheConfiguredBrandWhateverTheUsersBrand)
{
    BrandedBundle::useUser(QStringLiteral("ann"), 1);
    const auto partner = makeView(15);
    partner->setUseWelcomeBranding(true);
    QImage image = render(*partner);
    expectLogoAt(image, fromBottomLeft(kWidth - 60 - 15, 15, 60, 30), BrandedBundle::kPartnerLogoColour);
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 50, kWidth, 10), Qt::black));
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 0, kWidth, 1), QuorbelHeaderView::kDividerColor));
    EXPECT_GT(countPixels(image, fromBottomLeft(20, 20, 100, 20), Qt::white), 0) << "white title expected";

    BrandedBundle::useUser(QStringLiteral("ann"), 15);
    const auto own = makeView(0);
    own->setUseWelcomeBranding(true);
    image = render(*own);
    expectLogoAt(image, fromBottomLeft(kWidth - 50 - 15, 15, 50, 30), BrandedBundle::kHeaderLogoColour);
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 0, kWidth, 1), BrandedBundle::kBandColour));
}

TEST_F(HeaderViewTest, WelcomeResellerLayoutIsWhiteWithADividerAndNoLogoEvenWhenGeneric)
{
    const auto view = makeView(10001);
    view->setUseWelcomeBranding(true);
    view->setUseGenericBranding(true);
    const QImage image = render(*view);
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 0, kWidth, 1), QuorbelHeaderView::kDividerColor));
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 1, kWidth, 19), Qt::white));
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 40, kWidth, 20), Qt::white));
    EXPECT_GT(countPixels(image, fromBottomLeft(20, 20, 100, 20), Qt::black), 0) << "black title expected";
    EXPECT_EQ(countPixels(image, image.rect(), BrandedBundle::kHeaderLogoColour), 0);
}

TEST_F(HeaderViewTest, GenericLayoutIsTheBandAndTheTitleOnly)
{
    BrandedBundle::useUser(QStringLiteral("ann"), 15);
    const auto view = makeView(0);
    view->setUseGenericBranding(true);
    const QImage image = render(*view);
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(0, 0, kWidth, 1), BrandedBundle::kBandColour));
    EXPECT_TRUE(isFilledWith(image, fromBottomLeft(200, 0, kWidth - 200, 60), BrandedBundle::kBandColour));
    EXPECT_GT(countPixels(image, fromBottomLeft(20, 20, 100, 20), Qt::white), 0) << "white title expected";
}

TEST_F(HeaderViewTest, LongTitlesAreCutToTheirBoxExceptInTheGenericLayout)
{
    BrandedBundle::useUser(QStringLiteral("ann"), 1);
    const auto view = makeView(0);
    view->setTitle(QString(80, u'W'));
    // Own brand: the box ends 20 before the logo's left edge, which is 15 from the right.
    const int boxEnd = kWidth - 50 - 20;
    QImage image = render(*view);
    EXPECT_GT(countPixels(image, fromBottomLeft(20, 20, boxEnd - 20, 20), Qt::white), 0);
    EXPECT_EQ(countPixels(image, fromBottomLeft(boxEnd, 0, 5, 60), BrandedBundle::kBandColour, false), 0)
        << "title drawn beyond its box";

    view->setUseWelcomeBranding(false);
    BrandedBundle::useUser(QStringLiteral("ann"), 7); // partner layout on white, default logo 80 wide
    image = render(*view);
    const int partnerBoxEnd = kWidth - 80 - 20;
    EXPECT_EQ(countPixels(image, fromBottomLeft(partnerBoxEnd, 1, 5, 59), Qt::white, false), 0)
        << "title drawn beyond its box";

    view->setUseGenericBranding(true);
    image = render(*view);
    EXPECT_GT(countPixels(image, fromBottomLeft(kWidth - 40, 20, 40, 20), Qt::white), 0) << "the generic title runs on uncut";
}

TEST_F(HeaderViewTest, AnInvisibleBannerDrawsNothing)
{
    const auto view = makeView(0);
    view->setBannerVisible(false);
    const QImage image = render(*view);
    EXPECT_TRUE(isFilledWith(image, image.rect(), kUntouched));
    view->setBannerVisible(true);
    EXPECT_FALSE(isFilledWith(render(*view), image.rect(), kUntouched));
}

// Counts the paint events of a view.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 2000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < timeoutMs)
        QTest::qWait(10);
    return condition();
}

TEST_F(HeaderViewTest, OnlyTitlesAndLogosOfShownWindowsAskForARedraw)
{
    const auto view = makeView(0);
    PaintCounter counter;
    view->installEventFilter(&counter);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    ASSERT_TRUE(waitFor([&] { return counter.paints > 0; }));

    counter.paints = 0;
    view->setUseGenericBranding(true);
    view->setUseWelcomeBranding(true);
    view->setBannerVisible(false);
    QTest::qWait(100);
    EXPECT_EQ(counter.paints, 0);

    view->setTitle(QStringLiteral("New"));
    EXPECT_TRUE(waitFor([&] { return counter.paints > 0; }));
    counter.paints = 0;
    view->setLogoImage(solid({10, 10}, Qt::magenta));
    EXPECT_TRUE(waitFor([&] { return counter.paints > 0; }));

    view->hide();
    view->setBannerVisible(true);
    view->setUseWelcomeBranding(true);
    view->setUseGenericBranding(false);
    view->setLogoImage(solid({12, 12}, Qt::cyan));
    expectLogoAt(render(*view), fromBottomLeft(kWidth - 12 - 15, 24, 12, 12), Qt::cyan);
}

} // namespace
