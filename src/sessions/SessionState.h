#pragma once

#include <optional>
#include <string_view>

namespace lullwatch {

// Which agent a session belongs to. Raw values are what the hook scripts write.
enum class SessionSource { Claude, Copilot };

// The lifecycle state that the agent last reported through its hook.
enum class SessionState { Idle, Working, Waiting, Ended };

std::string_view rawValue(SessionSource source);
std::string_view rawValue(SessionState state);

// Exact, case-sensitive conversions; any other text is no case at all.
std::optional<SessionSource> sessionSourceFromRaw(std::string_view raw);
std::optional<SessionState> sessionStateFromRaw(std::string_view raw);

} // namespace lullwatch
