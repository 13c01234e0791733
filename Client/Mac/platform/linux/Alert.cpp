#include "Alert.h"

#include "WindowSystem.h"

#include <atomic>

namespace platform {
namespace {

// Where no window can be shown, an alert ends at once without a button; the
// window system has told its reporter why (see WindowSystem.h), once.
class UnavailablePresenter final : public AlertPresenter {
public:
    AlertResponse runModal(const AlertRequest&) override { return {}; }
    void beginSheetModalForWindow(const AlertRequest&, QWidget*, std::function<void(const AlertResponse&)> completion) override
    {
        if (completion)
            completion({});
    }
    QString why;
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
