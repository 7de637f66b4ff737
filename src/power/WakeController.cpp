#include "WakeController.h"

#include "sessions/Clock.h"

#include <algorithm>
#include <cstdint>

namespace lullwatch {

std::string WakeController::BatteryBlock::statusText() const
{
    if (kind == Kind::LowBattery)
        return "Paused \u2014 battery at " + std::to_string(percent) + "%";
    return "Paused \u2014 on battery";
}

WakeController::WakeController(PowerAssertions &assertions, PowerSource &powerSource, const Clock &clock,
                               QObject *parent)
    : QObject(parent)
    , m_assertions(assertions)
    , m_powerSource(powerSource)
    , m_clock(clock)
{ }

PowerSnapshot WakeController::readPowerSnapshot(PowerSource &source)
{
    const auto sources = source.read();
    if (!sources)
        return {};
    for (const auto &description : *sources) {
        if (description.type != "InternalBattery")
            continue;
        PowerSnapshot snapshot;
        if (description.currentCapacity) {
            long long percent = *description.currentCapacity;
            if (description.maxCapacity && *description.maxCapacity >= 1) {
                const long long max = *description.maxCapacity;
                long long scaled = 0;
                percent = __builtin_mul_overflow(percent, 100LL, &scaled) ? percent / max * 100 : scaled / max;
            }
            snapshot.percent = static_cast<int>(std::clamp<long long>(percent, INT32_MIN, INT32_MAX));
        }
        snapshot.isOnBattery = description.state == "Battery Power";
        return snapshot;
    }
    return {};
}

void WakeController::update(bool wanted)
{
    const PowerSnapshot power = readPowerSnapshot(m_powerSource);
    if (power != m_power) {
        m_power = power;
        Q_EMIT powerChanged();
    }

    std::optional<BatteryBlock> block;
    if (wanted && m_power.isOnBattery) {
        if (m_power.percent && *m_power.percent <= lowBatteryThreshold)
            block = BatteryBlock::lowBattery(*m_power.percent);
        else if (m_pauseOnBattery)
            block = BatteryBlock::onBattery();
    }
    if (block != m_batteryBlock) {
        m_batteryBlock = block;
        Q_EMIT batteryBlockChanged();
    }

    if (wanted && !block)
        acquire();
    else
        release();
}

void WakeController::setHolding(std::uint32_t identifier, std::optional<TimePoint> since)
{
    m_systemAssertion = identifier;
    const bool holding = identifier != 0;
    if (since != m_heldSince) {
        m_heldSince = since;
        Q_EMIT heldSinceChanged();
    }
    if (holding != m_isHoldingAssertion) {
        m_isHoldingAssertion = holding;
        Q_EMIT isHoldingAssertionChanged(holding);
    }
}

void WakeController::acquire()
{
    // A held assertion keeps the name it was created with.
    if (m_isHoldingAssertion)
        return;
    const auto identifier = m_assertions.create(PowerAssertions::Type::PreventUserIdleSystemSleep, m_reason);
    if (!identifier)
        return; // the next update tries again
    setHolding(*identifier, m_clock.now());
    syncDisplayAssertion();
}

void WakeController::release()
{
    if (!m_isHoldingAssertion)
        return;
    m_assertions.release(m_systemAssertion);
    setHolding(0, std::nullopt);
    syncDisplayAssertion();
}

void WakeController::syncDisplayAssertion()
{
    // The display assertion never outlives the system one.
    const bool want = m_isHoldingAssertion && m_keepDisplayAwake;
    if (want == m_displayIsHeld)
        return;
    if (!want) {
        m_assertions.release(m_displayAssertion);
        m_displayAssertion = 0;
    } else {
        const auto identifier = m_assertions.create(PowerAssertions::Type::NoDisplaySleep, m_reason);
        if (!identifier)
            return;
        m_displayAssertion = *identifier;
    }
    m_displayIsHeld = want;
    Q_EMIT displayIsHeldChanged(want);
}

void WakeController::setKeepDisplayAwake(bool keep)
{
    if (keep != m_keepDisplayAwake) {
        m_keepDisplayAwake = keep;
        Q_EMIT keepDisplayAwakeChanged(keep);
    }
    syncDisplayAssertion();
}

void WakeController::setPauseOnBattery(bool pause)
{
    if (pause != m_pauseOnBattery) {
        m_pauseOnBattery = pause;
        Q_EMIT pauseOnBatteryChanged(pause);
    }
}

} // namespace lullwatch
