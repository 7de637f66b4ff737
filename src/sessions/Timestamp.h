#pragma once

#include "TimePoint.h"

#include <optional>
#include <string_view>

namespace lullwatch {

// Internet date-time stamps as the agents write them, with or without a
// fraction: 2025-01-02T03:04:05.678Z, 2025-01-02T03:04:05+02:00. The letter T
// and a zone (Z or a signed hh:mm offset) are required; 1 to 9 fraction digits.
std::optional<TimePoint> parseTimestamp(std::string_view text);

} // namespace lullwatch
