#include "app/StatusText.h"
#include "support/ModelRig.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>

using namespace lullwatch;
using namespace lullwatch::test;
namespace fs = std::filesystem;

using Type = PowerAssertions::Type;
using Value = FakePreferenceStore::Value;
Q_DECLARE_METATYPE(WakeMode)
Q_DECLARE_METATYPE(MenuBarMetric)
Q_DECLARE_METATYPE(TrayIconStyle)
Q_DECLARE_METATYPE(SessionState)

namespace {

constexpr double now = ModelRig::now;

// Two turns: 400 + 100 and 300 + 200 tokens. The session used 700 in and 300
// out; the context of the last turn is 500.
const std::string twoTurns = "{\"type\":\"assistant\",\"message\":{\"id\":\"m1\",\"usage\":"
                             "{\"input_tokens\":400,\"output_tokens\":100,\"cache_creation_input_tokens\":1000}}}\n"
                             "{\"type\":\"assistant\",\"message\":{\"id\":\"m2\",\"usage\":"
                             "{\"input_tokens\":300,\"output_tokens\":200}}}\n";

QByteArray text(const std::optional<std::string> &value)
{
    return value ? QByteArray::fromStdString(*value) : QByteArray();
}

struct Rig : ModelRig {
    QByteArray held() const
    {
        const auto names = assertions.names(Type::PreventUserIdleSystemSleep);
        return names.empty() ? QByteArray() : QByteArray::fromStdString(names.front());
    }
};

} // namespace

