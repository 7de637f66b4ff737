#pragma once

#include "power/PowerSource.h"

namespace lullwatch::test {

// Reports whatever the test put in `sources`.
class FakePowerSource final : public PowerSource {
public:
    std::optional<std::vector<PowerSourceDescription>> read() override { return sources; }

    // The machine's own battery as the only source, discharging.
    void onBattery(long long percent)
    {
        sources = std::vector {PowerSourceDescription {"InternalBattery", percent, 100, "Battery Power"}};
    }

    std::optional<std::vector<PowerSourceDescription>> sources = std::vector<PowerSourceDescription> {};
};

} // namespace lullwatch::test
