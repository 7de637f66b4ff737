#include "PanelRig.h"
#include "ui/ElidedLabel.h"
#include "ui/EnglishPlurals.h"
#include "ui/HookStatusRow.h"
#include "ui/NotificationStatusRow.h"
#include "ui/Panel.h"
#include "ui/PanelStyle.h"
#include "ui/SessionList.h"
#include "ui/SessionRow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <map>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace lullwatch::ui;
using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

// A Claude Code session in /home/dev/<id>, with its usage.
SessionInfo session(const std::string &id, SessionState state = SessionState::Working)
{
    SessionInfo info;
    info.id = id;
    info.state = state;
    info.cwd = "/home/dev/" + id;
    info.usage.tokens.output = 999;
    info.usage.tokens.cacheRead = 1'300'000;
    info.usage.contextTokens = 45'300;
    info.usage.turns = 3;
    info.usage.model = "claude-sonnet-4-5";
    return info;
}

template<typename T> T *child(const QWidget &parent, const char *name)
{
    return parent.findChild<T *>(QString::fromLatin1(name));
}

QString text(const QWidget &parent, const char *name)
{
    return child<QLabel>(parent, name)->text();
}

// The row as read: folder (cut: its first three letters), badge and state,
// then the usage and model lines where shown.
QString shown(const SessionRow &row)
{
    QString folder = child<ElidedLabel>(row, "folderLabel")->shownText();
    if (folder.endsWith(u'\u2026'))
        folder = folder.left(3) + u'\u2026';
    QStringList lines {folder + u' ' + text(row, "sourceBadge") + u' ' + text(row, "stateLabel")};
    if (!child<QWidget>(row, "usageLine")->isHidden())
        lines << QStringList {text(row, "contextLabel"), text(row, "outputLabel"), text(row, "cacheLabel"),
                              text(row, "turnsLabel")}
                     .join(u' ');
    if (!child<QWidget>(row, "modelLabel")->isHidden())
        lines << text(row, "modelLabel");
    return lines.join(" | "_L1);
}

} // namespace

