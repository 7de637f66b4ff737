#include "StatusText.h"

#include "AppModel.h"

namespace lullwatch {

std::string wakeStatusText(const WakeController &wake)
{
    if (wake.batteryBlock())
        return wake.batteryBlock()->statusText();
    switch (wake.refusal()) {
    case WakeController::Refusal::System:
        return "Can't keep computer awake: no power service found";
    case WakeController::Refusal::Display:
        return "Can't keep display awake: no screen-saver service found";
    case WakeController::Refusal::None:
        break;
    }
    return wake.isHoldingAssertion() ? "Keeping computer awake" : "Sleep allowed";
}

std::string headlessLine(const AppModel &model)
{
    const std::string title = model.menuBarTitle();
    constexpr std::string_view separator = " \u00b7 ";
    std::string line(rawValue(model.overallState()));
    line += separator;
    line += title.empty() ? std::string("-") : title;
    line += separator;
    line += wakeStatusText(model.wake());
    // The reason says why something is held; it claims nothing while nothing is.
    if (model.wake().isHoldingAssertion() || model.wake().displayIsHeld()) {
        line += separator;
        line += model.wake().reason();
    }
    return line;
}

} // namespace lullwatch
