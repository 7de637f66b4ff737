#pragma once

#include <cstdint>
#include <functional>
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
    // Told of an assertion that ended without release(), because its
    // provider went away; the identifier is no longer held.
    using LossHandler = std::function<void(std::uint32_t identifier)>;

    virtual ~PowerAssertions() = default;
    // A non-zero identifier, or none when no provider accepted the assertion.
    // Returns within a bounded time.
    virtual std::optional<std::uint32_t> create(Type type, std::string_view name) = 0;
    // Never waits for the provider.
    virtual void release(std::uint32_t identifier) = 0;

    // One handler at a time; losses are told from the event loop, never
    // from within create() or release().
    void setLossHandler(LossHandler handler) { m_lossHandler = std::move(handler); }

protected:
    void reportLoss(std::uint32_t identifier) const
    {
        if (m_lossHandler)
            m_lossHandler(identifier);
    }

private:
    LossHandler m_lossHandler;
};

} // namespace lullwatch
