#pragma once

#include "sessions/SessionState.h"

#include <string>
#include <string_view>

namespace lullwatch {

class AppModel;

// What the tray shows: a pure function of the model's overall state,
// whether a session waits for the user, and the metric's text.
struct TrayLabel {
    SessionState state = SessionState::Ended;
    bool hasSessions = false;
    // The metric ("45k"), empty for none.
    std::string title;
    // Some session waits for the user, even while another works.
    bool anyWaiting = false;

    static TrayLabel of(const AppModel &model);

    std::string_view symbolName() const;
    // "No sessions", or the state's label ("Working", "Needs you", ...).
    std::string_view stateText() const;
    // The state's label, with the title after a middle dot when there is one.
    std::string toolTip() const;

    friend bool operator==(const TrayLabel &, const TrayLabel &) = default;
};

} // namespace lullwatch
