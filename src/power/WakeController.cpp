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
{
    m_assertions.setLossHandler([this](std::uint32_t identifier) { assertionLost(identifier); });
}

WakeController::~WakeController()
{
    m_assertions.setLossHandler({});
}

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

void WakeController::setDisplayHeld(std::uint32_t identifier)
{
    m_displayAssertion = identifier;
    const bool held = identifier != 0;
    if (held != m_displayIsHeld) {
        m_displayIsHeld = held;
        Q_EMIT displayIsHeldChanged(held);
    }
}

void WakeController::setRefusal(Refusal refusal)
{
    if (refusal != m_refusal) {
        m_refusal = refusal;
        Q_EMIT refusalChanged(refusal);
    }
}

void WakeController::acquire()
{
    // A held assertion keeps the name it was created with.
    if (!m_isHoldingAssertion) {
        const auto identifier = m_assertions.create(PowerAssertions::Type::PreventUserIdleSystemSleep, m_reason);
        if (!identifier) {
            setRefusal(Refusal::System); // the next update tries again
            return;
        }
        m_systemName = m_reason;
        setHolding(*identifier, m_clock.now());
    }
    // A display assertion that no provider took is asked for again too.
    syncDisplayAssertion();
}

void WakeController::release()
{
    if (m_isHoldingAssertion) {
        m_assertions.release(m_systemAssertion);
        setHolding(0, std::nullopt);
        syncDisplayAssertion();
    }
    setRefusal(Refusal::None);
}

void WakeController::syncDisplayAssertion()
{
    // The display assertion never outlives the system one.
    const bool want = m_isHoldingAssertion && m_keepDisplayAwake;
    if (want && !m_displayIsHeld) {
        if (const auto identifier = m_assertions.create(PowerAssertions::Type::NoDisplaySleep, m_reason)) {
            m_displayName = m_reason;
            setDisplayHeld(*identifier);
        }
    } else if (!want && m_displayIsHeld) {
        m_assertions.release(m_displayAssertion);
        setDisplayHeld(0);
    }
    if (m_isHoldingAssertion)
        setRefusal(want && !m_displayIsHeld ? Refusal::Display : Refusal::None);
}

void WakeController::assertionLost(std::uint32_t identifier)
{
    // The wish still stands: the assertion is taken again at once under the
    // name it had, and counts as held since it was first taken.
    if (m_isHoldingAssertion && identifier == m_systemAssertion) {
        if (const auto again = m_assertions.create(PowerAssertions::Type::PreventUserIdleSystemSleep, m_systemName)) {
            m_systemAssertion = *again;
            return;
        }
        setHolding(0, std::nullopt);
        syncDisplayAssertion();
        setRefusal(Refusal::System);
    } else if (m_displayIsHeld && identifier == m_displayAssertion) {
        const auto again = m_assertions.create(PowerAssertions::Type::NoDisplaySleep, m_displayName);
        setDisplayHeld(again.value_or(0));
        setRefusal(again ? Refusal::None : Refusal::Display);
    }
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
