#include "TokenCount.h"

#include <cstdio>

namespace lullwatch {

std::string formatTokenCount(std::int64_t count)
{
    if (count <= 999)
        return std::to_string(count);
    if (count <= 999'999)
        return std::to_string(count / 1000) + 'k';
    char text[64];
    std::snprintf(text, sizeof text, "%.1fM", static_cast<double>(count) / 1'000'000.0);
    return text;
}

} // namespace lullwatch
