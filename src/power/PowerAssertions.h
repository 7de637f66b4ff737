#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace lullwatch {

// What keeps the machine awake: named assertions that the desktop honours.
class PowerAssertions {
public:
    enum class Type {
        PreventUserIdleSystemSleep, // no automatic idle suspend
        NoDisplaySleep, // no screen blanking or locking for idleness
    };

    virtual ~PowerAssertions() = default;
    // A non-zero identifier, or none when no provider accepted the assertion.
    // Returns within a bounded time.
    virtual std::optional<std::uint32_t> create(Type type, std::string_view name) = 0;
    // Never waits for the provider.
    virtual void release(std::uint32_t identifier) = 0;
};

} // namespace lullwatch
