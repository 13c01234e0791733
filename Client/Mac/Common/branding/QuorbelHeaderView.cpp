#include "QuorbelHeaderView.h"

#include "BrandingManager.h"
#include "BundleImage.h"
#include "LocalizedString.h"

#include <QFontMetricsF>
#include <QPainter>

#include <cmath>
#include <limits>

namespace {

constexpr int32_t kOwnBrand = 1;
constexpr int32_t kPartnerBrand = 15;
constexpr int32_t kHighestOwnBrand = 10000;

QFont titleFont()
{
    QFont font(QStringLiteral("Lucida Grande"));
    font.setBold(true);
    // Sizes in this view are in view units, so the font is sized in them too.
    font.setPixelSize(16);
    return font;
}

} // namespace

const QColor QuorbelHeaderView::kDividerColor = QColor::fromRgbF(1.0f / 3, 1.0f / 3, 1.0f / 3);

QuorbelHeaderView::QuorbelHeaderView(QWidget* parent)
    : QWidget(parent), m_bkgImage(bundleImageNamed(QStringLiteral("appheade_bg.png"))),
      m_resellerBkgImage(bundleImageNamed(QStringLiteral("resellerheader_bg.png"))),
      m_logoImage(bundleImageNamed(QStringLiteral("appheader_logo.png"))),
      m_title(QBLocalizedString(QStringLiteral("ProductName"))), m_font(titleFont()),
      m_type(BrandingManager::configuredBrand())
{
}

void QuorbelHeaderView::setConfiguredBrandSource(std::function<int32_t()> source)
{
    BrandingManager::setConfiguredBrandSource(std::move(source));
}

void QuorbelHeaderView::setLogoImage(const QImage& image)
{
    m_logoImage = image;
    if (window()->isVisible())
        update();
}

void QuorbelHeaderView::setTitle(const QString& title)
{
    m_title = title;
    update();
}

void QuorbelHeaderView::setUseGenericBranding(bool useGenericBranding)
{
    m_useGenericBranding = useGenericBranding;
}

void QuorbelHeaderView::setUseWelcomeBranding(bool useWelcomeBranding)
{
    m_useWelcomeBranding = useWelcomeBranding;
}

void QuorbelHeaderView::setBannerVisible(bool visible)
{
    m_isVisible = visible;
}

QRectF QuorbelHeaderView::viewRect(double x, double y, double width, double height) const
{
    return QRectF(x, double(this->height()) - y - height, width, height);
}

void QuorbelHeaderView::drawBand(QPainter& painter, const QImage& image) const
{
    if (!image.isNull())
        painter.drawImage(viewRect(0, 0, width(), kBandHeight), image, QRectF(image.rect()));
}

void QuorbelHeaderView::drawBkgImage(QPainter& painter) const
{
    drawBand(painter, m_bkgImage);
}

void QuorbelHeaderView::drawResellerBkgImage(QPainter& painter) const
{
    drawBand(painter, m_resellerBkgImage);
}

double QuorbelHeaderView::drawLogo(QPainter& painter, const QImage& logo) const
{
    double logoWidth = logo.width();
    double logoHeight = logo.height();
    if (logoHeight > kBandHeight) {
        logoWidth = logoWidth * kBandHeight / logoHeight;
        logoHeight = kBandHeight;
    }
    const double y = std::trunc((kBandHeight - logoHeight) * 0.5);
    if (!logo.isNull())
        painter.drawImage(viewRect(width() - logoWidth - kLogoRightMargin, y, logoWidth, logoHeight), logo,
                          QRectF(logo.rect()));
    return logoWidth;
}

void QuorbelHeaderView::fillBounds(QPainter& painter, const QColor& colour) const
{
    painter.fillRect(rect(), colour);
}

void QuorbelHeaderView::drawDivider(QPainter& painter) const
{
    painter.fillRect(viewRect(0, 0, width(), kDividerHeight), kDividerColor);
}

void QuorbelHeaderView::drawTitleInBox(QPainter& painter, double width, const QColor& colour) const
{
    const QFontMetricsF metrics(m_font);
    const QString fitted = width > 0 ? metrics.elidedText(m_title, Qt::ElideRight, width) : QString();
    painter.setFont(m_font);
    painter.setPen(colour);
    painter.drawText(viewRect(kTitleX, kTitleY, std::max(width, 0.0), kTitleHeight), Qt::AlignLeft | Qt::AlignTop, fitted);
}

void QuorbelHeaderView::drawTitleAtOrigin(QPainter& painter, const QColor& colour) const
{
    const QFontMetricsF metrics(m_font);
    painter.setFont(m_font);
    painter.setPen(colour);
    const QRectF line = viewRect(kTitleX, kTitleY, metrics.horizontalAdvance(m_title) + 1, metrics.height());
    painter.drawText(line, Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, m_title);
}

void QuorbelHeaderView::drawWelcomeResellerLayout(QPainter& painter) const
{
    fillBounds(painter, Qt::white);
    drawDivider(painter);
    drawTitleInBox(painter, width() - kTitleRightAllowance, Qt::black);
}

void QuorbelHeaderView::drawGenericLayout(QPainter& painter) const
{
    drawBkgImage(painter);
    drawTitleAtOrigin(painter, Qt::white);
}

void QuorbelHeaderView::drawOwnBrandLayout(QPainter& painter) const
{
    drawBkgImage(painter);
    const double logoWidth = drawLogo(painter, m_logoImage);
    drawTitleInBox(painter, width() - logoWidth - kTitleRightAllowance, Qt::white);
}

void QuorbelHeaderView::drawPartnerBrandLayout(QPainter& painter, int32_t brand) const
{
    const QImage logo = BrandingManager::sharedManager().getBrandedLogoImageForBrandID(brand);
    if (brand == kPartnerBrand)
        fillBounds(painter, Qt::black);
    else if (brand <= kHighestOwnBrand)
        fillBounds(painter, Qt::white);
    else
        drawResellerBkgImage(painter);
    drawLogo(painter, logo);
    drawDivider(painter);
    // The title leaves room for the logo's natural width, even when it was drawn smaller.
    drawTitleInBox(painter, width() - logo.width() - kTitleRightAllowance,
                   brand == kPartnerBrand ? QColor(Qt::white) : QColor(Qt::black));
}

void QuorbelHeaderView::drawBanner(QPainter& painter) const
{
    int32_t brand = BrandingManager::sharedManager().getBrandingID();
    if (m_useWelcomeBranding) {
        if (m_type > kHighestOwnBrand)
            return drawWelcomeResellerLayout(painter);
        brand = m_type == kPartnerBrand ? kPartnerBrand : kOwnBrand;
    }
    if (m_useGenericBranding)
        drawGenericLayout(painter);
    else if (brand == kOwnBrand)
        drawOwnBrandLayout(painter);
    else
        drawPartnerBrandLayout(painter, brand);
}

void QuorbelHeaderView::paintEvent(QPaintEvent* event)
{
    if (!m_isVisible)
        return;
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.setRenderHint(QPainter::TextAntialiasing);
        drawBanner(painter);
    }
    QWidget::paintEvent(event);
}
