#include "Alert.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <sys/auxv.h>

namespace platform::alerts {
namespace {

QString unattendedAnswer()
{
    if (getauxval(AT_SECURE) != 0)
        return {};
    return qEnvironmentVariable("QUORBEL_UNATTENDED_ALERT_ANSWER");
}

void answerUnattended(QMessageBox& alert, const QString& title)
{
    for (QAbstractButton* button : alert.buttons()) {
        if (button->text() != title)
            continue;
        const QByteArray line = QStringLiteral("Unattended alert: \"%1\" \"%2\" answered \"%3\"\n")
                                    .arg(alert.text(), alert.informativeText(), title)
                                    .toUtf8();
        std::fputs(line.constData(), stderr);
        std::fflush(stderr);
        button->click();
        return;
    }
}

} // namespace

QAbstractButton* runModal(QMessageBox& alert)
{
    const QString answer = unattendedAnswer();
    if (!answer.isEmpty())
        QTimer::singleShot(0, &alert, [&alert, answer] { answerUnattended(alert, answer); });
    alert.exec();
    return alert.clickedButton();
}

} // namespace platform::alerts
