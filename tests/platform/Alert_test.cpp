#include "Alert.h"

#include "TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

using namespace testing_support;

namespace {

platform::AlertRequest moveAlert()
{
    platform::AlertRequest request;
    request.messageText = QStringLiteral("Move to Applications folder?");
    request.informativeText = QStringLiteral("I can move myself to the Applications folder if you'd like.");
    request.buttonTitles = QStringList{QStringLiteral("Move to Applications Folder"), QStringLiteral("Do Not Move")};
    request.escapeButton = 1;
    request.showsSuppressionButton = true;
    request.suppressionButtonTitle = QStringLiteral("Do not show this message again");
    return request;
}

// Calls `act` with the alert once it is up, as a user would.
void whenAlertIsUp(std::function<void(QMessageBox*)> act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(box);
        }
    });
    poll->start(10);
}

TEST(AlertPresenterTest, ShowsTheRequestAndReportsButtonAndCheckbox)
{
    ScopedEnvironment environment;
    environment.unset("QUORBEL_ALERT_ANSWER");
    bool inspected = false;
    whenAlertIsUp([&inspected](QMessageBox* box) {
        inspected = true;
        const QList<QAbstractButton*> buttons = box->buttons();
        EXPECT_EQ(box->text(), QStringLiteral("Move to Applications folder?"));
        ASSERT_NE(box->checkBox(), nullptr);
        EXPECT_LT(box->checkBox()->font().pointSizeF(), QApplication::font().pointSizeF());
        ASSERT_NE(box->escapeButton(), nullptr);
        EXPECT_EQ(box->escapeButton()->text(), QStringLiteral("Do Not Move"));
        EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Move to Applications Folder"));
        box->checkBox()->setChecked(true);
        box->defaultButton()->click();
    });
    const platform::AlertResponse response = platform::AlertPresenter::shared().runModal(moveAlert());
    EXPECT_TRUE(inspected);
    EXPECT_EQ(response.button, 0);
    EXPECT_TRUE(response.suppressionChecked);
}

TEST(AlertPresenterTest, ScriptedAnswerPressesTheNamedButton)
{
    ScopedEnvironment environment;
    environment.set("QUORBEL_ALERT_ANSWER", QStringLiteral("Do Not Move"));
    EXPECT_EQ(platform::AlertPresenter::shared().runModal(moveAlert()).button, 1);
    environment.set("QUORBEL_ALERT_ANSWER", QStringLiteral("Move to Applications Folder"));
    EXPECT_EQ(platform::AlertPresenter::shared().runModal(moveAlert()).button, 0);
}

TEST(AlertPresenterTest, ASheetIsModalToItsWindowOnlyAndReportsItsAnswerLater)
{
    ScopedEnvironment environment;
    environment.unset("QUORBEL_ALERT_ANSWER");
    QWidget window;
    window.show();
    std::optional<platform::AlertResponse> answer;
    platform::AlertPresenter::shared().beginSheetModalForWindow(
        moveAlert(), &window, [&answer](const platform::AlertResponse& response) { answer = response; });
    EXPECT_FALSE(answer.has_value()) << "a sheet must not wait for its answer";

    auto* box = window.findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(box));
    EXPECT_EQ(box->parentWidget(), &window);
    box->escapeButton()->click();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->button, 1);
}

TEST(AlertPresenterTest, ASheetShowsAllOfItsTextsCentredOnItsWindow)
{
    ScopedEnvironment environment;
    environment.unset("QUORBEL_ALERT_ANSWER");
    QWidget window;
    window.resize(520, 250);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    // The longest English texts, and 40% more as translations run.
    const platform::AlertRequest english = moveAlert();
    platform::AlertRequest longer = english;
    longer.messageText += u' ' + english.messageText.left(english.messageText.size() * 2 / 5);
    longer.informativeText += u' ' + english.informativeText.left(english.informativeText.size() * 2 / 5);
    for (const platform::AlertRequest& request : {english, longer}) {
        platform::AlertPresenter::shared().beginSheetModalForWindow(request, &window, {});
        auto* box = window.findChild<QMessageBox*>();
        ASSERT_NE(box, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            if (!label->isVisible() || label->text().isEmpty())
                continue;
            const int needed = label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
            EXPECT_GE(label->height(), needed) << label->text().toStdString();
            EXPECT_GE(label->width(), label->wordWrap() ? 0 : label->sizeHint().width()) << label->text().toStdString();
            EXPECT_TRUE(box->rect().contains(label->geometry())) << label->text().toStdString();
        }
        EXPECT_LE((box->frameGeometry().center() - window.frameGeometry().center()).manhattanLength(), 2);
        box->escapeButton()->click();
        delete box;
    }
}

} // namespace
