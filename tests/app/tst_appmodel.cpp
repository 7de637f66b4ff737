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

} // namespace

class TestAppModel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Stored preferences, and the fallback for a missing or unknown one.
    void construction()
    {
        const std::pair<const char *, const char *> rows[] = {
            {"wakeMode=always menuBarMetric=sessionTotal notifyWhenWaiting=false keepDisplayAwake=true "
             "pauseOnBattery=true trayIconStyle=dark",
             "always sessionTotal dark notify=0 keep=1 pause=1"},
            {"wakeMode=Always menuBarMetric=tokens trayIconStyle=bright notifyWhenWaiting='false' "
             "keepDisplayAwake='true' pauseOnBattery='true'",
             "whileWorking context automatic notify=1 keep=0 pause=0"},
        };
        for (const auto &[stored, expected] : rows) {
            ModelRig r;
            r.store(stored);
            const auto &m = r.start();
            const std::string seen = std::string(rawValue(m.wakeMode())) + ' '
                + std::string(rawValue(m.menuBarMetric())) + ' ' + std::string(rawValue(m.trayIconStyle())) + " notify="
                + std::to_string(m.notifyWhenWaiting()) + " keep=" + std::to_string(m.wake().keepDisplayAwake())
                + " pause=" + std::to_string(m.wake().pauseOnBattery());
            QCOMPARE(QByteArray::fromStdString(seen), expected);
        }
    }

    // After a refresh on battery: the headless line and the refresh period.
    // Records are listed newest first; a working one 900 s old is stale.
    void refresh()
    {
        const struct {
            const char *stored;
            const char *list;
            const char *line;
            bool refused = false;
        } rows[] = {
            {"", "site:waiting:1 api:working:5",
             "working | 0 | Keeping computer awake | Claude Code is working in api"},
            {"", "site:working:1 api:working:2",
             "working | 0 | Keeping computer awake | Claude Code is working in site"},
            {"", "site:working:900", "idle | 0 | Sleep allowed"},
            {"", "site:working:5", "working | 0 | Can't keep computer awake: no power service found", true},
            {"wakeMode=always", "", "ended | - | Keeping computer awake | Lullwatch"},
            {"wakeMode=always", "api:working:900 site:waiting:1000",
             "waiting | 0 | Keeping computer awake | Claude Code is working in site"},
            {"wakeMode=whileSessionOpen", "site:ended:1 api:idle:5",
             "idle | 0 | Keeping computer awake | Claude Code is working in site"},
            {"wakeMode=whileSessionOpen", "site:ended:5", "idle | 0 | Sleep allowed"},
            {"wakeMode=whileSessionOpen", "site:working:900", "idle | 0 | Sleep allowed"},
        };
        for (const auto &row : rows) {
            ModelRig r;
            r.store(row.stored);
            r.write(row.list);
            r.power.onBattery(80);
            r.assertions.refuseSystem = row.refused ? 1000 : 0;
            const auto &m = r.start();
            QVERIFY(r.refreshed());
            const double period = std::string_view(row.line).starts_with("working") ? 1 : 3;
            const QByteArray key = QByteArray(row.stored) + ' ' + row.list + ": ";
            QCOMPARE(QByteArray(key + line(m) + ", every " + QByteArray::number(*m.timerInterval())),
                     QByteArray(key + row.line + ", every " + QByteArray::number(period)));
        }
    }

    // A setting is stored and takes effect at once, with one waiting session on
    // battery; switching notifications on asks for the permission again.
    void settings()
    {
        const struct {
            const char *stored;
            const char *set;
            const char *line;
            const char *display = "";
            int queries = 0;
        } rows[] = {
            {"wakeMode=always", "wakeMode=off", "waiting | 500 | Sleep allowed"},
            {"wakeMode=always", "pauseOnBattery=true", "waiting | 500 | Paused \u2014 on battery"},
            {"wakeMode=always", "keepDisplayAwake=true",
             "waiting | 500 | Keeping computer awake | Claude Code is working in site",
             "Claude Code is working in site"},
            {"", "menuBarMetric=sessionTotal", "waiting | 2k | Sleep allowed"},
            {"notifyWhenWaiting=false", "notifyWhenWaiting=true", "waiting | 500 | Sleep allowed", "", 1},
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
        r.loginItem.unregisterError = "Permission denied";
        m.setLoginItem(false);
        QVERIFY(m.isLoginItem() && m.loginItemError() == "Permission denied");
        m.setLoginItem(true);
        QVERIFY(m.isLoginItem() && !m.loginItemError());
    }
};

QTEST_GUILESS_MAIN(TestAppModel)
#include "tst_appmodel.moc"
