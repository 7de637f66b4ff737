#pragma once

#include "PowerAssertions.h"
#include "PowerSource.h"
#include "sessions/TimePoint.h"

#include <QObject>

#include <cstdint>
#include <optional>
#include <string>

namespace lullwatch {

class Clock;

// The last reading of the machine's power source.
struct PowerSnapshot {
    bool isOnBattery = false;
    std::optional<int> percent;

    friend bool operator==(const PowerSnapshot &, const PowerSnapshot &) = default;
};

// Keeps the machine from idle-sleeping while the model wants it awake, and
// the display on too when asked, under a battery policy. Main thread only.
class WakeController final : public QObject {
    Q_OBJECT

public:
    // Why the wake wish is refused.
    struct BatteryBlock {
        enum class Kind { LowBattery, OnBattery };
        Kind kind = Kind::OnBattery;
        int percent = 0; // for LowBattery

        static BatteryBlock lowBattery(int percent) { return {Kind::LowBattery, percent}; }
        static BatteryBlock onBattery() { return {Kind::OnBattery, 0}; }
        // "Paused — battery at 12%" or "Paused — on battery".
        std::string statusText() const;

        friend bool operator==(const BatteryBlock &a, const BatteryBlock &b)
        {
            return a.kind == b.kind && (a.kind == Kind::OnBattery || a.percent == b.percent);
        }
    };

    // What the wake wish asked for and no provider accepted: the system
    // assertion, or, with that one held, the display one.
    enum class Refusal { None, System, Display };

    static constexpr int lowBatteryThreshold = 15;

    WakeController(PowerAssertions &assertions, PowerSource &powerSource, const Clock &clock,
                   QObject *parent = nullptr);
    ~WakeController() override;

    // The one way the wake wish arrives: re-reads the power source, works out
    // the battery block, and takes or releases the system assertion.
    void update(bool wanted);

    bool isHoldingAssertion() const { return m_isHoldingAssertion; }
    std::optional<TimePoint> heldSince() const { return m_heldSince; }
    const PowerSnapshot &power() const { return m_power; }
    const std::optional<BatteryBlock> &batteryBlock() const { return m_batteryBlock; }
    std::uint32_t systemAssertion() const { return m_systemAssertion; }
    std::uint32_t displayAssertion() const { return m_displayAssertion; }
    bool displayIsHeld() const { return m_displayIsHeld; }
    Refusal refusal() const { return m_refusal; }

    bool keepDisplayAwake() const { return m_keepDisplayAwake; }
    // Every assignment, also of the same value, re-syncs the display assertion.
    void setKeepDisplayAwake(bool keep);
    bool pauseOnBattery() const { return m_pauseOnBattery; }
    // No side effect: the caller runs update() afterwards.
    void setPauseOnBattery(bool pause);
    const std::string &reason() const { return m_reason; }
    // The name of assertions created from now on; held ones keep theirs.
    void setReason(std::string reason) { m_reason = std::move(reason); }

    // The power source as a snapshot; not on battery and no percent when
    // there is no internal battery or nothing can be read.
    static PowerSnapshot readPowerSnapshot(PowerSource &source);

Q_SIGNALS:
    void isHoldingAssertionChanged(bool holding);
    void heldSinceChanged();
    void powerChanged();
    void batteryBlockChanged();
    void displayIsHeldChanged(bool held);
    void keepDisplayAwakeChanged(bool keep);
    void pauseOnBatteryChanged(bool pause);
    void refusalChanged(lullwatch::WakeController::Refusal refusal);

private:
    void acquire();
    void release();
    void syncDisplayAssertion();
    void setHolding(std::uint32_t identifier, std::optional<TimePoint> since);
    void setDisplayHeld(std::uint32_t identifier);
    void setRefusal(Refusal refusal);
    void assertionLost(std::uint32_t identifier);

    PowerAssertions &m_assertions;
    PowerSource &m_powerSource;
    const Clock &m_clock;

    bool m_isHoldingAssertion = false;
    std::optional<TimePoint> m_heldSince;
    PowerSnapshot m_power;
    std::optional<BatteryBlock> m_batteryBlock;
    std::uint32_t m_systemAssertion = 0;
    std::uint32_t m_displayAssertion = 0;
    bool m_displayIsHeld = false;
    // The names the held assertions were created with.
    std::string m_systemName;
    std::string m_displayName;
    Refusal m_refusal = Refusal::None;
    bool m_keepDisplayAwake = false;
    bool m_pauseOnBattery = false;
    std::string m_reason = "Lullwatch";
};

} // namespace lullwatch
