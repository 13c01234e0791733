// Pictures of the branded header layouts and of the check window, rendered
// off screen from the sample bundle. They go to $QUORBEL_SCREENSHOT_DIR when
// set (scripts/screenshots.sh points it at docs/images) and to a temporary
// folder otherwise, so that the rendering is exercised by every test run.

#include "BrandingManager.h"
#include "Bundle.h"
#include "QuorbelHeaderView.h"
#include "TestSupport.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

class Screenshots : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::Bundle::setMainBundlePath(QStringLiteral(QB_BUNDLE_DIR));
        BrandingManager::resetSharedManagerForTesting();
        m_folder = qEnvironmentVariable("QUORBEL_SCREENSHOT_DIR");
        if (m_folder.isEmpty())
            m_folder = m_scratch.path();
        QDir().mkpath(m_folder);
    }
    void TearDown() override { QuorbelHeaderView::setConfiguredBrandSource({}); }

    void save(const QImage& image, const QString& name)
    {
        const QString path = m_folder + u'/' + name;
        ASSERT_TRUE(image.save(path)) << path.toStdString();
        const QImage written(path);
        EXPECT_EQ(written.size(), image.size()) << path.toStdString();
    }

    ScratchHome m_home; // no user: the user's brand is -1
    QTemporaryDir m_scratch;
    QString m_folder;
};

struct HeaderLayout {
    const char* file;
    int32_t configuredBrand;
    bool welcome;
    bool generic;
};

TEST_F(Screenshots, HeaderLayouts)
{
    const HeaderLayout layouts[] = {
        {"header-own-brand.png", 1, true, false},
        {"header-partner-brand-15.png", 15, true, false},
        {"header-partner-brand.png", 0, false, false},
        {"header-welcome-reseller.png", 10001, true, false},
        {"header-generic.png", 0, false, true},
    };
    for (const HeaderLayout& layout : layouts) {
        QuorbelHeaderView::setConfiguredBrandSource([brand = layout.configuredBrand] { return brand; });
        QuorbelHeaderView view;
        view.resize(520, 60);
        view.setTitle(QStringLiteral("Installing Quorbel"));
        view.setUseWelcomeBranding(layout.welcome);
        view.setUseGenericBranding(layout.generic);
        QImage image(view.size(), QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        view.render(&image);
        save(image, QString::fromLatin1(layout.file));
    }
}

} // namespace
