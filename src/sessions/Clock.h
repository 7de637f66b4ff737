#pragma once

#include "TimePoint.h"

namespace lullwatch {

// The source of "now", injected so that rules about ages can be tested
// without waiting. Implementations are called from the scanner's thread.
class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now()); }
};

} // namespace lullwatch
