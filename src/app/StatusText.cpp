#include "StatusText.h"

#include "AppModel.h"

namespace lullwatch {

std::string wakeStatusText(const WakeController &wake)
{
    if (wake.batteryBlock())
        return wake.batteryBlock()->statusText();
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
    line += separator;
    line += model.wake().reason();
    return line;
}

} // namespace lullwatch
