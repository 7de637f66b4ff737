#include "TrayLabel.h"

#include "Icons.h"
#include "app/AppModel.h"

namespace lullwatch {

TrayLabel TrayLabel::of(const AppModel &model)
{
    return {.state = model.overallState(), .hasSessions = !model.sessions().empty(), .title = model.menuBarTitle()};
}

std::string_view TrayLabel::symbolName() const
{
    return stateSymbol(state);
}

std::string_view TrayLabel::stateText() const
{
    return hasSessions ? stateLabel(state) : noSessionsLabel;
}

std::string TrayLabel::toolTip() const
{
    std::string text(stateText());
    if (!title.empty())
        text += " \u00b7 " + title;
    return text;
}

} // namespace lullwatch
