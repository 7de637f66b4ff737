#pragma once

#include "SessionState.h"
#include "TimePoint.h"
#include "TranscriptUsage.h"

#include <cstdint>
#include <optional>
#include <string>

namespace lullwatch {

// One session as the rest of the application sees it; identified by its id.
struct SessionInfo {
    std::string id;
    SessionSource source = SessionSource::Claude;
    SessionState state = SessionState::Idle;
    std::string event;
    std::string cwd;
    std::string transcriptPath;
    TimePoint updatedAt;
    TranscriptUsage usage;
    bool isStale = false; // a working session that showed no sign of life for too long
    std::optional<std::int32_t> pid; // the agent's own process, when its record names one

    friend bool operator==(const SessionInfo &, const SessionInfo &) = default;
};

// The state's label, or "Stale" for a stale session.
inline std::string_view stateLabel(const SessionInfo &session)
{
    return session.isStale ? staleLabel : stateLabel(session.state);
}

} // namespace lullwatch
