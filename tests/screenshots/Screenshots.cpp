// Pictures of the branded header layouts, rendered off screen, and of the
// check window as a window manager shows it, frame and sheets included, taken
// from the screen. Not part of the test suite: run by scripts/screenshots.sh
// under Xvfb with openbox, which points $QUORBEL_SCREENSHOT_DIR at
// docs/images (without it they go to a temporary folder).

#include "Alert.h"
#include "Authorization.h"
#include "BrandingManager.h"
#include "Bundle.h"
#include "InstallCheckManager.h"
#include "KeyConstants.h"
#include "LocalizedString.h"
#include "MoveProgressWindow.h"
#include "QuorbelHeaderView.h"
#include "TestSupport.h"
#include "UpdateToolManager.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

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
        {"header-own-brand.png", 1, true, false},      {"header-partner-brand-15.png", 15, true, false},
        {"header-partner-brand.png", 0, false, false}, {"header-welcome-reseller.png", 10001, true, false},
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

// The window and whatever lies on it, frame included, as on the screen, once
// `shown` is up and framed by the window manager.
QImage onScreen(QWidget* window, QWidget* shown)
{
    EXPECT_TRUE(QTest::qWaitForWindowExposed(shown));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown->frameGeometry() != shown->geometry(); }, 5000)) << "no frame";
    QTest::qWait(300); // the window manager draws its frame after the client
    const QRect frame = window->frameGeometry();
    return window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()).toImage();
}

TEST_F(Screenshots, CheckWindow)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "the check window is taken from a screen with a window manager: run scripts/screenshots.sh";
    ScopedEnvironment environment;
    environment.unset("QUORBEL_ALERT_ANSWER");
    environment.unset("QUORBEL_CHECK_WINDOW_ANSWER");
    QuorbelHeaderView::setConfiguredBrandSource([] { return 1; });
    // A core with the wrong mode and a missing file-system bundle: both sentences.
    const QString bundle = makeBundle(m_home.path(QStringLiteral("Shots.app")), {});
    const QString resources = bundle + QStringLiteral("/Contents/Resources");
    const QString core = makeBundle(resources + QStringLiteral("/QuorbelCore.app"), {});
    ::chmod(QFile::encodeName(core).constData(), 0775);
    const QVariantList items{
        QVariantMap{{kInstallType, "CoreApp"}, {kName, "QuorbelCore"}, {kResource, "QuorbelCore.app"}},
        QVariantMap{{kInstallType, "Bundle"},
                    {kName, "QuorbelFS"},
                    {kInstaller, "QuorbelFS.pkg"},
                    {kInstallPath, m_home.systemRoot() + "/Library/Filesystems/QuorbelFS.fs"},
                    {kVersion, "1.0.0"}},
    };
    ASSERT_TRUE(writePlist(resources + QStringLiteral("/RequiredItems.plist"), QVariantMap{{"RequiredItems", items}}));
    InstallCheckManager manager{platform::Bundle(bundle)};
    ASSERT_FALSE(manager.checkForRequiredItems());
    manager.checkWindow->show();
    save(onScreen(manager.checkWindow, manager.checkWindow), QStringLiteral("check-window.png"));

    // Repairing: the progress sheet as "Continue" puts it up.
    manager.repairProgressWindow->open();
    manager.repairProgressIndicator->setRange(0, 0);
    save(onScreen(manager.checkWindow, manager.repairProgressWindow), QStringLiteral("check-window-repairing.png"));
    manager.repairProgressWindow->done(0);

    // After a failed run: the failure alert as a sheet.
    manager.repairFailed();
    auto* alert = manager.checkWindow->findChild<QMessageBox*>();
    ASSERT_NE(alert, nullptr);
    save(onScreen(manager.checkWindow, alert), QStringLiteral("check-window-failed.png"));
    alert->done(0);
}

// Refuses the administrator right as the system's prompt would, with one status.
class RefusingAuthorization final : public platform::AuthorizationService {
    class Session final : public platform::AuthorizationSession {
    public:
        explicit Session(int32_t refusal) : m_refusal(refusal) {}
        int32_t copyAdminRights() override { return m_refusal; }
        int32_t perform(const QStringList&, platform::PrivilegedOutcome*) override
        {
            return platform::errAuthorizationInvalidSet;
        }

