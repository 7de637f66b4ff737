#include "TrayLabel.h"

#include "Icons.h"
#include "app/AppModel.h"

#include <algorithm>

namespace lullwatch {

TrayLabel TrayLabel::of(const AppModel &model)
{
    const auto &sessions = model.sessions();
    return {.state = model.overallState(),
            .hasSessions = !sessions.empty(),
            .title = model.menuBarTitle(),
            .anyWaiting = std::any_of(sessions.begin(), sessions.end(), [](const SessionInfo &session) {
                return session.state == SessionState::Waiting;
            })};
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
