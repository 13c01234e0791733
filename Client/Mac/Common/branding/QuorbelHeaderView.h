#pragma once
// The branded banner at the top of the application's windows: a background,
// the brand's logo at the right and a title at the left. What it draws
// depends on the current user's brand, on the brand the application was
// configured with and on two switches set by the owning window.
//
// Geometry is given with the origin at the bottom left and y growing upwards;
// viewRect() is the one place that turns it into widget coordinates.

#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>

class QPainter;

class QuorbelHeaderView : public QWidget {
    Q_OBJECT
public:
    explicit QuorbelHeaderView(QWidget* parent = nullptr);

    // Where views find the brand the application was configured with; read
    // once when a view is made. Without a source the brand is 0.
    static void setConfiguredBrandSource(std::function<int32_t()> source);

    // Redraws only while the window is shown; a hidden window shows the new
    // logo when it is next drawn.
    void setLogoImage(const QImage& image);
    // Always redraws.
    void setTitle(const QString& title);
    // The switches and the visibility take effect at the next drawing.
    void setUseGenericBranding(bool useGenericBranding);
    void setUseWelcomeBranding(bool useWelcomeBranding);
    // Whether the banner is drawn at all. (Not QWidget::setVisible, which
    // shows and hides the widget itself.)
    void setBannerVisible(bool visible);

    QImage logoImage() const { return m_logoImage; }
    QString title() const { return m_title; }
    bool useGenericBranding() const { return m_useGenericBranding; }
    bool useWelcomeBranding() const { return m_useWelcomeBranding; }
    bool bannerVisible() const { return m_isVisible; }
    int32_t configuredBrand() const { return m_type; }

    static constexpr double kBandHeight = 60.0;
    static constexpr double kLogoRightMargin = 15.0;
    static constexpr double kTitleX = 20.0;
    static constexpr double kTitleY = 20.0;
    static constexpr double kTitleHeight = 20.0;
    static constexpr double kTitleRightAllowance = 40.0;
    static constexpr double kDividerHeight = 1.0;
    static const QColor kDividerColor;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // A rectangle given from the bottom-left corner, in widget coordinates.
    QRectF viewRect(double x, double y, double width, double height) const;

    void drawBkgImage(QPainter& painter) const;
    void drawResellerBkgImage(QPainter& painter) const;
    void drawBand(QPainter& painter, const QImage& image) const;
    // Draws the logo at the right of the band; answers its drawn width.
    double drawLogo(QPainter& painter, const QImage& logo) const;
    void fillBounds(QPainter& painter, const QColor& colour) const;
    void drawDivider(QPainter& painter) const;
    // The title cut with an ellipsis to a box of this width.
    void drawTitleInBox(QPainter& painter, double width, const QColor& colour) const;
    // The whole title from the title origin, uncut.
    void drawTitleAtOrigin(QPainter& painter, const QColor& colour) const;

    void drawBanner(QPainter& painter) const;
    void drawWelcomeResellerLayout(QPainter& painter) const;
    void drawGenericLayout(QPainter& painter) const;
    void drawOwnBrandLayout(QPainter& painter) const;
    void drawPartnerBrandLayout(QPainter& painter, int32_t brand) const;

    QImage m_bkgImage;
    QImage m_resellerBkgImage;
    QImage m_logoImage;
    QString m_title;
    bool m_useGenericBranding = false;
    bool m_useWelcomeBranding = false;
    bool m_isVisible = true;
    QFont m_font;
    int32_t m_type = 0;
};
