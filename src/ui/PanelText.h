#pragma once

#include "sessions/TimePoint.h"

#include <QString>

#include <cstdint>

namespace lullwatch {
class WakeController;
enum class SessionState;
} // namespace lullwatch

namespace lullwatch::ui {

// Elapsed time in hours and minutes, zero units hidden: "1h 5m", "12m", "2h";
// under a minute "0m".
QString formatHeldFor(std::int64_t seconds);

// The header's status line: the battery block, "Sleep allowed", "Keeping
// computer awake", or that followed by " · " and the time held until `now`.
QString headerStatusLine(const WakeController &wake, TimePoint now);

// The header's title: "No sessions", or the overall state's label.
QString headerTitle(bool hasSessions, SessionState overallState);

// "Version 0.1.0 (18)"; "1.0" and "1" stand in for missing values.
QString versionText(const char *version, const char *build);

} // namespace lullwatch::ui
