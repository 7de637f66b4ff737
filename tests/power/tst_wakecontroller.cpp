#include "power/WakeController.h"
#include "support/FakeClock.h"
#include "support/FakePowerAssertions.h"
#include "support/FakePowerSource.h"

#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <memory>

using namespace lullwatch;
using namespace lullwatch::test;

using Type = PowerAssertions::Type;
using Refusal = WakeController::Refusal;
using Names = std::vector<std::string>;
Q_DECLARE_METATYPE(std::optional<int>)

namespace {

constexpr double start = 1'800'000'000.0;

// "type/state/current/max" per source, " | " between sources, "-" for a
// missing value; "none" when nothing can be read.
std::optional<std::vector<PowerSourceDescription>> sources(const QString &description)
{
    if (description == u"none")
        return std::nullopt;
    std::vector<PowerSourceDescription> result;
    const auto text
        = [](const QString &field) { return field == u"-" ? std::nullopt : std::optional(field.toStdString()); };
    const auto number
        = [](const QString &field) { return field == u"-" ? std::nullopt : std::optional(field.toLongLong()); };
    for (const QString &source : description.split(QStringLiteral(" | "), Qt::SkipEmptyParts)) {
        const QStringList f = source.split(u'/');
        result.push_back({text(f[0]), number(f[2]), number(f[3]), text(f[1])});
    }
    return result;
}

struct Rig {
    FakePowerAssertions assertions;
    FakePowerSource power;
    FakeClock clock {start};
    WakeController wake {assertions, power, clock};

    // What is held is what the controller says it holds, and the display is
    // never held without the system.
    void check() const
    {
        const auto system = assertions.names(Type::PreventUserIdleSystemSleep);
        const auto display = assertions.names(Type::NoDisplaySleep);
        QCOMPARE(system.size(), wake.isHoldingAssertion() ? 1u : 0u);
        QCOMPARE(display.size(), wake.displayIsHeld() ? 1u : 0u);
        QVERIFY(display.empty() || !system.empty());
        QCOMPARE(wake.heldSince().has_value(), wake.isHoldingAssertion());
        QCOMPARE(assertions.unknownReleases, 0);
    }
};

} // namespace

