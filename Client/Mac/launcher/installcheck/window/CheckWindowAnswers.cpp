#include "CheckWindowAnswers.h"

#include "ProcessInfo.h"

#include <QAbstractButton>
#include <QMutex>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <optional>

namespace CheckWindowAnswers {
namespace {

QMutex gLock;
std::optional<QStringList> gAnswers;

bool scriptsHonoured()
{
#ifdef QB_TEST_HOOKS
    return !platform::process::startedWithElevatedRights();
#else
    return false;
#endif
}

QString nextAnswer()
{
    QMutexLocker lock(&gLock);
    if (!gAnswers) {
        gAnswers.emplace();
        if (scriptsHonoured()) {
            for (const QString& answer : qEnvironmentVariable("QUORBEL_CHECK_WINDOW_ANSWER").split(u','))
                if (!answer.trimmed().isEmpty())
                    gAnswers->append(answer.trimmed());
        }
    }
    return gAnswers->isEmpty() ? QString() : gAnswers->takeFirst();
}

QAbstractButton* buttonTitled(const QList<QAbstractButton*>& buttons, const QString& title)
{
    for (QAbstractButton* button : buttons)
        if (button && button->text().remove(u'&') == title)
            return button;
    return nullptr;
}

} // namespace

void answerIfScripted(const QList<QAbstractButton*>& buttons)
{
    const QString answer = nextAnswer();
    if (answer.isEmpty())
        return;
    QAbstractButton* button = buttonTitled(buttons, answer);
    if (!button) {
        std::fprintf(stderr, "QUORBEL_CHECK_WINDOW_ANSWER \"%s\" names no button of the check window; waiting for the user\n",
                     qPrintable(answer));
        return;
    }
    QTimer::singleShot(0, button, [button = QPointer<QAbstractButton>(button), answer] {
        if (!button)
            return;
        std::fprintf(stderr, "Unattended check window: answered \"%s\"\n", qPrintable(answer));
        std::fflush(stderr);
        button->click();
    });
}

std::optional<std::chrono::milliseconds> scriptedStopButtonDelay()
{
    if (!scriptsHonoured())
        return std::nullopt;
    bool valid = false;
    const int delay = qEnvironmentVariableIntValue("QUORBEL_STOP_BUTTON_AFTER_MS", &valid);
    if (!valid || delay < 0)
        return std::nullopt;
    return std::chrono::milliseconds(delay);
}

void reset()
{
    QMutexLocker lock(&gLock);
    gAnswers.reset();
}

} // namespace CheckWindowAnswers
