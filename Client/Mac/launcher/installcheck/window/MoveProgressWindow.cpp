#include "MoveProgressWindow.h"

#include "Dialogs.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace {

constexpr int kBarSteps = 1000;

// Neither Escape nor the window manager's close ends it: the copy goes on.
class UndismissableDialog final : public QDialog {
public:
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

class MoveProgressWindow final : public PFCopyProgressWindow {
public:
    MoveProgressWindow(const QString& message, const QString& widestCounts)
        : m_bar(new QProgressBar), m_counts(new QLabel(widestCounts))
    {
        auto* layout = new QVBoxLayout(&m_dialog);
        layout->addWidget(new QLabel(message));
        m_bar->setRange(0, kBarSteps);
        m_bar->setTextVisible(false);
        layout->addWidget(m_bar);
        layout->addWidget(m_counts);
        keepCountsWidth();
        platform::dialogs::makeUndismissable(&m_dialog);
        m_dialog.show();
        platform::dialogs::bringForward(&m_dialog);
    }

    void update(int permille, const QString& counts, const QString& title) override
    {
        m_bar->setValue(permille);
        m_counts->setText(counts);
        keepCountsWidth();
        m_dialog.setWindowTitle(title);
        // The copy runs on this thread: between files is when the window is drawn.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

private:
    // The window grows for a longer text and never shrinks back: it does not
    // twitch as the figures change.
    void keepCountsWidth()
    {
        const int width = m_counts->sizeHint().width();
        if (width > m_counts->minimumWidth())
            m_counts->setMinimumWidth(width);
    }

    UndismissableDialog m_dialog;
    QProgressBar* m_bar;
    QLabel* m_counts;
};

} // namespace

std::unique_ptr<PFCopyProgressWindow> makeMoveProgressWindow(const QString& message, const QString& widestCounts)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return nullptr;
    return std::make_unique<MoveProgressWindow>(message, widestCounts);
}
