#include "app/StatusText.h"
#include "power/WakeController.h"
#include "support/FakeClock.h"
#include "support/FakePowerAssertions.h"
#include "support/FakePowerSource.h"

#include <QSignalSpy>
#include <QTest>

#include <array>
#include <functional>

using namespace lullwatch;
using namespace lullwatch::test;

using Sources = std::optional<std::vector<PowerSourceDescription>>;
// What the power source reports; wrapped, as descriptions have no operator== for QVariant.
struct Reading {
    Sources sources;
};
using Block = std::optional<WakeController::BatteryBlock>;
using Type = PowerAssertions::Type;
using Assertion = FakePowerAssertions::Assertion;
Q_DECLARE_METATYPE(Reading)
Q_DECLARE_METATYPE(Block)
Q_DECLARE_METATYPE(std::optional<int>)

namespace {

constexpr double start = 1'800'000'000.0;
const std::string defaultReason = "Lullwatch";

PowerSourceDescription internal(const char *state, std::optional<long long> current, std::optional<long long> max = 100)
{
    return {"InternalBattery", current, max, state ? std::optional<std::string>(state) : std::nullopt};
}

Reading only(PowerSourceDescription description)
{
    return {std::vector {std::move(description)}};
}

// A controller over fresh fakes.
struct Rig {
    FakePowerAssertions assertions;
    FakePowerSource power;
    FakeClock clock {start};
    WakeController wake {assertions, power, clock};

    // The controller's view matches what is really held, and the display
    // assertion is never held without the system one.
    void check() const
    {
        const auto system = assertions.names(Type::PreventUserIdleSystemSleep);
        const auto display = assertions.names(Type::NoDisplaySleep);
        QCOMPARE(system.size(), wake.isHoldingAssertion() ? 1u : 0u);
        QCOMPARE(display.size(), wake.displayIsHeld() ? 1u : 0u);
        QVERIFY(display.empty() || !system.empty());
        QCOMPARE(wake.heldSince().has_value(), wake.isHoldingAssertion());
        QCOMPARE(wake.systemAssertion() != 0, wake.isHoldingAssertion());
        QCOMPARE(wake.displayAssertion() != 0, wake.displayIsHeld());
        QCOMPARE(assertions.unknownReleases, 0);
    }
};

} // namespace

