#pragma once

#include "sessions/Clock.h"

#include <atomic>

namespace lullwatch::test {

// A clock that stands still until a test moves it.
class FakeClock final : public Clock {
public:
    explicit FakeClock(double epochSeconds = 1'800'000'000.0)
        : m_seconds(epochSeconds)
    { }

    TimePoint now() const override { return timePointFromEpochSeconds(m_seconds.load()); }
    void set(double epochSeconds) { m_seconds.store(epochSeconds); }

private:
    std::atomic<double> m_seconds;
};

} // namespace lullwatch::test
