#pragma once

#include <chrono>

namespace lullwatch {

// Seconds since the Unix epoch held as a 64-bit float, the resolution of the
// records' "updatedAt" and of transcript time stamps.
using Seconds = std::chrono::duration<double>;
using TimePoint = std::chrono::sys_time<Seconds>;

inline TimePoint timePointFromEpochSeconds(double seconds)
{
    return TimePoint {Seconds {seconds}};
}

inline double epochSeconds(TimePoint point)
{
    return point.time_since_epoch().count();
}

} // namespace lullwatch
