#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace lullwatch {

// Which agent a session belongs to; the agent table says everything else.
enum class SessionSource { Claude, Copilot, Qwen, Gemini, Codex };

// The lifecycle state that the agent last reported through its hook.
enum class SessionState { Idle, Working, Waiting, Ended };

// How a state is written in records, shown to the user and drawn: the one
// vocabulary of the tray, the panel, the headless line and the status table.
struct StateWords {
    SessionState state;
    std::string_view raw;
    std::string_view label;
    std::string_view symbol; // symbol name of the design
};

inline constexpr std::array<StateWords, 4> stateVocabulary = {{
    {SessionState::Idle, "idle", "Idle", "cup.and.saucer"},
    {SessionState::Working, "working", "Working", "cup.and.saucer.fill"},
    {SessionState::Waiting, "waiting", "Needs you", "exclamationmark.bubble.fill"},
    {SessionState::Ended, "ended", "Ended", "moon.zzz"},
}};

// The label of a working session that showed no sign of life for too long.
inline constexpr std::string_view staleLabel = "Stale";
// The label where there are no sessions at all.
inline constexpr std::string_view noSessionsLabel = "No sessions";

std::string_view rawValue(SessionSource source);
std::string_view rawValue(SessionState state);
std::string_view stateLabel(SessionState state);
std::string_view stateSymbol(SessionState state);

// Exact, case-sensitive conversions; any other text is no case at all.
std::optional<SessionSource> sessionSourceFromRaw(std::string_view raw);
std::optional<SessionState> sessionStateFromRaw(std::string_view raw);

// The last component of a session's working folder, or "Unknown".
std::string folderName(std::string_view cwd);

} // namespace lullwatch