class TestPanel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCoreApplication::installTranslator(new EnglishPlurals(this)); }

    void placement()
    {
        // Below a top bar icon, centred on it; near the right edge, kept
        // inside; from a bottom panel, upwards.
        const QRect screen(0, 0, 1920, 1080);
        QCOMPARE(Panel::placement({320, 400}, {1000, 28}, screen), QRect(840, 28, 320, 400));
        QCOMPARE(Panel::placement({320, 400}, {1910, 28}, screen), QRect(1600, 28, 320, 400));
        QCOMPARE(Panel::placement({320, 400}, {100, 1050}, screen), QRect(0, 650, 320, 400));
    }

    // A row as read; a folder name too long is cut, and the badge and the
    // state keep their room.
    void sessionRow_data()
    {
        QTest::addColumn<SessionInfo>("info");
        QTest::addColumn<QString>("read");
        QTest::addColumn<QColor>("dot");
        const QString usage = u" | 45k 999 1.3M 3 turns | claude-sonnet-4-5"_s;
        QTest::newRow("working") << session("site") << u"site Claude Working"_s + usage << greenColor();
        auto oneTurn = session("site/");
        oneTurn.usage.turns = 1;
        oneTurn.usage.model.reset();
        QTest::newRow("one turn, no model yet")
            << oneTurn << u"site Claude Working | 45k 999 1.3M 1 turn"_s << greenColor();
        // Lullwatch reads no Copilot CLI transcript: no counts to show.
        auto copilot = session("api");
        copilot.source = SessionSource::Copilot;
        QTest::newRow("copilot") << copilot << u"api Copilot Working"_s << greenColor();
        auto stale = session("site");
        stale.isStale = true;
        QTest::newRow("stale") << stale << u"site Claude Stale"_s + usage << orangeColor();
        QTest::newRow("waiting") << session("a", SessionState::Waiting) << u"a Claude Needs you"_s + usage
                                 << yellowColor();
        QTest::newRow("long folder") << session(std::string(120, 'x')) << u"xxx\u2026 Claude Working"_s + usage
                                     << greenColor();
    }

    void sessionRow()
    {
        QFETCH(SessionInfo, info);
        QFETCH(QString, read);
        QFETCH(QColor, dot);
        SessionRow row(info);
        row.setFixedWidth(Panel::panelWidth);
        row.show();
        QCOMPARE(shown(row), read);
        QCOMPARE(row.dotColor(), dot);
        QVERIFY(child<QLabel>(row, "folderLabel")->geometry().right()
                < child<QLabel>(row, "sourceBadge")->geometry().left());
        QVERIFY(row.contentsRect().contains(child<QLabel>(row, "stateLabel")->geometry()));
    }

    // The collapsed list offers its further sessions; expanded, it takes
    // their height within bounds (0: their own) and scrolls beyond, also
    // when the last row grows (its model line arrives) as it expands.
    void expand_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<SessionSource>("source"); // of all but the first
        QTest::addColumn<QString>("more"); // and the tooltip
        QTest::addColumn<int>("height");
        QTest::newRow("one: no button") << 1 << SessionSource::Claude << QString() << 0;
        QTest::newRow("one short row") << 2 << SessionSource::Copilot << u"+1 Show 1 more session"_s
                                       << SessionList::minimumExtraHeight;
        QTest::newRow("one tall row") << 2 << SessionSource::Claude << u"+1 Show 1 more session"_s << 0;
        QTest::newRow("ten rows") << 11 << SessionSource::Claude << u"+10 Show 10 more sessions"_s
                                  << SessionList::maximumExtraHeight;
    }

    void expand()
    {
        QFETCH(int, count);
        QFETCH(SessionSource, source);
        QFETCH(QString, more);
        QFETCH(int, height);
        std::vector<SessionInfo> all;
        for (int i = 0; i < count; ++i) {
            all.push_back(session("s" + std::to_string(i)));
            all.back().source = i == 0 ? SessionSource::Claude : source;
        }
        all.back().usage.model.reset();
        SessionList list;
        list.setSessions(all);
        list.show();
        QCOMPARE(list.findChildren<SessionRow *>().size(), count);
        const QPointer<QAbstractButton> button = child<QAbstractButton>(list, "firstRowButton");
        QCOMPARE(!button, more.isEmpty());
        if (!button)
            return;
        auto *indicator = child<QWidget>(list, "indicator");
        auto *extraArea = child<QWidget>(list, "extraArea");
        QCOMPARE(text(list, "moreLabel") + u' ' + indicator->toolTip(), more);
        QVERIFY(!extraArea->isVisible());

        button->click();
        all.back().usage.model = "claude-sonnet-4-5";
        list.setSessions(all);
        QCOMPARE(indicator->toolTip(), u"Hide the other sessions"_s);
        auto *scroll = child<QScrollArea>(list, "extraScroll");
        QCOMPARE(text(*scroll->widget()->findChildren<SessionRow *>().back(), "modelLabel"), u"claude-sonnet-4-5"_s);
        QTRY_COMPARE(scroll->height(), height ? height : list.extraSessionsHeight());
        QTRY_COMPARE(extraArea->height(), scroll->height() + 1);
        auto *scrollBar = scroll->verticalScrollBar();
        QCOMPARE(scrollBar->maximum() > 0, height == SessionList::maximumExtraHeight);

        // New counts for the same sessions change the rows in place: the
        // list stays as scrolled.
        scrollBar->setValue(scrollBar->maximum());
        const int scrolled = scrollBar->value();
        all.front().usage.contextTokens = 46'000;
        list.setSessions(all);
        QVERIFY(button && scrollBar->value() == scrolled);
        QCOMPARE(text(*button->findChild<SessionRow *>(), "contextLabel"), u"46k"_s);

        button->click();
        QTRY_VERIFY(!extraArea->isVisible());
        all.pop_back();
        list.setSessions(all);
        QCOMPARE(list.findChildren<SessionRow *>().size(), count - 1);
    }

    void hookRow_data()
    {
        QTest::addColumn<HookStatus>("status");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("button");
        QTest::newRow("not connected") << HookStatus::notInstalled() << u"Claude Code not connected"_s << u"Connect"_s;
        QTest::newRow("connected") << HookStatus::installed() << u"Claude Code connected"_s << u"Remove"_s;
        QTest::newRow("outdated") << HookStatus::outdated() << u"Claude Code hooks need updating"_s << u"Connect"_s;
        QTest::newRow("failed") << HookStatus::failed("Could not read ~/.claude/settings.json")
                                << u"Could not read ~/.claude/settings.json"_s << u"Connect"_s;
        // The agent skips the hooks until the user trusts them: the detail says how.
        QTest::newRow("waiting for approval")
            << HookStatus::awaitingApproval() << u"Codex CLI waiting for approval"_s << u"Remove"_s;
    }

    void hookRow()
    {
        QFETCH(HookStatus, status);
        QFETCH(QString, title);
        QFETCH(QString, button);
        const bool approval = status.kind() == HookStatus::Kind::AwaitingApproval;
        FakeInstaller installer(approval ? SessionSource::Codex : SessionSource::Claude);
        HookStatusRow row(installer);
        row.show();
        QCOMPARE(installer.refreshes, 1);
        installer.set(status); // the row follows
        QCOMPARE(text(row, "hookTitle"), title);
        QCOMPARE(text(row, "hookDetail").contains(u"/hooks"_s), approval);
        auto *action = child<QPushButton>(row, "hookButton");
        QCOMPARE(action->text(), button);
        action->click();
        QCOMPARE(installer.uninstalls, int(button == u"Remove"_s));
        QCOMPARE(installer.installs, int(button == u"Connect"_s));
    }

    // What the notification service answers, and the test button where there
    // is something to do; a failed test shows its error in red, and a later
    // good one leaves it; showing the row asks again.
    void notificationRow_data()
    {
        using A = NotificationCenter::Authorization;
        QTest::addColumn<A>("answer");
        QTest::addColumn<QString>("error"); // of the first test sent
        QTest::addColumn<QString>("read");
        QTest::newRow("unknown") << A::NotDetermined << QString() << u"Looking for a notification service\u2026"_s;
        QTest::newRow("granted") << A::Authorized << QString() << u"Alerts are on"_s;
        QTest::newRow("test refused") << A::Authorized << u"The notification server refused it."_s
                                      << u"The notification server refused it."_s;
        QTest::newRow("no service") << A::Denied << QString() << u"No notification service is running."_s;
    }

    void notificationRow()
    {
        QFETCH(NotificationCenter::Authorization, answer);
        QFETCH(QString, error);
        QFETCH(QString, read);
        FakeNotificationCenter center;
        FakeClock clock;
        Notifier notifier(center, clock);
        NotificationStatusRow row(notifier);
        row.show();
        center.answerStatus(answer);
        auto *action = child<QPushButton>(row, "notificationButton");
        QCOMPARE(action->isVisible(), answer == NotificationCenter::Authorization::Authorized);
        if (action->isVisible()) {
            action->click();
            action->click();
            QCOMPARE(center.posts.size(), size_t(2));
            center.posts[0].completion(error.isEmpty() ? std::nullopt : std::optional(error.toStdString()));
            center.posts[1].completion(std::nullopt);
        }
        QCOMPARE(text(row, "notificationText"), read);
        const auto *label = child<QLabel>(row, "notificationText");
        QCOMPARE(label->palette().color(QPalette::WindowText) == redColor(), !error.isEmpty());
        row.hide();
        row.show();
        QCOMPARE(center.statusQueries, 2);
    }

    // Rows of agents on this machine (their folder in the home folder, their
    // command on PATH) or connected are in view; the others open with "More
    // agents". Rows list the agents in view, in order, then "|" and the rest.
    void hookRowsOfAgentsOnTheMachine_data()
    {
        // ".x": a folder in the home folder; "bin/x": a command on PATH
        // ("-x": not executable); "x": a connected agent.
        QTest::addColumn<QStringList>("there");
        QTest::addColumn<QString>("rows");
        QTest::newRow("nothing there") << QStringList() << u"|claude copilot qwen gemini codex"_s;
        QTest::newRow("folders") << QStringList {u".codex"_s, u".qwen"_s} << u"qwen codex|claude copilot gemini"_s;
        QTest::newRow("commands") << QStringList {u"bin/claude"_s, u"bin/gemini-x"_s}
                                  << u"claude|copilot qwen gemini codex"_s;
        QTest::newRow("connected") << QStringList {u"copilot"_s} << u"copilot|claude qwen gemini codex"_s;
        QTest::newRow("all of them") << QStringList {u".claude"_s, u".copilot"_s, u".qwen"_s, u".gemini"_s, u".codex"_s}
                                     << u"claude copilot qwen gemini codex|"_s;
    }

    void hookRowsOfAgentsOnTheMachine()
    {
        QFETCH(QStringList, there);
        QFETCH(QString, rows);
        PanelRig r;
        const fs::path bin = r.base / "bin";
        fs::create_directories(bin);
        writeFile(bin / "lullwatch-hook", "#!/bin/sh\n"); // what connecting copies
        for (const auto &thing : there) {
            if (thing.startsWith(u'.'))
                fs::create_directories(r.base / "home" / thing.toStdString());
            if (!thing.startsWith("bin/"_L1))
                continue;
            const bool executable = !thing.endsWith("-x"_L1);
            const fs::path file = r.base / thing.chopped(executable ? 0 : 2).toStdString();
            writeFile(file, "#!/bin/sh\n");
            fs::permissions(file, executable ? fs::perms::owner_all : fs::perms::owner_read);
        }
        auto &model = r.start("relative/bin:" + bin.string());
        for (const auto &installer : model.hookInstallers()) {
            if (there.contains(QString::fromUtf8(installer->agent().raw)))
                installer->install();
        }
        Panel panel(model, r.clock);
        panel.show();
        const auto listed = [&]() -> QString {
            QStringList hiddenOrShown[2];
            for (const auto &installer : model.hookInstallers()) {
                const QString raw = QString::fromUtf8(installer->agent().raw);
                hiddenOrShown[panel.findChild<QWidget *>(raw + "HookRow"_L1)->isVisible()] << raw;
            }
            return hiddenOrShown[1].join(u' ') + u'|' + hiddenOrShown[0].join(u' ');
        };
        auto *more = child<QToolButton>(panel, "moreAgents");
        QCOMPARE(listed(), rows);
        QCOMPARE(more->isVisible(), !rows.endsWith(u'|'));
        if (!more->isVisible())
            return;
        more->click();
        QVERIFY(listed().endsWith(u'|')); // every row in view
    }

    // The header, the session on the first row, and where the panel opens,
    // each time it opens.
    void header_data()
    {
        QTest::addColumn<QByteArray>("records");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("onBattery");
        QTest::addColumn<double>("held"); // seconds the wake has been held as it opens
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("first"); // none: the empty state instead of the list
        const QByteArray none;
        const QByteArray always("wakeMode=always");
        QTest::newRow("no sessions") << none << none << false << 0.0 << u"No sessions / Sleep allowed"_s << QString();
        // The waiting one though its record is the oldest.
        QTest::newRow("one waiting") << QByteArray("api:idle:1 site:waiting:5 docs:idle:2 cli:idle:3:copilot") << none
                                     << false << 0.0 << u"Needs you / Sleep allowed"_s << u"site"_s;
        QTest::newRow("stale working") << QByteArray("site:working:900") << none << false << 0.0
                                       << u"Idle / Sleep allowed"_s << u"site"_s;
        QTest::newRow("on battery") << none << QByteArray("pauseOnBattery=true wakeMode=always") << true << 0.0
                                    << u"No sessions / Paused \u2014 on battery"_s << QString();
        const QString held = u"No sessions / Keeping computer awake \u00b7 "_s;
        QTest::newRow("held 59.9 s") << none << always << false << 59.9 << held + u"0m"_s << QString();
        QTest::newRow("held 12 min") << none << always << false << 750.0 << held + u"12m"_s << QString();
        QTest::newRow("held 65 min") << none << always << false << 3900.0 << held + u"1h 5m"_s << QString();
        QTest::newRow("held 2 h") << none << always << false << 7200.0 << held + u"2h"_s << QString();
        QTest::newRow("clock set back") << none << always << false << -5.0 << held + u"0m"_s << QString();
    }

    void header()
    {
        QFETCH(QByteArray, records);
        QFETCH(QByteArray, stored);
        QFETCH(bool, onBattery);
        QFETCH(double, held);
        QFETCH(QString, header);
        QFETCH(QString, first);
        PanelRig r;
        r.write(records);
        r.store(stored);
        if (onBattery)
            r.power.onBattery(80);
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        panel.show();
        panel.hide();
        if (const auto since = model.wake().heldSince())
            r.clock.set(epochSeconds(*since) + held);
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        panel.showAt(available.bottomRight());
        QVERIFY(available.contains(panel.geometry()));
        QCOMPARE(text(panel, "headerTitle") + " / "_L1 + text(panel, "statusLine"), header);
        const auto *list = child<SessionList>(panel, "sessionList");
        QCOMPARE(child<QWidget>(panel, "emptyState")->isVisible(), first.isEmpty());
        QCOMPARE(list->isVisible() ? QString::fromStdString(list->sessions().front().id) : QString(), first);
    }

    // The panel grows with the list it expands. "Show" is offered where the
    // agent's process is known, and asks for its terminal; once that is in
    // front, the panel gets out of its way.
    void showOnTheRow()
    {
        PanelRig r;
        r.write("site:waiting:5:pid=101 api:idle:1");
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        panel.show();
        // Opening draws the header afresh: the collapsed height is the one it settles at.
        QCoreApplication::processEvents();
        QTRY_COMPARE(panel.height(), panel.sizeHint().height());
        const int collapsed = panel.height();
        const auto *list = child<SessionList>(panel, "sessionList");
        child<QAbstractButton>(panel, "firstRowButton")->click();
        QTRY_COMPARE(panel.height(), collapsed + list->scrollHeight() + 1);

        std::map<std::string, QAbstractButton *> buttons;
        for (auto *row : panel.findChildren<SessionRow *>())
            buttons[row->session().id] = child<QAbstractButton>(*row, "showButton");
        QVERIFY(buttons["site"]->isVisibleTo(&panel) && !buttons["api"]->isVisibleTo(&panel));
        // The first row's: the click is the button's alone, not the row's around it.
        QSignalSpy panelRequested(&model, &AppModel::panelRequested);
        QTest::mouseClick(buttons["site"], Qt::LeftButton);
        QCOMPARE(r.focus.requests, std::vector<std::int32_t> {101});
        QVERIFY(list->isExpanded());
        r.focus.answer(false);
        QTRY_COMPARE(panelRequested.count(), 1);
        QVERIFY(panel.isVisible());
        buttons["site"]->click();
        r.focus.answer(true);
        QTRY_VERIFY(!panel.isVisible());
    }

    // The controls write through the model and follow it. A login item
    // changed outside the application shows when the settings open, and
    // again when the panel opens with them open, without registering anything.
    void controls()
    {
        PanelRig r;
        auto &model = r.start();
        Panel panel(model, r.clock);
        panel.show();
        const auto pick = [&](const char *name, const QString &item) {
            auto *box = child<QComboBox>(panel, name);
            Q_EMIT box->activated(box->findText(item));
        };
        pick("wakeModePicker", u"Always"_s);
        pick("metricPicker", u"Nothing"_s);
        pick("trayIconPicker", u"Dark"_s);
        QVERIFY(model.wakeMode() == WakeMode::Always && model.menuBarMetric() == MenuBarMetric::None
                && model.trayIconStyle() == TrayIconStyle::Dark);
        model.setWakeMode(WakeMode::Off);
        model.setTrayIconStyle(TrayIconStyle::Light);
        QCOMPARE(child<QComboBox>(panel, "wakeModePicker")->currentText(), u"Never"_s);
        QCOMPARE(child<QComboBox>(panel, "trayIconPicker")->currentText(), u"Light"_s);

        auto *login = child<QCheckBox>(panel, "launchAtLogin");
        r.loginItem.enabled = true;
        child<QAbstractButton>(panel, "settingsToggle")->click();
        QVERIFY(login->isChecked());
        panel.hide();
        r.loginItem.enabled = false;
        panel.show();
        QVERIFY(!login->isChecked());
        QCOMPARE(r.loginItem.registrations + r.loginItem.unregistrations, 0);

        QVERIFY(child<QWidget>(panel, "notificationRow")->isVisible());
        for (const char *box : {"keepDisplayAwake", "pauseOnBattery", "notifyWhenWaiting", "launchAtLogin"})
            child<QCheckBox>(panel, box)->click();
        QVERIFY(model.keepDisplayAwake() && model.pauseOnBattery() && !model.notifyWhenWaiting());
        QVERIFY(!child<QWidget>(panel, "notificationRow")->isVisible());
        QCOMPARE(r.loginItem.registrations, 1);

        QSignalSpy quit(&panel, &Panel::quitRequested);
        child<QPushButton>(panel, "quitButton")->click();
        QCOMPARE(quit.size(), 1);
    }
};

QTEST_MAIN(TestPanel)

#include "tst_panel.moc"
