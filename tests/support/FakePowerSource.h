#pragma once

#include "power/PowerSource.h"

namespace lullwatch::test {

// Reports whatever the test put in `sources` and counts the reads.
class FakePowerSource final : public PowerSource {
public:
    std::optional<std::vector<PowerSourceDescription>> read() override
    {
        ++reads;
        return sources;
    }

    // The machine's own battery as the only source.
    void battery(const char *state, std::optional<long long> current, std::optional<long long> max = 100)
    {
        sources = std::vector {PowerSourceDescription {"InternalBattery", current, max, std::string(state)}};
    }
    void onBattery(std::optional<long long> percent) { battery("Battery Power", percent); }
    void pluggedIn(std::optional<long long> percent) { battery("AC Power", percent); }

    std::optional<std::vector<PowerSourceDescription>> sources = std::vector<PowerSourceDescription> {};
    int reads = 0;
};

} // namespace lullwatch::test
