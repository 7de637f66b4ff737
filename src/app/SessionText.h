#pragma once

#include "sessions/SessionInfo.h"

#include <string>
#include <string_view>

namespace lullwatch {

// The last component of a session's working folder, or "Unknown".
std::string folderName(std::string_view cwd);
// "Working", "Needs you", "Idle", "Ended", or "Stale" for a stale session.
std::string_view stateLabel(const SessionInfo &session);
// The state's label alone: "Working", "Needs you", "Idle" or "Ended".
std::string_view stateLabel(SessionState state);
// "Claude" or "Copilot".
std::string_view sourceLabel(SessionSource source);

} // namespace lullwatch
