#pragma once

#include <optional>
#include <string>
#include <vector>

namespace lullwatch {

// One power source as the system describes it: the four keys the wake policy
// reads. A key that is missing or of another type is none.
struct PowerSourceDescription {
    std::optional<std::string> type; // "InternalBattery" for the machine's own battery
    std::optional<long long> currentCapacity; // "Current Capacity"
    std::optional<long long> maxCapacity; // "Max Capacity"
    std::optional<std::string> state; // "Power Source State": "Battery Power" or "AC Power"
};

class PowerSource {
public:
    virtual ~PowerSource() = default;
    // The machine's power sources, in the system's order; none when the
    // system gives no information at all.
    virtual std::optional<std::vector<PowerSourceDescription>> read() = 0;
};

} // namespace lullwatch
