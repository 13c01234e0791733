#include "Alert.h"

#include "TestSupport.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

using testing_support::ScopedEnvironment;

TEST(Alert, UnattendedAnswerPressesTheButtonWithThatTitle)
{
    ScopedEnvironment environment;
    environment.set("QUORBEL_UNATTENDED_ALERT_ANSWER", QStringLiteral("Quit"));
    QMessageBox alert;
    alert.setText(QStringLiteral("Already running"));
    alert.addButton(QStringLiteral("Stay"), QMessageBox::RejectRole);
    QAbstractButton* quit = alert.addButton(QStringLiteral("Quit"), QMessageBox::AcceptRole);
    EXPECT_EQ(platform::alerts::runModal(alert), quit);
}

TEST(Alert, WithoutAnAnswerTheAlertWaitsForItsUser)
{
    ScopedEnvironment environment;
    environment.unset("QUORBEL_UNATTENDED_ALERT_ANSWER");
    QMessageBox alert;
    QAbstractButton* ok = alert.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    bool shown = false;
    QTimer::singleShot(50, &alert, [&] {
        shown = alert.isVisible();
        ok->click();
    });
    EXPECT_EQ(platform::alerts::runModal(alert), ok);
    EXPECT_TRUE(shown);
}
