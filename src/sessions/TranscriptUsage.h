#pragma once

#include "TimePoint.h"

#include <cstdint>
#include <optional>
#include <string>

namespace lullwatch {

// Token accounting of one session's transcript.
struct TranscriptUsage {
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cacheCreationTokens = 0;
    std::int64_t cacheReadTokens = 0;
    std::int64_t contextTokens = 0; // size of the context on the last counted turn
    std::optional<std::string> model;
    std::int64_t turns = 0;

    friend bool operator==(const TranscriptUsage &, const TranscriptUsage &) = default;
};

// What the transcript says about the session's recent activity.
struct TranscriptActivity {
    std::optional<TimePoint> lastEntryAt; // latest in file order, not necessarily in time
    bool endedInInterrupt = false;

    friend bool operator==(const TranscriptActivity &, const TranscriptActivity &) = default;
};

} // namespace lullwatch
