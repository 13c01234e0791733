#include "Alert.h"

#include "WindowSystem.h"

#include <atomic>
#include <cstdio>

namespace platform {
namespace {

// Where no window can be shown, an alert ends at once without a button and
// says so on standard error, so that the run's output explains what happened.
class UnavailablePresenter final : public AlertPresenter {
public:
    AlertResponse runModal(const AlertRequest& request) override
    {
        report(request);
        return {};
    }
    void beginSheetModalForWindow(const AlertRequest& request, QWidget*,
                                  std::function<void(const AlertResponse&)> completion) override
    {
        report(request);
        if (completion)
            completion({});
    }
    QString why;

private:
    void report(const AlertRequest& request) const
    {
        std::fprintf(stderr, "Cannot show the alert \"%s\": %s\n", qPrintable(request.messageText), qPrintable(why));
        std::fflush(stderr);
    }
};

std::atomic<AlertPresenter*> gOverride{nullptr};

AlertPresenter& systemPresenter()
{
    static UnavailablePresenter unavailable;
    if (windowsystem::load(&unavailable.why))
        return *windowsystem::alerts();
    return unavailable;
}

} // namespace

AlertPresenter& AlertPresenter::shared()
{
    AlertPresenter* presenter = gOverride.load();
    return presenter ? *presenter : systemPresenter();
}

// Presenters that only answer modal alerts show sheets as the system does.
void AlertPresenter::beginSheetModalForWindow(const AlertRequest& request, QWidget* window,
                                              std::function<void(const AlertResponse&)> completion)
{
    AlertPresenter& system = systemPresenter();
    if (&system != this)
        system.beginSheetModalForWindow(request, window, std::move(completion));
}

void AlertPresenter::setShared(AlertPresenter* presenter)
{
    gOverride = presenter;
}

} // namespace platform
