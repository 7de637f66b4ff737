#pragma once

#include <array>
#include <string_view>

namespace lullwatch::recordKey {

// The members a session record holds besides the hook payload's own, as the
// recorder writes them and the scanner reads them.
inline constexpr std::string_view sessionId = "sessionId";
inline constexpr std::string_view state = "state";
inline constexpr std::string_view source = "source";
inline constexpr std::string_view event = "event";
inline constexpr std::string_view cwd = "cwd";
inline constexpr std::string_view transcriptPath = "transcriptPath";
inline constexpr std::string_view updatedAt = "updatedAt"; // integer seconds since the epoch
inline constexpr std::string_view pid = "pid"; // the owning agent's process
// A payload member the scanner reads: what a waiting session waits for.
inline constexpr std::string_view notificationType = "notification_type";

inline constexpr std::array<std::string_view, 8> ours
    = {sessionId, state, source, event, cwd, transcriptPath, updatedAt, pid};

} // namespace lullwatch::recordKey
