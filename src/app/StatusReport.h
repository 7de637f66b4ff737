#pragma once

#include "sessions/SessionInfo.h"

#include <string>
#include <vector>

namespace lullwatch {

// The sessions as an aligned table for a terminal, or "No active sessions".
std::string formatStatusTable(const std::vector<SessionInfo> &sessions);
// The sessions as a JSON array, in the order given.
std::string formatStatusJson(const std::vector<SessionInfo> &sessions);

} // namespace lullwatch
