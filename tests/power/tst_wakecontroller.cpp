#include "power/WakeController.h"
#include "support/FakeClock.h"
#include "support/FakePowerAssertions.h"
#include "support/FakePowerSource.h"

#include <QTest>

#include <functional>

using namespace lullwatch;
using namespace lullwatch::test;

using Type = PowerAssertions::Type;
constexpr auto System = Type::PreventUserIdleSystemSleep;
constexpr auto Display = Type::NoDisplaySleep;

namespace {

constexpr double start = 1'800'000'000.0;

struct Rig {
    FakePowerAssertions assertions;
    FakePowerSource power;
    FakeClock clock {start};
    WakeController wake {assertions, power, clock};

    void at(double seconds, bool wanted = true, const char *reason = nullptr)
    {
        if (reason)
            wake.setReason(reason);
        clock.set(start + seconds);
        wake.update(wanted);
    }

    // "system/display refusal since": the names held, the refusal, and the
    // seconds after the start since which the system assertion is held.
    std::string state() const
    {
        // What is held is what the controller says, and never the display alone.
        const auto system = assertions.names(System), display = assertions.names(Display);
        if (system.size() != (wake.isHoldingAssertion() ? 1u : 0u) || display.size() != (wake.displayIsHeld() ? 1u : 0u)
            || (system.empty() && !display.empty()) || assertions.unknownReleases)
            return "inconsistent";
        const char *refusals[] = {"none", "system", "display"};
        const auto since = wake.heldSince();
        return (system.empty() ? "" : system[0]) + '/' + (display.empty() ? "" : display[0]) + ' '
            + refusals[static_cast<int>(wake.refusal())] + ' '
            + (since ? std::to_string(static_cast<int>(epochSeconds(*since) - start)) : "-");
    }
};

} // namespace

class TestWakeController : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The battery's reading (nothing readable without a type) and the rule it feeds.
    void batteryRule()
    {
        const struct {
            const char *type;
            long long current, max;
            bool pause;
            const char *seen;
        } rows[] = {
            {nullptr, 0, 0, true, "mains -, "},
            {"InternalBattery", 15, 100, false, "battery 15, Paused \u2014 battery at 15%"},
            {"InternalBattery", 16, 100, true, "battery 16, Paused \u2014 on battery"},
            {"InternalBattery", 156, 1000, false, "battery 15, Paused \u2014 battery at 15%"},
            {"InternalBattery", INT64_MAX, INT64_MAX, false, "battery 100, "},
            {"UPS", 5, 100, true, "mains -, "},
        };
        for (const auto &row : rows) {
            Rig r;
            r.power.sources = std::nullopt;
            if (row.type)
                r.power.sources
                    = std::vector {PowerSourceDescription {row.type, row.current, row.max, "Battery Power"}};
            r.wake.setPauseOnBattery(row.pause);
            r.at(0, true, "site");
            const auto &[power, block] = std::pair(r.wake.power(), r.wake.batteryBlock());
            const std::string seen = (power.isOnBattery ? "battery " : "mains ")
                + (power.percent ? std::to_string(*power.percent) : "-") + ", " + (block ? block->statusText() : "")
                + ", " + r.state();
            QCOMPARE(QByteArray::fromStdString(seen),
                     row.seen + QByteArray(", ") + (QByteArray(row.seen).endsWith(", ") ? "site/ none 0" : "/ none -"));
        }
    }

    // A held assertion keeps its name; a lost one is taken again under that name
    // and counts as held since it was first taken.
    void assertionLife()
    {
        Rig r;
        auto &w = r.wake;
        struct Step {
            const char *what;
            std::function<void()> act;
            const char *state;
            int refuse = 0; // creations of the type `refused` that fail
            Type refused = System;
        };
        const Step steps[] = {
            {"display wished, nothing wanted", [&] { w.setKeepDisplayAwake(true); }, "/ none -"},
            {"wanted", [&] { r.at(0, true, "site"); }, "site/site none 0"},
            {"wanted under another reason", [&] { r.at(50, true, "api"); }, "site/site none 0"},
            {"display not wished", [&] { w.setKeepDisplayAwake(false); }, "site/ none 0"},
            {"display wished again", [&] { w.setKeepDisplayAwake(true); }, "site/api none 0"},
            {"system lost", [&] { r.assertions.drop(w.systemAssertion()); }, "site/api none 0"},
            {"display lost, nobody takes it", [&] { r.assertions.drop(w.displayAssertion()); }, "site/ display 0", 1,
             Display},
            {"next wish takes the display", [&] { r.at(60); }, "site/api none 0"},
            {"system lost, nobody takes it", [&] { r.assertions.drop(w.systemAssertion()); }, "/ system -", 1},
            {"next wish takes both", [&] { r.at(100); }, "api/api none 100"},
            {"not wanted", [&] { r.at(110, false); }, "/ none -"},
            {"display refused", [&] { r.at(130); }, "api/ display 130", 1, Display},
            {"low battery releases all",
             [&] {
                 r.power.onBattery(10);
                 r.at(140);
             },
             "/ none -"},
        };
        for (const auto &step : steps) {
            (step.refused == System ? r.assertions.refuseSystem : r.assertions.refuseDisplay) = step.refuse;
            step.act();
            QCOMPARE(step.what + (": " + QByteArray::fromStdString(r.state())),
                     step.what + (": " + QByteArray(step.state)));
        }
    }
};

QTEST_GUILESS_MAIN(TestWakeController)
#include "tst_wakecontroller.moc"
