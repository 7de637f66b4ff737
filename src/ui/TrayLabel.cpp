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
    return Icons::symbolName(state);
}

std::string_view TrayLabel::stateText() const
{
    if (!hasSessions)
        return "No sessions";
    switch (state) {
    case SessionState::Idle:
        return "Idle";
    case SessionState::Working:
        return "Working";
    case SessionState::Waiting:
        return "Needs you";
    case SessionState::Ended:
        return "Ended";
    }
    return "Ended";
}

std::string TrayLabel::toolTip() const
{
    std::string text(stateText());
    if (!title.empty())
        text += " \u00b7 " + title;
    return text;
}

} // namespace lullwatch
