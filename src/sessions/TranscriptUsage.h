#pragma once

#include "TimePoint.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace lullwatch {

// Counters stop at the ends of the signed 64-bit range instead of wrapping.
inline std::int64_t saturatingAdd(std::int64_t a, std::int64_t b)
{
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return sum;
}

// Tokens by kind: of one assistant message, or summed over a transcript.
struct TokenCounts {
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cacheCreation = 0;
    std::int64_t cacheRead = 0;

    // All four kinds together.
    std::int64_t total() const
    {
        return saturatingAdd(saturatingAdd(saturatingAdd(input, output), cacheCreation), cacheRead);
    }

    friend TokenCounts operator+(const TokenCounts &a, const TokenCounts &b)
    {
        return {saturatingAdd(a.input, b.input), saturatingAdd(a.output, b.output),
                saturatingAdd(a.cacheCreation, b.cacheCreation), saturatingAdd(a.cacheRead, b.cacheRead)};
    }
    friend bool operator==(const TokenCounts &, const TokenCounts &) = default;
};

// Token accounting of one session's transcript.
struct TranscriptUsage {
    TokenCounts tokens;
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