class TestWakeController : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readPowerSnapshot_data()
    {
        QTest::addColumn<QString>("sources");
        QTest::addColumn<bool>("onBattery");
        QTest::addColumn<std::optional<int>>("percent");
        using P = std::optional<int>;
        QTest::newRow("nothing readable") << "none" << false << P();
        QTest::newRow("on battery") << "InternalBattery/Battery Power/12/100" << true << P(12);
        QTest::newRow("on mains") << "InternalBattery/AC Power/80/100" << false << P(80);
        QTest::newRow("state in other case") << "InternalBattery/battery power/80/100" << false << P(80);
        QTest::newRow("156 of 1000 is 15") << "InternalBattery/Battery Power/156/1000" << true << P(15);
        QTest::newRow("2 of 3 rounds down") << "InternalBattery/Battery Power/2/3" << true << P(66);
        QTest::newRow("max 0: raw current") << "InternalBattery/Battery Power/42/0" << true << P(42);
        QTest::newRow("max missing: raw current") << "InternalBattery/Battery Power/42/-" << true << P(42);
        QTest::newRow("current missing") << "InternalBattery/Battery Power/-/100" << true << P();
        QTest::newRow("huge current does not overflow")
            << "InternalBattery/Battery Power/9223372036854775807/9223372036854775807" << true << P(100);
        QTest::newRow("a UPS only") << "UPS/Battery Power/5/100" << false << P();
        QTest::newRow("first internal battery wins")
            << "UPS/Battery Power/5/100 | InternalBattery/AC Power/90/100 | InternalBattery/Battery Power/3/100"
            << false << P(90);
    }

    void readPowerSnapshot()
    {
        QFETCH(QString, sources);
        QFETCH(bool, onBattery);
        QFETCH(std::optional<int>, percent);
        FakePowerSource source;
        source.sources = ::sources(sources);
        const PowerSnapshot snapshot = WakeController::readPowerSnapshot(source);
        QCOMPARE(snapshot.isOnBattery, onBattery);
        QCOMPARE(snapshot.percent, percent);
    }

    // blocked: 0 not, -1 paused on battery, else the low battery percentage.
    void batteryRule_data()
    {
        QTest::addColumn<bool>("wanted");
        QTest::addColumn<QString>("sources");
        QTest::addColumn<bool>("pause");
        QTest::addColumn<int>("blocked");
        QTest::newRow("plugged in at 5%, pause on") << true << "InternalBattery/AC Power/5/100" << true << 0;
        QTest::newRow("on battery at 15%") << true << "InternalBattery/Battery Power/15/100" << false << 15;
        QTest::newRow("on battery at 16%") << true << "InternalBattery/Battery Power/16/100" << false << 0;
        QTest::newRow("on battery at 16%, pause on") << true << "InternalBattery/Battery Power/16/100" << true << -1;
        QTest::newRow("156 of 1000") << true << "InternalBattery/Battery Power/156/1000" << false << 15;
        QTest::newRow("percent unknown, pause on") << true << "InternalBattery/Battery Power/-/100" << true << -1;
        QTest::newRow("percent unknown") << true << "InternalBattery/Battery Power/-/100" << false << 0;
        QTest::newRow("not wanted at 3%") << false << "InternalBattery/Battery Power/3/100" << false << 0;
    }

    void batteryRule()
    {
        QFETCH(bool, wanted);
        QFETCH(QString, sources);
        QFETCH(bool, pause);
        QFETCH(int, blocked);
        Rig r;
        r.power.sources = ::sources(sources);
        r.wake.setPauseOnBattery(pause);
        r.wake.update(wanted);
        const auto block = blocked == 0 ? std::nullopt
            : blocked < 0               ? std::optional(WakeController::BatteryBlock::onBattery())
                                        : std::optional(WakeController::BatteryBlock::lowBattery(blocked));
        QVERIFY(r.wake.batteryBlock() == block);
        QCOMPARE(r.wake.isHoldingAssertion(), wanted && blocked == 0);
        r.check();
    }

    // One controller through the life of its assertions. Each row's names
    // are those held after its step; a lost assertion is taken again under
    // the name it had, and counts as held since it was first taken. Every
    // property notifies exactly when its value changes.
    void assertionLife()
    {
        Rig r;
        auto &w = r.wake;
        struct Step {
            const char *what;
            std::function<void()> act;
            Names system, display;
            Refusal refusal;
            std::optional<double> heldSince;
        };
        const auto at = [&](double seconds, bool wanted) {
            r.clock.set(start + seconds);
            w.update(wanted);
        };
        const Step steps[] = {
            {"display wished, nothing wanted", [&] { w.setKeepDisplayAwake(true); }, {}, {}, Refusal::None, {}},
            {"wanted",
             [&] {
                 w.setReason("site");
                 at(0, true);
             },
             {"site"},
             {"site"},
             Refusal::None,
             start},
            {"wanted later under another reason",
             [&] {
                 w.setReason("api");
                 at(50, true);
             },
             {"site"},
             {"site"},
             Refusal::None,
             start},
            {"display not wished", [&] { w.setKeepDisplayAwake(false); }, {"site"}, {}, Refusal::None, start},
            {"display wished again", [&] { w.setKeepDisplayAwake(true); }, {"site"}, {"api"}, Refusal::None, start},
            {"system lost", [&] { r.assertions.drop(w.systemAssertion()); }, {"site"}, {"api"}, Refusal::None, start},
            {"display lost, nobody takes it",
             [&] {
                 r.assertions.refuseDisplay = 1;
                 r.assertions.drop(w.displayAssertion());
             },
             {"site"},
             {},
             Refusal::Display,
             start},
            {"next wish takes the display", [&] { at(60, true); }, {"site"}, {"api"}, Refusal::None, start},
            {"system lost, nobody takes it",
             [&] {
                 r.assertions.refuseSystem = 1;
                 r.assertions.drop(w.systemAssertion());
             },
             {},
             {},
             Refusal::System,
             {}},
            {"next wish takes both", [&] { at(100, true); }, {"api"}, {"api"}, Refusal::None, start + 100},
            {"not wanted", [&] { at(110, false); }, {}, {}, Refusal::None, {}},
            {"system refused",
             [&] {
                 r.assertions.refuseSystem = 1;
                 at(120, true);
             },
             {},
             {},
             Refusal::System,
             {}},
            {"display refused",
             [&] {
                 r.assertions.refuseDisplay = 1;
                 at(130, true);
             },
             {"api"},
             {},
             Refusal::Display,
             start + 130},
            {"low battery releases all",
             [&] {
                 r.power.onBattery(10);
                 at(140, true);
             },
             {},
             {},
             Refusal::None,
             {}},
            {"same reading again", [&] { at(150, true); }, {}, {}, Refusal::None, {}},
            {"pause on battery", [&] { w.setPauseOnBattery(true); }, {}, {}, Refusal::None, {}},
            {"plugged in",
             [&] {
                 r.power.pluggedIn(10);
                 at(160, true);
             },
             {"api"},
             {"api"},
             Refusal::None,
             start + 160},
        };

        struct Property {
            std::unique_ptr<QSignalSpy> spy;
            std::function<QString()> value;
        };
        const auto describe = [](auto value) { return QString::fromStdString(std::to_string(value)); };
        Property properties[] = {
            {std::make_unique<QSignalSpy>(&w, &WakeController::powerChanged),
             [&] { return describe(w.power().percent.value_or(-1) * 2 + (w.power().isOnBattery ? 1 : 0)); }},
            {std::make_unique<QSignalSpy>(&w, &WakeController::batteryBlockChanged),
             [&] { return w.batteryBlock() ? describe(w.batteryBlock()->percent) : QString(); }},
            {std::make_unique<QSignalSpy>(&w, &WakeController::isHoldingAssertionChanged),
             [&] { return describe(w.isHoldingAssertion()); }},
            {std::make_unique<QSignalSpy>(&w, &WakeController::heldSinceChanged),
             [&] { return describe(w.heldSince() ? w.heldSince()->time_since_epoch().count() : 0); }},
            {std::make_unique<QSignalSpy>(&w, &WakeController::displayIsHeldChanged),
             [&] { return describe(w.displayIsHeld()); }},
            {std::make_unique<QSignalSpy>(&w, &WakeController::keepDisplayAwakeChanged),
             [&] { return describe(w.keepDisplayAwake()); }},
            {std::make_unique<QSignalSpy>(&w, &WakeController::pauseOnBatteryChanged),
             [&] { return describe(w.pauseOnBattery()); }},
            {std::make_unique<QSignalSpy>(&w, &WakeController::refusalChanged),
             [&] { return describe(static_cast<int>(w.refusal())); }},
        };

        for (const auto &step : steps) {
            std::vector<QString> before;
            std::vector<qsizetype> counts;
            for (const auto &property : properties) {
                before.push_back(property.value());
                counts.push_back(property.spy->count());
            }
            step.act();
            const char *what = step.what;
            QVERIFY2(r.assertions.names(Type::PreventUserIdleSystemSleep) == step.system, what);
            QVERIFY2(r.assertions.names(Type::NoDisplaySleep) == step.display, what);
            QVERIFY2(w.refusal() == step.refusal, what);
            QVERIFY2(w.heldSince()
                         == (step.heldSince ? std::optional(timePointFromEpochSeconds(*step.heldSince)) : std::nullopt),
                     what);
            for (std::size_t i = 0; i < std::size(properties); ++i) {
                const qsizetype expected = counts[i] + (properties[i].value() != before[i] ? 1 : 0);
                QVERIFY2(properties[i].spy->count() == expected,
                         (std::string(what) + ", property " + std::to_string(i)).c_str());
            }
            r.check();
        }
    }
};

QTEST_GUILESS_MAIN(TestWakeController)
#include "tst_wakecontroller.moc"