class TestWakeController : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readPowerSnapshot_data()
    {
        QTest::addColumn<Reading>("reading");
        QTest::addColumn<bool>("onBattery");
        QTest::addColumn<std::optional<int>>("percent");
        const std::optional<int> unknown;
        const std::optional<long long> missing;
        using P = std::optional<int>;

        QTest::newRow("nothing readable") << Reading() << false << unknown;
        QTest::newRow("no sources") << Reading {std::vector<PowerSourceDescription> {}} << false << unknown;
        QTest::newRow("on battery, 12 of 100") << only(internal("Battery Power", 12)) << true << P(12);
        QTest::newRow("on mains, 80 of 100") << only(internal("AC Power", 80)) << false << P(80);
        QTest::newRow("state missing") << only(internal(nullptr, 80)) << false << P(80);
        QTest::newRow("state in other case") << only(internal("battery power", 80)) << false << P(80);
        QTest::newRow("156 of 1000 is 15") << only(internal("Battery Power", 156, 1000)) << true << P(15);
        QTest::newRow("160 of 1000 is 16") << only(internal("Battery Power", 160, 1000)) << true << P(16);
        QTest::newRow("2 of 3 rounds down") << only(internal("Battery Power", 2, 3)) << true << P(66);
        QTest::newRow("max 1 still divides") << only(internal("Battery Power", 42, 1)) << true << P(4200);
        QTest::newRow("max 0: raw current") << only(internal("Battery Power", 42, 0)) << true << P(42);
        QTest::newRow("max negative: raw current") << only(internal("Battery Power", 42, -5)) << true << P(42);
        QTest::newRow("max missing: raw current") << only(internal("Battery Power", 42, missing)) << true << P(42);
        QTest::newRow("current missing") << only(internal("Battery Power", missing)) << true << unknown;
        QTest::newRow("a UPS only") << only({"UPS", 5, 100, "Battery Power"}) << false << unknown;
        QTest::newRow("type missing") << only({std::nullopt, 5, 100, "Battery Power"}) << false << unknown;
        QTest::newRow("type in other case") << only({"internalBattery", 5, 100, "Battery Power"}) << false << unknown;
        const Reading several {std::vector<PowerSourceDescription> {
            {"UPS", 5, 100, "Battery Power"}, internal("AC Power", 90), internal("Battery Power", 3)}};
        QTest::newRow("first internal battery wins") << several << false << P(90);
    }

    void readPowerSnapshot()
    {
        QFETCH(Reading, reading);
        QFETCH(bool, onBattery);
        QFETCH(std::optional<int>, percent);
        FakePowerSource source;
        source.sources = reading.sources;
        const PowerSnapshot snapshot = WakeController::readPowerSnapshot(source);
        QCOMPARE(snapshot.isOnBattery, onBattery);
        QCOMPARE(snapshot.percent, percent);
    }

    void batteryRule_data()
    {
        QTest::addColumn<bool>("wanted");
        QTest::addColumn<Reading>("reading");
        QTest::addColumn<bool>("pause");
        QTest::addColumn<Block>("block");
        QTest::addColumn<bool>("held");
        const auto battery = [](std::optional<long long> current, long long max = 100) {
            return only(internal("Battery Power", current, max));
        };
        const auto mains = [](long long current) { return only(internal("AC Power", current)); };
        const Block none;
        const auto low = [](int percent) { return Block(WakeController::BatteryBlock::lowBattery(percent)); };
        const Block paused = WakeController::BatteryBlock::onBattery();

        QTest::newRow("plugged in at 5%, pause on") << true << mains(5) << true << none << true;
        QTest::newRow("on battery at 15%") << true << battery(15) << false << low(15) << false;
        QTest::newRow("on battery at 15%, pause on") << true << battery(15) << true << low(15) << false;
        QTest::newRow("on battery at 16%") << true << battery(16) << false << none << true;
        QTest::newRow("on battery at 16%, pause on") << true << battery(16) << true << paused << false;
        QTest::newRow("156 of 1000") << true << battery(156, 1000) << false << low(15) << false;
        QTest::newRow("160 of 1000") << true << battery(160, 1000) << false << none << true;
        QTest::newRow("on battery at 0%") << true << battery(0) << false << low(0) << false;
        QTest::newRow("percent unknown, pause on") << true << battery(std::nullopt) << true << paused << false;
        QTest::newRow("percent unknown") << true << battery(std::nullopt) << false << none << true;
        QTest::newRow("nothing readable, pause on") << true << Reading() << true << none << true;
        QTest::newRow("not wanted, battery at 3%") << false << battery(3) << false << none << false;
        QTest::newRow("not wanted, on battery, pause on") << false << battery(80) << true << none << false;
        QTest::newRow("not wanted, plugged in") << false << mains(80) << false << none << false;
    }

    void batteryRule()
    {
        QFETCH(bool, wanted);
        QFETCH(Reading, reading);
        QFETCH(bool, pause);
        QFETCH(Block, block);
        QFETCH(bool, held);
        Rig r;
        r.power.sources = reading.sources;
        r.wake.setPauseOnBattery(pause);
        r.wake.update(wanted);
        QVERIFY(r.wake.batteryBlock() == block);
        QCOMPARE(r.wake.isHoldingAssertion(), held);
        if (held) {
            QVERIFY(
                (r.assertions.attempts == std::vector {Assertion {Type::PreventUserIdleSystemSleep, defaultReason}}));
            QVERIFY(r.wake.heldSince() == timePointFromEpochSeconds(start));
        } else {
            QVERIFY(r.assertions.attempts.empty());
        }
        QVERIFY(r.wake.power() == WakeController::readPowerSnapshot(r.power));
        r.check();
    }

    // The wake status after one wish, with the display kept awake too.
    void statusText_data()
    {
        QTest::addColumn<Reading>("reading");
        QTest::addColumn<bool>("pause");
        QTest::addColumn<QByteArray>("refused");
        QTest::addColumn<QString>("text");
        const auto battery = [](long long percent) { return only(internal("Battery Power", percent)); };
        const Reading mains = only(internal("AC Power", 80));
        const QString noPower = QStringLiteral("Can't keep computer awake: no power service found");
        QTest::newRow("low at 12") << battery(12) << false << QByteArray()
                                   << QStringLiteral("Paused \u2014 battery at 12%");
        QTest::newRow("low at 0") << battery(0) << false << QByteArray()
                                  << QStringLiteral("Paused \u2014 battery at 0%");
        QTest::newRow("on battery") << battery(80) << true << QByteArray()
                                    << QStringLiteral("Paused \u2014 on battery");
        QTest::newRow("held") << mains << false << QByteArray() << QStringLiteral("Keeping computer awake");
        QTest::newRow("no power service") << mains << false << QByteArray("system") << noPower;
        QTest::newRow("no screen saver") << mains << false << QByteArray("display")
                                         << QStringLiteral("Can't keep display awake: no screen-saver service found");
        QTest::newRow("paused, no power service")
            << battery(80) << true << QByteArray("system") << QStringLiteral("Paused \u2014 on battery");
    }

    void statusText()
    {
        QFETCH(Reading, reading);
        QFETCH(bool, pause);
        QFETCH(QByteArray, refused);
        QFETCH(QString, text);
        Rig r;
        r.power.sources = reading.sources;
        r.assertions.refuseSystem = refused == "system";
        r.assertions.refuseDisplay = refused == "display";
        r.wake.setKeepDisplayAwake(true);
        r.wake.setPauseOnBattery(pause);
        r.wake.update(true);
        QCOMPARE(QString::fromStdString(wakeStatusText(r.wake)), text);
        r.check();
    }

    // An assertion whose provider went away is taken again at once under
    // the name it had; when nobody takes it, the controller says so, and
    // the next wish tries again.
    void lostAssertionIsTakenAgain_data()
    {
        QTest::addColumn<bool>("display");
        QTest::addColumn<bool>("refused");
        QTest::newRow("system, taken again") << false << false;
        QTest::newRow("system, nobody takes it") << false << true;
        QTest::newRow("display, taken again") << true << false;
        QTest::newRow("display, nobody takes it") << true << true;
    }

    void lostAssertionIsTakenAgain()
    {
        QFETCH(bool, display);
        QFETCH(bool, refused);
        Rig r;
        r.wake.setKeepDisplayAwake(true);
        r.wake.setReason("site");
        r.wake.update(true);
        r.wake.setReason("api");
        r.clock.set(start + 30);
        QSignalSpy refusal(&r.wake, &WakeController::refusalChanged);
        const Type type = display ? Type::NoDisplaySleep : Type::PreventUserIdleSystemSleep;
        (display ? r.assertions.refuseDisplay : r.assertions.refuseSystem) = refused;
        r.assertions.drop(display ? r.wake.displayAssertion() : r.wake.systemAssertion());

        QVERIFY(r.assertions.attempts.back() == (Assertion {type, "site"}));
        QCOMPARE(r.wake.isHoldingAssertion(), display || !refused);
        QCOMPARE(r.wake.displayIsHeld(), !refused);
        QVERIFY(r.wake.heldSince()
                == (display || !refused ? std::optional(timePointFromEpochSeconds(start)) : std::nullopt));
        const auto expected = !refused ? WakeController::Refusal::None
            : display                  ? WakeController::Refusal::Display
                                       : WakeController::Refusal::System;
        QCOMPARE(r.wake.refusal(), expected);
        QCOMPARE(refusal.count(), refused ? 1 : 0);
        r.check();

        r.wake.update(true);
        QVERIFY(r.wake.isHoldingAssertion() && r.wake.displayIsHeld());
        QCOMPARE(r.wake.refusal(), WakeController::Refusal::None);
        r.check();
    }

    // A second wish while holding changes nothing: not the name (even after
    // the reason changed), not the time it was taken.
    void heldAssertionKeepsItsNameAndTime()
    {
        Rig r;
        QSignalSpy holding(&r.wake, &WakeController::isHoldingAssertionChanged);
        QSignalSpy since(&r.wake, &WakeController::heldSinceChanged);
        r.wake.setReason("Claude Code is working in site");
        r.wake.update(true);
        r.clock.set(start + 50);
        r.wake.setReason("Claude Code is working in api");
        r.wake.update(true);
        QCOMPARE(r.assertions.attempts.size(), 1u);
        QVERIFY(r.assertions.names(Type::PreventUserIdleSystemSleep)
                == std::vector<std::string> {"Claude Code is working in site"});
        QVERIFY(r.wake.heldSince() == timePointFromEpochSeconds(start));
        QCOMPARE(holding.count(), 1);
        QCOMPARE(since.count(), 1);

        // Released and taken again: a new assertion under the current reason.
        const auto first = r.wake.systemAssertion();
        r.wake.update(false);
        QVERIFY(r.assertions.released == std::vector {first});
        r.check();
        r.wake.update(true);
        QVERIFY(r.assertions.names(Type::PreventUserIdleSystemSleep)
                == std::vector<std::string> {"Claude Code is working in api"});
        QVERIFY(r.wake.heldSince() == timePointFromEpochSeconds(start + 50));
        QCOMPARE(holding.count(), 3);
        r.check();
    }

    void refusedCreationIsRetried()
    {
        Rig r;
        r.wake.setKeepDisplayAwake(true);
        r.assertions.refuseSystem = 1;
        QSignalSpy holding(&r.wake, &WakeController::isHoldingAssertionChanged);
        r.wake.update(true);
        QVERIFY(!r.wake.isHoldingAssertion());
        QCOMPARE(r.assertions.attempts.size(), 1u); // no display assertion without a system one
        QCOMPARE(holding.count(), 0);
        r.check();

        r.clock.set(start + 3);
        r.wake.update(true);
        QVERIFY(r.wake.isHoldingAssertion());
        QVERIFY(r.wake.displayIsHeld());
        QVERIFY(r.wake.heldSince() == timePointFromEpochSeconds(start + 3));
        QCOMPARE(holding.count(), 1);
        r.check();
    }

    void displayFollowsTheSystemAssertion()
    {
        Rig r;
        QSignalSpy display(&r.wake, &WakeController::displayIsHeldChanged);
        r.wake.setKeepDisplayAwake(true); // nothing held yet: nothing to add
        QVERIFY(r.assertions.attempts.empty());
        QVERIFY(!r.wake.displayIsHeld());

        r.wake.setReason("site");
        r.wake.update(true);
        QVERIFY(
            r.assertions.attempts
            == (std::vector<Assertion> {{Type::PreventUserIdleSystemSleep, "site"}, {Type::NoDisplaySleep, "site"}}));
        QCOMPARE(display.count(), 1);
        r.check();

        r.wake.setKeepDisplayAwake(true); // already held
        QCOMPARE(r.assertions.attempts.size(), 2u);

        const auto displayId = r.wake.displayAssertion();
        r.wake.setKeepDisplayAwake(false); // at once, and the system assertion stays
        QVERIFY(r.assertions.released == std::vector {displayId});
        QVERIFY(r.wake.isHoldingAssertion());
        QCOMPARE(display.count(), 2);
        r.check();

        r.wake.setReason("api");
        r.wake.setKeepDisplayAwake(true); // named with the reason of now
        QVERIFY(r.assertions.names(Type::NoDisplaySleep) == std::vector<std::string> {"api"});
        QVERIFY(r.assertions.names(Type::PreventUserIdleSystemSleep) == std::vector<std::string> {"site"});
        r.check();

        r.wake.update(false); // both go
        QVERIFY(r.assertions.live.empty());
        QCOMPARE(display.count(), 4);
        r.check();
    }

    void refusedDisplayIsRetriedWithTheNextWish()
    {
        Rig r;
        r.wake.setKeepDisplayAwake(true);
        r.assertions.refuseDisplay = 1;
        r.wake.update(true);
        QVERIFY(r.wake.isHoldingAssertion());
        QVERIFY(!r.wake.displayIsHeld());
        QCOMPARE(r.wake.refusal(), WakeController::Refusal::Display);
        r.check();

        r.wake.update(true);
        QCOMPARE(r.assertions.attempts.size(), 3u);
        QVERIFY(r.wake.displayIsHeld());
        QCOMPARE(r.wake.refusal(), WakeController::Refusal::None);
        r.check();
    }

    // Each observer hears of a property only when its value really changes.
    void signalsOnlyOnChange()
    {
        Rig r;
        auto &w = r.wake;
        QSignalSpy power(&w, &WakeController::powerChanged);
        QSignalSpy block(&w, &WakeController::batteryBlockChanged);
        QSignalSpy holding(&w, &WakeController::isHoldingAssertionChanged);
        QSignalSpy since(&w, &WakeController::heldSinceChanged);
        QSignalSpy display(&w, &WakeController::displayIsHeldChanged);
        QSignalSpy keep(&w, &WakeController::keepDisplayAwakeChanged);
        QSignalSpy pause(&w, &WakeController::pauseOnBatteryChanged);

        struct Step {
            const char *what;
            std::function<void()> act;
            std::array<int, 7> counts; // power, block, holding, since, display, keep, pause
        };
        const Step steps[] = {
            {"mains at 80, not wanted",
             [&] {
                 r.power.pluggedIn(80);
                 w.update(false);
             },
             {1, 0, 0, 0, 0, 0, 0}},
            {"same again", [&] { w.update(false); }, {1, 0, 0, 0, 0, 0, 0}},
            {"keep display off as it was", [&] { w.setKeepDisplayAwake(false); }, {1, 0, 0, 0, 0, 0, 0}},
            {"wanted", [&] { w.update(true); }, {1, 0, 1, 1, 0, 0, 0}},
            {"wanted a minute later",
             [&] {
                 r.clock.set(start + 60);
                 w.update(true);
             },
             {1, 0, 1, 1, 0, 0, 0}},
            {"keep display on", [&] { w.setKeepDisplayAwake(true); }, {1, 0, 1, 1, 1, 1, 0}},
            {"keep display on again", [&] { w.setKeepDisplayAwake(true); }, {1, 0, 1, 1, 1, 1, 0}},
            {"unplugged at 80",
             [&] {
                 r.power.onBattery(80);
                 w.update(true);
             },
             {2, 0, 1, 1, 1, 1, 0}},
            {"pause on battery: no effect yet", [&] { w.setPauseOnBattery(true); }, {2, 0, 1, 1, 1, 1, 1}},
            {"pause again", [&] { w.setPauseOnBattery(true); }, {2, 0, 1, 1, 1, 1, 1}},
            {"next update pauses", [&] { w.update(true); }, {2, 1, 2, 2, 2, 1, 1}},
            {"same reading", [&] { w.update(true); }, {2, 1, 2, 2, 2, 1, 1}},
            {"battery at 10",
             [&] {
                 r.power.onBattery(10);
                 w.update(true);
             },
             {3, 2, 2, 2, 2, 1, 1}},
            {"battery at 9",
             [&] {
                 r.power.onBattery(9);
                 w.update(true);
             },
             {4, 3, 2, 2, 2, 1, 1}},
            {"no longer wanted", [&] { w.update(false); }, {4, 4, 2, 2, 2, 1, 1}},
            {"plugged in at 9, wanted",
             [&] {
                 r.power.pluggedIn(9);
                 w.update(true);
             },
             {5, 4, 3, 3, 3, 1, 1}},
        };
        for (const auto &step : steps) {
            step.act();
            const std::array<int, 7> counts {static_cast<int>(power.count()),   static_cast<int>(block.count()),
                                             static_cast<int>(holding.count()), static_cast<int>(since.count()),
                                             static_cast<int>(display.count()), static_cast<int>(keep.count()),
                                             static_cast<int>(pause.count())};
            if (counts != step.counts) {
                QString seen;
                for (int count : counts)
                    seen += QString::number(count) + u' ';
                QFAIL(qPrintable(QString::fromLatin1(step.what) + QStringLiteral(": ") + seen));
            }
            r.check();
        }
        QCOMPARE(holding.last().at(0).toBool(), true);
        QCOMPARE(display.last().at(0).toBool(), true);
    }
};

QTEST_GUILESS_MAIN(TestWakeController)
#include "tst_wakecontroller.moc"
