#include "app/StatusText.h"
#include "support/ModelRig.h"

#include <QSignalSpy>
#include <QTest>

using namespace lullwatch;
using namespace lullwatch::test;

namespace {

// Two turns: 400 + 100 and 300 + 200 tokens, 1000 written to the cache: 2000
// in all; the context of the last turn is 500.
const std::string twoTurns = "{\"type\":\"assistant\",\"message\":{\"id\":\"m1\",\"usage\":"
                             "{\"input_tokens\":400,\"output_tokens\":100,\"cache_creation_input_tokens\":1000}}}\n"
                             "{\"type\":\"assistant\",\"message\":{\"id\":\"m2\",\"usage\":"
                             "{\"input_tokens\":300,\"output_tokens\":200}}}\n";

// The headless line, with " | " between its parts.
QByteArray line(const AppModel &model)
{
    return QByteArray::fromStdString(headlessLine(model)).replace(" \u00b7 ", " | ");
}

std::string flag(bool value)
{
    return value ? "1" : "0";
}

} // namespace

class TestAppModel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Stored preferences, and the fallback for a missing or unknown one.
    void construction()
    {
        const char *defaults = "whileWorking context automatic notify=1 keep=0 pause=0";
        const std::pair<const char *, const char *> rows[] = {
            {"", defaults},
            {"wakeMode=always menuBarMetric=sessionTotal notifyWhenWaiting=false keepDisplayAwake=true "
             "pauseOnBattery=true trayIconStyle=dark",
             "always sessionTotal dark notify=0 keep=1 pause=1"},
            {"wakeMode=Always menuBarMetric=tokens trayIconStyle=bright notifyWhenWaiting='false' "
             "keepDisplayAwake='true' pauseOnBattery='true'",
             defaults},
        };
        for (const auto &[stored, expected] : rows) {
            ModelRig r;
            r.store(stored);
            const auto &m = r.start();
            const std::string seen = std::string(rawValue(m.wakeMode())) + ' '
                + std::string(rawValue(m.menuBarMetric())) + ' ' + std::string(rawValue(m.trayIconStyle()))
                + " notify=" + flag(m.notifyWhenWaiting()) + " keep=" + flag(m.wake().keepDisplayAwake())
                + " pause=" + flag(m.wake().pauseOnBattery());
            QCOMPARE(QByteArray::fromStdString(seen), expected);
        }
    }

    // After a refresh, on a laptop on battery: the headless line (overall
    // state, title, wake status and, while something is held, the primary
    // session's reason) and the refresh period. Records are listed newest
    // first, a working one 900 s old is stale; `refused`: what no provider takes.
    void refresh()
    {
        const struct {
            const char *stored;
            const char *list;
            const char *line;
            const char *refused = "";
        } rows[] = {
            {"", "", "ended | - | Sleep allowed"},
            {"", "site:waiting:1 api:working:5",
             "working | 0 | Keeping computer awake | Claude Code is working in api"},
            {"", "site:working:1 api:working:2",
             "working | 0 | Keeping computer awake | Claude Code is working in site"},
            {"", "api:working:5:copilot", "working | 0 | Keeping computer awake | Copilot CLI is working in api"},
            {"", "site:working:900", "idle | 0 | Sleep allowed"},
            {"", "site:working:5", "working | 0 | Can't keep computer awake: no power service found", "system"},
            {"keepDisplayAwake=true", "site:working:5",
             "working | 0 | Can't keep display awake: no screen-saver service found | Claude Code is working in site",
             "display"},
            {"wakeMode=always", "", "ended | - | Keeping computer awake | Lullwatch"},
            {"wakeMode=always", "api:working:900 site:waiting:1000",
             "waiting | 0 | Keeping computer awake | Claude Code is working in site"},
            {"wakeMode=always pauseOnBattery=true", "", "ended | - | Paused \u2014 on battery"},
            {"wakeMode=whileSessionOpen", "site:ended:1 api:idle:5",
             "idle | 0 | Keeping computer awake | Claude Code is working in site"},
            {"wakeMode=whileSessionOpen", "site:ended:5", "idle | 0 | Sleep allowed"},
            {"wakeMode=whileSessionOpen", "site:working:900", "idle | 0 | Sleep allowed"},
            {"wakeMode=off", "site:working:5", "working | 0 | Sleep allowed"},
        };
        for (const auto &row : rows) {
            ModelRig r;
            r.store(row.stored);
            r.write(row.list);
            r.power.onBattery(80);
            (row.refused == std::string_view("display") ? r.assertions.refuseDisplay : r.assertions.refuseSystem)
                = *row.refused ? 1000 : 0;
            const auto &m = r.start();
            QVERIFY(r.refreshed());
            const double period = std::string_view(row.line).starts_with("working") ? 1 : 3;
            const QByteArray key = QByteArray(row.stored) + ' ' + row.list + ": ";
            QCOMPARE(QByteArray(key + line(m) + ", every " + QByteArray::number(*m.timerInterval())),
                     QByteArray(key + row.line + ", every " + QByteArray::number(period)));
        }
    }

    // A setting is stored and takes effect at once, with one waiting session
    // on a laptop on battery; switching notifications on asks for the
    // permission again. The session is notified unless notifications are off.
    void settings()
    {
        const char *held = "waiting | 500 | Keeping computer awake | Claude Code is working in site";
        const struct {
            const char *stored;
            const char *set;
            const char *line;
            const char *display = "";
            int queries = 0;
        } rows[] = {
            {"wakeMode=always", "wakeMode=off", "waiting | 500 | Sleep allowed"},
            {"wakeMode=always", "pauseOnBattery=true", "waiting | 500 | Paused \u2014 on battery"},
            {"wakeMode=always pauseOnBattery=true", "pauseOnBattery=false", held},
            {"wakeMode=always", "keepDisplayAwake=true", held, "Claude Code is working in site"},
            {"wakeMode=always keepDisplayAwake=true", "keepDisplayAwake=false", held},
            {"", "menuBarMetric=sessionTotal", "waiting | 2k | Sleep allowed"},
            {"", "menuBarMetric=none", "waiting | - | Sleep allowed"},
            {"notifyWhenWaiting=false", "notifyWhenWaiting=true", "waiting | 500 | Sleep allowed", "", 1},
            {"", "notifyWhenWaiting=false", "waiting | 500 | Sleep allowed"},
        };
        for (const auto &row : rows) {
            ModelRig r, expected;
            r.store(row.stored);
            r.power.onBattery(80);
            writeFile(r.base / "t.jsonl", twoTurns);
            r.write("site:waiting:5", (r.base / "t.jsonl").string());
            auto &m = r.start();
            r.center.answerStatus(NotificationCenter::Authorization::Authorized);
            QVERIFY(r.refreshed());
            const int queries = r.center.statusQueries;
            const QByteArray set(row.set), key = set.left(set.indexOf('=')), value = set.mid(key.size() + 1);
            if (key == "wakeMode")
                m.setWakeMode(*wakeModeFromRaw(value.toStdString()));
            else if (key == "menuBarMetric")
                m.setMenuBarMetric(*menuBarMetricFromRaw(value.toStdString()));
            else if (key == "pauseOnBattery")
                m.setPauseOnBattery(value == "true");
            else if (key == "keepDisplayAwake")
                m.setKeepDisplayAwake(value == "true");
            else
                m.setNotifyWhenWaiting(value == "true");
            const auto display = r.assertions.names(PowerAssertions::Type::NoDisplaySleep);
            const bool notified = !QByteArray(row.stored).contains("notifyWhenWaiting=false");
            QCOMPARE(QByteArray(set + ": " + line(m) + ", display "
                                + QByteArray::fromStdString(display.empty() ? "" : display[0]) + ", asked "
                                + QByteArray::number(r.center.statusQueries - queries) + ", posted "
                                + QByteArray::number(r.center.posts.size())),
                     QByteArray(set + ": " + row.line + ", display " + row.display + ", asked "
                                + QByteArray::number(row.queries) + ", posted " + (notified ? "1" : "0")));
            expected.store(set);
            QVERIFY(r.preferences.values[key.toStdString()] == expected.preferences.values[key.toStdString()]);
        }
    }

    // A click on a notification asks for the session's terminal by its
    // agent's process; what cannot be shown there opens the panel.
    void showSession()
    {
        const struct {
            const char *clicked;
            std::int32_t asked; // 0: no terminal is looked for
            bool found;
            const char *outcome;
        } rows[] = {
            {"site", 101, true, "shown"},       {"site", 101, false, "panel"},
            {"docs", 0, true, "panel"}, // agent process unknown
            {"gone", 0, true, "panel"}, // session ended meanwhile
            {"test-notification", 0, true, ""},
        };
        for (const auto &row : rows) {
            ModelRig r;
            r.write("site:waiting:5:pid=101 api:waiting:3:pid=202 docs:waiting:4");
            auto &m = r.start();
            QVERIFY(r.refreshed());
            QSignalSpy shown(&m, &AppModel::sessionShown), panel(&m, &AppModel::panelRequested);
            r.center.activate(row.clicked);
            QCOMPARE(r.focus.requests, row.asked ? std::vector {row.asked} : std::vector<std::int32_t> {});
            r.focus.answer(row.found);
            QTRY_COMPARE(shown.count() + panel.count(), *row.outcome ? 1 : 0);
            QCOMPARE(shown.count() ? "shown" : panel.count() ? "panel" : "", row.outcome);
        }
    }

    // The toggle shows what the login item really is; an error stays until
    // an attempt succeeds.
    void loginItem()
    {
        ModelRig r;
        r.loginItem.enabled = true;
        auto &m = r.start();
        QSignalSpy errorChanged(&m, &AppModel::loginItemErrorChanged), itemChanged(&m, &AppModel::isLoginItemChanged);
        const struct {
            bool enable;
            const char *failure;
            const char *seen; // is a login item, signals about the error, signals about the item
        } steps[] = {
            {false, "Permission denied", "1 1 0"},  {false, "", "0 2 1"},
            {true, "No autostart folder", "0 3 1"}, {true, "", "1 4 2"},
            {true, "Already there", "1 5 2"},
        };
        for (const auto &step : steps) {
            const auto failure = *step.failure ? std::optional<std::string>(step.failure) : std::nullopt;
            (step.enable ? r.loginItem.registerError : r.loginItem.unregisterError) = failure;
            m.setLoginItem(step.enable);
            QCOMPARE(QByteArray::fromStdString(m.loginItemError().value_or("") + " / " + flag(m.isLoginItem()) + ' '
                                               + std::to_string(errorChanged.count()) + ' '
                                               + std::to_string(itemChanged.count())),
                     QByteArray(QByteArray(step.failure) + " / " + step.seen));
        }
    }
};

QTEST_GUILESS_MAIN(TestAppModel)
#include "tst_appmodel.moc"
