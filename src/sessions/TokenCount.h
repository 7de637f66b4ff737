#pragma once

#include <cstdint>
#include <string>

namespace lullwatch {

// Short text for a token count: 999, 12k, 1.5M.
std::string formatTokenCount(std::int64_t count);

} // namespace lullwatch