class TestAppModel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void construction_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<WakeMode>("mode");
        QTest::addColumn<MenuBarMetric>("metric");
        QTest::addColumn<bool>("notify");
        QTest::addColumn<bool>("keep");
        QTest::addColumn<bool>("pause");
        QTest::addColumn<TrayIconStyle>("tray");
        const auto row = [](const char *name, const char *stored, WakeMode mode, MenuBarMetric metric, bool notify,
                            bool keep, bool pause, TrayIconStyle tray = TrayIconStyle::Automatic) {
            QTest::newRow(name) << QByteArray(stored) << mode << metric << notify << keep << pause << tray;
        };
        using M = WakeMode;
        using B = MenuBarMetric;
        row("nothing stored", "", M::WhileWorking, B::Context, true, false, false);
        row("everything stored",
            "wakeMode=always menuBarMetric=sessionTotal notifyWhenWaiting=false keepDisplayAwake=true "
            "pauseOnBattery=true trayIconStyle=dark",
            M::Always, B::SessionTotal, false, true, true, TrayIconStyle::Dark);
        row("unknown names", "wakeMode=sometimes menuBarMetric=tokens trayIconStyle=bright", M::WhileWorking,
            B::Context, true, false, false);
        row("names in other case", "wakeMode=Always menuBarMetric=None trayIconStyle=Dark", M::WhileWorking, B::Context,
            true, false, false);
        row("flags stored as text", "notifyWhenWaiting='false' keepDisplayAwake='true' pauseOnBattery='true'",
            M::WhileWorking, B::Context, true, false, false);
    }

    void construction()
    {
        QFETCH(QByteArray, stored);
        QFETCH(WakeMode, mode);
        QFETCH(MenuBarMetric, metric);
        QFETCH(bool, notify);
        QFETCH(bool, keep);
        QFETCH(bool, pause);
        QFETCH(TrayIconStyle, tray);
        Rig r;
        r.store(stored);
        auto &model = r.start();
        QCOMPARE(model.wakeMode(), mode);
        QCOMPARE(model.menuBarMetric(), metric);
        QCOMPARE(model.notifyWhenWaiting(), notify);
        QCOMPARE(model.wake().keepDisplayAwake(), keep);
        QCOMPARE(model.wake().pauseOnBattery(), pause);
        QCOMPARE(model.trayIconStyle(), tray);
        // Loaded values are written back (a fallback replaces a bad one) ...
        QVERIFY(r.preferences.value("wakeMode") == Value(std::string(rawValue(mode))));
        QVERIFY(r.preferences.value("menuBarMetric") == Value(std::string(rawValue(metric))));
        QVERIFY(r.preferences.value("trayIconStyle") == Value(std::string(rawValue(tray))));
        QVERIFY(r.preferences.value("notifyWhenWaiting") == Value(notify));
        // ... except the two flags that only feed the wake controller.
        QCOMPARE(r.preferences.writesOf("keepDisplayAwake"), 0);
        QCOMPARE(r.preferences.writesOf("pauseOnBattery"), 0);
    }

    void firstRefreshComesAtOnce()
    {
        Rig r;
        fs::create_directories(r.sessions());
        writeFile(r.sessions() / "site.json", recordJson("site", "working", now - 5, "", ",\"pid\":4242"));
        auto &model = r.start();
        QCOMPARE(model.timerInterval(), std::optional(1.0));
        QVERIFY(model.sessions().empty());

        // Delivering the posted calls alone, with no timer able to fire,
        // starts a scan: it asks about the record's owner on the scanner's thread.
        QCoreApplication::sendPostedEvents(&model, QEvent::MetaCall);
        const QDeadlineTimer deadline(30000);
        while (r.probe.asked().empty() && !deadline.hasExpired())
            std::this_thread::yield();
        QVERIFY(r.probe.asked() == std::vector<std::int32_t> {4242});

        QVERIFY(r.refreshed());
        QCOMPARE(model.sessions().size(), 1u);
        QCOMPARE(r.held(), QByteArray("Claude Code is working in site"));
    }

    void timerPeriod_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<double>("period");
        QTest::newRow("no sessions") << QByteArray() << 3.0;
        QTest::newRow("working beside idle") << QByteArray("api:idle:1 site:working:5") << 1.0;
        QTest::newRow("waiting") << QByteArray("site:waiting:5") << 3.0;
        QTest::newRow("stale working") << QByteArray("site:working:900") << 3.0;
    }

    void timerPeriod()
    {
        QFETCH(QByteArray, list);
        QFETCH(double, period);
        Rig r;
        r.write(list);
        auto &model = r.start();
        QCOMPARE(model.timerInterval(), std::optional(1.0));
        QVERIFY(r.refreshed());
        QCOMPARE(model.timerInterval(), std::optional(period));
    }

    // Records are listed newest first; a record 900 s old is stale when working.
    void derived_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QByteArray>("primary");
        QTest::addColumn<SessionState>("overall");
        QTest::addColumn<QByteArray>("reason");
        const auto row
            = [](const char *name, const char *list, const char *primary, SessionState overall, const char *reason) {
                  QTest::newRow(name) << QByteArray(list) << QByteArray(primary) << overall << QByteArray(reason);
              };
        using S = SessionState;
        row("no sessions", "", nullptr, S::Ended, "Lullwatch");
        row("live working before newer waiting", "site:waiting:1 api:working:5", "api", S::Working,
            "Claude Code is working in api");
        row("first of two working", "site:working:1 api:working:2", "site", S::Working,
            "Claude Code is working in site");
        row("waiting after stale working", "api:working:900 site:waiting:1000", "site", S::Waiting,
            "Claude Code is working in site");
        row("first of idle and ended", "site:ended:1 api:idle:5", "site", S::Idle, "Claude Code is working in site");
        row("stale working only", "api:working:900", "api", S::Idle, "Claude Code is working in api");
        row("copilot", "api:working:5:copilot", "api", S::Working, "Copilot CLI is working in api");
    }

    void derived()
    {
        QFETCH(QByteArray, list);
        QFETCH(QByteArray, primary);
        QFETCH(SessionState, overall);
        QFETCH(QByteArray, reason);
        Rig r;
        r.write(list);
        auto &model = r.start();
        QVERIFY(r.refreshed());
        const auto found = model.primarySession();
        QCOMPARE(found ? QByteArray::fromStdString(found->id) : QByteArray(), primary);
        QCOMPARE(model.overallState(), overall);
        QCOMPARE(QByteArray::fromStdString(model.wake().reason()), reason);
        if (found)
            QCOMPARE(QByteArray::fromStdString(AppModel::wakeReason(*found)), reason);
    }

    void menuBarTitle_data()
    {
        QTest::addColumn<bool>("withSession");
        QTest::addColumn<MenuBarMetric>("metric");
        QTest::addColumn<QByteArray>("title");
        QTest::newRow("context") << true << MenuBarMetric::Context << QByteArray("500");
        QTest::newRow("session total") << true << MenuBarMetric::SessionTotal << QByteArray("2k"); // cache included
        QTest::newRow("none") << true << MenuBarMetric::None << QByteArray("");
        QTest::newRow("context, no session") << false << MenuBarMetric::Context << QByteArray("");
    }

    void menuBarTitle()
    {
        QFETCH(bool, withSession);
        QFETCH(MenuBarMetric, metric);
        QFETCH(QByteArray, title);
        Rig r;
        if (withSession) {
            writeFile(r.base / "t.jsonl", twoTurns);
            r.write("site:working:5", (r.base / "t.jsonl").string());
        }
        auto &model = r.start();
        QVERIFY(r.refreshed());
        QSignalSpy changed(&model, &AppModel::menuBarMetricChanged);
        model.setMenuBarMetric(metric);
        QCOMPARE(QByteArray::fromStdString(model.menuBarTitle()), title);
        QCOMPARE(changed.count(), metric == MenuBarMetric::Context ? 0 : 1);
        QVERIFY(r.preferences.value("menuBarMetric") == Value(std::string(rawValue(metric))));
    }

    // The wish of each mode, seen as the system assertion held right after
    // the mode is chosen (no refresh in between), and as the headless line
    // where one is given; "system" or "display" is what no provider takes.
    void wakeWish_data()
    {
        QTest::addColumn<WakeMode>("mode");
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<QByteArray>("refused");
        QTest::addColumn<QString>("line");
        const auto row = [](const char *name, WakeMode mode, const char *list, const char *held,
                            const char *refused = "", const char *line = nullptr) {
            QTest::newRow(name) << mode << QByteArray(list) << QByteArray(held) << QByteArray(refused)
                                << (line ? QString::fromUtf8(line) : QString());
        };
        using M = WakeMode;
        row("while working: working", M::WhileWorking, "site:working:5", "Claude Code is working in site", "",
            "working \u00b7 0 \u00b7 Keeping computer awake \u00b7 Claude Code is working in site");
        row("while working: copilot", M::WhileWorking, "api:working:5:copilot", "Copilot CLI is working in api");
        row("while working: waiting", M::WhileWorking, "site:waiting:5", nullptr, "",
            "waiting \u00b7 0 \u00b7 Sleep allowed");
        row("while working: stale", M::WhileWorking, "site:working:900", nullptr);
        row("while working: no power service", M::WhileWorking, "site:working:5", nullptr, "system",
            "working \u00b7 0 \u00b7 Can't keep computer awake: no power service found");
        row("while working: no screen saver", M::WhileWorking, "site:working:5", "Claude Code is working in site",
            "display",
            "working \u00b7 0 \u00b7 Can't keep display awake: no screen-saver service found \u00b7 Claude Code is "
            "working in site");
        row("while open: idle", M::WhileSessionOpen, "site:idle:5", "Claude Code is working in site");
        row("while open: ended", M::WhileSessionOpen, "site:ended:5", nullptr);
        row("while open: stale", M::WhileSessionOpen, "site:working:900", nullptr);
        row("while open: ended and idle", M::WhileSessionOpen, "site:ended:1 api:idle:5",
            "Claude Code is working in site");
        row("always: nothing", M::Always, "", "Lullwatch");
        row("always: no power service", M::Always, "", nullptr, "system",
            "ended \u00b7 - \u00b7 Can't keep computer awake: no power service found");
        row("off: working", M::Off, "site:working:5", nullptr);
    }

    void wakeWish()
    {
        QFETCH(WakeMode, mode);
        QFETCH(QByteArray, list);
        QFETCH(QByteArray, held);
        QFETCH(QByteArray, refused);
        QFETCH(QString, line);
        Rig r;
        r.write(list);
        if (refused == "display")
            r.store("keepDisplayAwake=true");
        (refused == "display" ? r.assertions.refuseDisplay : r.assertions.refuseSystem) = refused.isEmpty() ? 0 : 1000;
        auto &model = r.start();
        QVERIFY(r.refreshed());
        QCOMPARE(model.sessions().size(), list.isEmpty() ? 0u : list.count(' ') + 1u);
        model.setWakeMode(mode);
        QCOMPARE(r.held(), held);
        QCOMPARE(model.wake().isHoldingAssertion(), !held.isNull());
        if (!line.isNull())
            QCOMPARE(QString::fromStdString(headlessLine(model)), line);
    }

    // A setting is stored and takes effect at once, on a laptop on battery;
    // switching notifications on asks for the permission again.
    void settingTakesEffect_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("set");
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<int>("queries");
        QTest::newRow("wake mode off") << QByteArray("wakeMode=always") << QByteArray("wakeMode=off") << QByteArray()
                                       << QByteArray() << 0;
        QTest::newRow("pause on battery")
            << QByteArray("wakeMode=always") << QByteArray("pauseOnBattery=true") << QByteArray() << QByteArray() << 0;
        QTest::newRow("pause off") << QByteArray("wakeMode=always pauseOnBattery=true")
                                   << QByteArray("pauseOnBattery=false") << QByteArray("Lullwatch") << QByteArray()
                                   << 0;
        QTest::newRow("keep display awake") << QByteArray("wakeMode=always") << QByteArray("keepDisplayAwake=true")
                                            << QByteArray("Lullwatch") << QByteArray("Lullwatch") << 0;
        QTest::newRow("display may sleep")
            << QByteArray("wakeMode=always keepDisplayAwake=true") << QByteArray("keepDisplayAwake=false")
            << QByteArray("Lullwatch") << QByteArray() << 0;
        QTest::newRow("notify on again") << QByteArray() << QByteArray("notifyWhenWaiting=true") << QByteArray()
                                         << QByteArray() << 1;
        QTest::newRow("notify off") << QByteArray() << QByteArray("notifyWhenWaiting=false") << QByteArray()
                                    << QByteArray() << 0;
        QTest::newRow("notify switched on")
            << QByteArray("notifyWhenWaiting=false") << QByteArray("notifyWhenWaiting=true") << QByteArray()
            << QByteArray() << 1;
    }

    void settingTakesEffect()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QByteArray, set);
        QFETCH(QByteArray, held);
        QFETCH(QByteArray, display);
        QFETCH(int, queries);
        Rig r;
        r.store(stored);
        r.power.onBattery(80);
        auto &model = r.start();
        QVERIFY(r.refreshed());
        const int before = r.center.statusQueries;
        const QByteArray key = set.left(set.indexOf('='));
        const bool flag = set.endsWith("=true");
        if (key == "wakeMode")
            model.setWakeMode(*wakeModeFromRaw(set.mid(key.size() + 1).toStdString()));
        else if (key == "pauseOnBattery")
            model.setPauseOnBattery(flag);
        else if (key == "keepDisplayAwake")
            model.setKeepDisplayAwake(flag);
        else
            model.setNotifyWhenWaiting(flag);
        QCOMPARE(r.held(), held);
        const auto shown = r.assertions.names(Type::NoDisplaySleep);
        QCOMPARE(shown.empty() ? QByteArray() : QByteArray::fromStdString(shown.front()), display);
        QCOMPARE(r.center.statusQueries - before, queries);
        const Value written = key == "wakeMode" ? Value(set.mid(key.size() + 1).toStdString()) : Value(flag);
        QVERIFY(r.preferences.value(key.toStdString()) == written);
    }

    void notificationsFromRecords_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("posts");
        QTest::newRow("on") << QByteArray() << 1;
        QTest::newRow("off") << QByteArray("notifyWhenWaiting=false") << 0;
    }

    void notificationsFromRecords()
    {
        QFETCH(QByteArray, stored);
        QFETCH(int, posts);
        Rig r;
        r.store(stored);
        r.write("site:waiting:5 api:working:10");
        r.start();
        r.center.answerStatus(NotificationCenter::Authorization::Authorized);
        QVERIFY(r.refreshed());
        QCOMPARE(static_cast<int>(r.center.posts.size()), posts);
        if (posts) {
            QCOMPARE(r.center.posts[0].identifier, std::string("site"));
            QCOMPARE(r.center.posts[0].body, std::string("site is waiting for your input."));
        }
    }

    // A click on a notification, or a row's "Show", asks for the session's
    // terminal by its agent's process; what cannot be shown there opens the panel.
    void showSession_data()
    {
        QTest::addColumn<QByteArray>("clicked");
        QTest::addColumn<int>("asked"); // the pid the terminal is looked for by; 0 for none
        QTest::addColumn<bool>("found");
        QTest::addColumn<int>("shown");
        QTest::addColumn<int>("panel");
        QTest::newRow("terminal found") << QByteArray("site") << 101 << true << 1 << 0;
        QTest::newRow("no terminal found") << QByteArray("site") << 101 << false << 0 << 1;
        QTest::newRow("agent process unknown") << QByteArray("docs") << 0 << true << 0 << 1;
        QTest::newRow("session ended meanwhile") << QByteArray("gone") << 0 << true << 0 << 1;
        QTest::newRow("test notification") << QByteArray("test-notification") << 0 << true << 0 << 0;
    }

    void showSession()
    {
        QFETCH(QByteArray, clicked);
        QFETCH(int, asked);
        QFETCH(bool, found);
        QFETCH(int, shown);
        QFETCH(int, panel);
        Rig r;
        r.write("site:waiting:5:pid=101 api:waiting:3:pid=202 docs:waiting:4");
        auto &model = r.start();
        QVERIFY(r.refreshed());
        QSignalSpy shownSpy(&model, &AppModel::sessionShown);
        QSignalSpy panelSpy(&model, &AppModel::panelRequested);
        r.center.activate(clicked.toStdString());
        QCOMPARE(r.focus.requests, asked ? std::vector<std::int32_t> {asked} : std::vector<std::int32_t> {});
        r.focus.answer(found);
        QTRY_COMPARE(shownSpy.count() + panelSpy.count(), shown + panel);
        QCOMPARE(shownSpy.count(), shown);
        QCOMPARE(panelSpy.count(), panel);
    }

    void unchangedSessionsAreNotAnnounced()
    {
        Rig r;
        r.write("site:working:5");
        auto &model = r.start();
        QSignalSpy changed(&model, &AppModel::sessionsChanged);
        QVERIFY(r.refreshed());
        QCOMPARE(changed.count(), 1);
        model.performRefresh();
        QVERIFY(r.refreshed());
        QCOMPARE(changed.count(), 1);

        r.write("api:idle:1");
        model.performRefresh();
        QTRY_COMPARE(model.sessions().size(), 2u);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(model.sessions().front().id, std::string("api"));
    }

    // The toggle shows what the login item really is; an error stays until
    // an attempt succeeds.
    void loginItem()
    {
        Rig r;
        r.loginItem.enabled = true;
        auto &model = r.start();
        QVERIFY(model.isLoginItem());
        QSignalSpy errorChanged(&model, &AppModel::loginItemErrorChanged);
        QSignalSpy itemChanged(&model, &AppModel::isLoginItemChanged);

        struct Step {
            const char *what;
            bool enable;
            const char *failure; // of this attempt
            const char *error;
            bool isLoginItem;
            int errorSignals;
            int itemSignals;
        };
        const Step steps[] = {
            {"removal fails", false, "Permission denied", "Permission denied", true, 1, 0},
            {"removal works", false, nullptr, nullptr, false, 2, 1},
            {"adding fails", true, "No autostart folder", "No autostart folder", false, 3, 1},
            {"adding works", true, nullptr, nullptr, true, 4, 2},
            {"adding again fails, item still there", true, "Already there", "Already there", true, 5, 2},
        };
        for (const auto &step : steps) {
            auto &failure = step.enable ? r.loginItem.registerError : r.loginItem.unregisterError;
            failure = step.failure ? std::optional<std::string>(step.failure) : std::nullopt;
            model.setLoginItem(step.enable);
            QVERIFY2(text(model.loginItemError()) == QByteArray(step.error), step.what);
            QVERIFY2(model.isLoginItem() == step.isLoginItem, step.what);
            QVERIFY2(errorChanged.count() == step.errorSignals, step.what);
            QVERIFY2(itemChanged.count() == step.itemSignals, step.what);
        }
    }

    // The stored battery preference belongs to the very first run of the
    // wake rule: in "always" mode on battery with pausing on, nothing is
    // ever to be taken.
    // Loading the wake mode runs the wake rule before the battery preference
    // is loaded: "always" holds from that moment, and the first refresh,
    // which follows at once, applies the stored pause.
    void storedPauseAppliesAtTheFirstRefresh()
    {
        Rig r;
        r.store("wakeMode=always pauseOnBattery=true keepDisplayAwake=true");
        r.power.onBattery(80);
        auto &model = r.start();
        QCOMPARE(r.assertions.attempts.size(), 2u); // system, then display once the preference loads
        QVERIFY(r.refreshed());
        QVERIFY(!model.wake().isHoldingAssertion());
        QVERIFY(r.assertions.live.empty());
        QVERIFY(model.wake().batteryBlock() == WakeController::BatteryBlock::onBattery());
    }
};

QTEST_GUILESS_MAIN(TestAppModel)
#include "tst_appmodel.moc"