    private:
        int32_t m_refusal;
    };

public:
    std::unique_ptr<platform::AuthorizationSession> createSession(int32_t* status) override
    {
        *status = platform::errAuthorizationSuccess;
        return std::make_unique<Session>(refusal);
    }
    int32_t refusal = platform::errAuthorizationDenied;
};

// The failure sheet after each refusal of the administrator prompt, reason included.
TEST_F(Screenshots, RefusedRepairSheets)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "the sheets are taken from a screen with a window manager: run scripts/screenshots.sh";
    ScopedEnvironment environment;
    environment.unset("QUORBEL_ALERT_ANSWER");
    environment.unset("QUORBEL_CHECK_WINDOW_ANSWER");
    QuorbelHeaderView::setConfiguredBrandSource([] { return 1; });
    const QString bundle = makeBundle(m_home.path(QStringLiteral("Refused.app")), {});
    const QString resources = bundle + QStringLiteral("/Contents/Resources");
    ::chmod(QFile::encodeName(makeBundle(resources + QStringLiteral("/QuorbelCore.app"), {})).constData(), 0775);
    const QVariantList items{QVariantMap{{kInstallType, "CoreApp"}, {kName, "QuorbelCore"}, {kResource, "QuorbelCore.app"}}};
    ASSERT_TRUE(writePlist(resources + QStringLiteral("/RequiredItems.plist"), QVariantMap{{"RequiredItems", items}}));
    InstallCheckManager manager{platform::Bundle(bundle)};
    ASSERT_FALSE(manager.checkForRequiredItems());
    manager.checkWindow->show();
    onScreen(manager.checkWindow, manager.checkWindow); // framed before the sheets come
    RefusingAuthorization authorization;
    platform::AuthorizationService::setShared(&authorization);
    const struct {
        const char* file;
        int32_t refusal;
    } shots[] = {
        {"check-window-refused-cancelled.png", platform::errAuthorizationCanceled},
        {"check-window-refused-not-authorised.png", platform::errAuthorizationDenied},
        {"check-window-refused-no-prompt.png", platform::errAuthorizationInteractionNotAllowed},
    };
    for (const auto& shot : shots) {
        authorization.refusal = shot.refusal;
        // A privileged run asks for the rights and is refused; the run's failure follows.
        UpdateToolManager::sharedManager().repairPermissions();
        manager.repairFailed();
        QMessageBox* alert = nullptr;
        for (QMessageBox* box : manager.checkWindow->findChildren<QMessageBox*>())
            alert = box->isVisible() ? box : alert;
        ASSERT_NE(alert, nullptr) << shot.file;
        // The reason makes the sheet taller than the window: the picture holds both.
        onScreen(alert, alert);
        const QRect both = manager.checkWindow->frameGeometry() | alert->frameGeometry();
        save(alert->screen()->grabWindow(0, both.x(), both.y(), both.width(), both.height()).toImage(),
             QString::fromLatin1(shot.file));
        alert->done(0);
    }
    platform::AuthorizationService::setShared(nullptr);
}

// The window of the move's copy, as it shows once the copy has lasted a second.
TEST_F(Screenshots, MoveProgressWindow)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "the progress window is taken from a screen with a window manager: run scripts/screenshots.sh";
    const QLocale locale;
    const auto counts = [&](qint64 files, qint64 bytes) {
        return QBLocalizedStringWithArguments(QStringLiteral("MoveProgressCounts"), locale.toString(files),
                                              locale.toString(20000), locale.formattedDataSize(bytes));
    };
    const auto window = makeMoveProgressWindow(QBLocalizedString(QStringLiteral("MoveProgressMoving")), counts(20000, 0));
    ASSERT_TRUE(window);
    window->update(420, counts(8400, 901943132),
                   QBLocalizedStringWithArguments(QStringLiteral("MoveProgressTitle"), QStringLiteral("42%")));
    QWidget* shown = nullptr;
    for (QWidget* candidate : QApplication::topLevelWidgets())
        if (candidate->isVisible() && qobject_cast<QDialog*>(candidate))
            shown = candidate;
    ASSERT_NE(shown, nullptr);
    save(onScreen(shown, shown), QStringLiteral("move-progress.png"));
}

} // namespace
