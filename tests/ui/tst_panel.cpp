#include "PanelRig.h"
#include "ui/Chevron.h"
#include "ui/ElidedLabel.h"
#include "ui/EnglishPlurals.h"
#include "ui/HookStatusRow.h"
#include "ui/NotificationStatusRow.h"
#include "ui/Panel.h"
#include "ui/PanelStyle.h"
#include "ui/PanelText.h"
#include "ui/SessionList.h"
#include "ui/SessionRow.h"

#include "Version.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <map>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace lullwatch::ui;
namespace fs = std::filesystem;

namespace {

SessionInfo session(const std::string &id, SessionState state, SessionSource source = SessionSource::Claude)
{
    SessionInfo info;
    info.id = id;
    info.state = state;
    info.source = source;
    info.cwd = "/home/dev/" + id;
    return info;
}

SessionInfo claudeWithUsage(const std::string &id)
{
    auto info = session(id, SessionState::Working);
    info.usage.contextTokens = 45'300;
    info.usage.tokens.output = 999;
    info.usage.tokens.cacheRead = 1'300'000;
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
    const auto *label = child<QLabel>(parent, name);
    return label ? label->text() : QStringLiteral("<missing %1>").arg(QString::fromLatin1(name));
}

} // namespace

class TestPanel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void heldFor_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("59 s") << qint64(59) << QStringLiteral("0m");
        QTest::newRow("12 min") << qint64(12 * 60 + 30) << QStringLiteral("12m");
        QTest::newRow("65 min") << qint64(65 * 60) << QStringLiteral("1h 5m");
        QTest::newRow("2 h") << qint64(2 * 3600) << QStringLiteral("2h");
        QTest::newRow("negative") << qint64(-5) << QStringLiteral("0m");
    }

    void heldFor()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, expected);
        QCOMPARE(formatHeldFor(seconds), expected);
    }

    void version()
    {
        QCOMPARE(versionText("0.1.0", "18"), QStringLiteral("Version 0.1.0 (18)"));
        QCOMPARE(versionText("", nullptr), QStringLiteral("Version 1.0 (1)"));
    }

    void placement()
    {
        const QRect screen(0, 0, 1920, 1080);
        // Below a top bar icon, centred on it.
        QCOMPARE(Panel::placement({320, 400}, {1000, 28}, screen), QRect(840, 28, 320, 400));
        // Near the right edge: kept inside.
        QCOMPARE(Panel::placement({320, 400}, {1910, 28}, screen), QRect(1600, 28, 320, 400));
        // A bottom panel: opens upwards.
        QCOMPARE(Panel::placement({320, 400}, {100, 1050}, screen), QRect(0, 650, 320, 400));
    }

    void rowOfClaudeSession()
    {
        SessionRow row(claudeWithUsage("site"));
        QCOMPARE(text(row, "folderLabel"), QStringLiteral("site"));
        QCOMPARE(text(row, "sourceBadge"), QStringLiteral("Claude"));
        QCOMPARE(text(row, "stateLabel"), QStringLiteral("Working"));
        QCOMPARE(row.dotColor(), greenColor());
        QCOMPARE(text(row, "contextLabel"), QStringLiteral("45k"));
        QCOMPARE(text(row, "outputLabel"), QStringLiteral("999"));
        QCOMPARE(text(row, "cacheLabel"), QStringLiteral("1.3M"));
        QCOMPARE(text(row, "turnsLabel"), QStringLiteral("3 turns"));
        QCOMPARE(child<QWidget>(row, "contextItem")->toolTip(), QStringLiteral("Context size on the last turn"));
        QCOMPARE(child<QWidget>(row, "outputItem")->toolTip(), QStringLiteral("Output tokens this session"));
        QCOMPARE(child<QWidget>(row, "cacheItem")->toolTip(), QStringLiteral("Cache reads this session"));
        QCOMPARE(text(row, "modelLabel"), QStringLiteral("claude-sonnet-4-5"));
        QVERIFY(!child<QWidget>(row, "usageLine")->isHidden());
        QVERIFY(!child<QWidget>(row, "modelLabel")->isHidden());

        auto oneTurn = claudeWithUsage("site/");
        oneTurn.cwd = "/home/dev/site/";
        oneTurn.usage = {};
        oneTurn.usage.tokens.output = 1000;
        oneTurn.usage.turns = 1;
        row.setSession(oneTurn);
        QCOMPARE(text(row, "folderLabel"), QStringLiteral("site"));
        QCOMPARE(text(row, "turnsLabel"), QStringLiteral("1 turn"));
        QCOMPARE(text(row, "outputLabel"), QStringLiteral("1k"));
        QCOMPARE(text(row, "contextLabel"), QStringLiteral("0"));
        QVERIFY(child<QWidget>(row, "modelLabel")->isHidden());
    }

    void rowOfCopilotSession()
    {
        auto copilot = claudeWithUsage("api");
        copilot.source = SessionSource::Copilot;
        SessionRow row(copilot);
        QCOMPARE(text(row, "sourceBadge"), QStringLiteral("Copilot"));
        QVERIFY(child<QWidget>(row, "usageLine")->isHidden());
        QVERIFY(child<QWidget>(row, "modelLabel")->isHidden());
    }

    void rowStates()
    {
        auto stale = session("site", SessionState::Working);
        stale.isStale = true;
        SessionRow staleRow(stale);
        QCOMPARE(staleRow.dotColor(), orangeColor());
        QCOMPARE(text(staleRow, "stateLabel"), QStringLiteral("Stale"));

        SessionRow waiting(session("a", SessionState::Waiting));
        SessionRow idle(session("b", SessionState::Idle));
        SessionRow ended(session("c", SessionState::Ended));
        QCOMPARE(waiting.dotColor(), yellowColor());
        QCOMPARE(text(waiting, "stateLabel"), QStringLiteral("Needs you"));
        QCOMPARE(idle.dotColor(), secondaryColor(idle.palette()));
        QCOMPARE(text(idle, "stateLabel"), QStringLiteral("Idle"));
        QCOMPARE(ended.dotColor(), secondaryColor(ended.palette()));
        QCOMPARE(text(ended, "stateLabel"), QStringLiteral("Ended"));
    }

    void rowInsets()
    {
        SessionRow row(claudeWithUsage("site"));
        const auto margins = row.layout()->contentsMargins();
        QCOMPARE(margins, QMargins(12, 8, 12, 8));
        QCOMPARE(row.layout()->spacing(), 4);
    }

    void ordering()
    {
        const std::vector sessions {session("a", SessionState::Idle), session("b", SessionState::Waiting),
                                    session("c", SessionState::Idle)};
        const auto ordered = SessionList::ordered(sessions, sessions[1]);
        QCOMPARE(ordered.size(), 3u);
        QCOMPARE(ordered[0].id, std::string("b"));
        QCOMPARE(ordered[1].id, std::string("a"));
        QCOMPARE(ordered[2].id, std::string("c"));
        QCOMPARE(SessionList::ordered(sessions, std::nullopt), sessions);
    }

    void singleSessionIsNoButton()
    {
        SessionList list;
        list.setSessions({session("a", SessionState::Working)});
        QVERIFY(!child<QAbstractButton>(list, "firstRowButton"));
        QVERIFY(!child<QLabel>(list, "moreLabel"));
        QCOMPARE(list.findChildren<SessionRow *>().size(), 1);
    }

    void indicator_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("more");
        QTest::addColumn<QString>("toolTip");
        QTest::newRow("two") << 2 << QStringLiteral("+1") << QStringLiteral("Show 1 more session");
        QTest::newRow("four") << 4 << QStringLiteral("+3") << QStringLiteral("Show 3 more sessions");
    }

    void indicator()
    {
        QFETCH(int, count);
        QFETCH(QString, more);
        QFETCH(QString, toolTip);
        std::vector<SessionInfo> sessions;
        for (int i = 0; i < count; ++i)
            sessions.push_back(session("s" + std::to_string(i), SessionState::Idle));
        SessionList list;
        list.setSessions(sessions);
        list.show();
        auto *button = child<QAbstractButton>(list, "firstRowButton");
        QVERIFY(button);
        QCOMPARE(text(list, "moreLabel"), more);
        auto *indicator = child<QWidget>(list, "indicator");
        QCOMPARE(indicator->toolTip(), toolTip);
        QVERIFY(button->toolTip().isEmpty());
        QVERIFY(!child<QWidget>(list, "extraArea")->isVisible());
        QCOMPARE(child<Chevron>(list, "chevron")->rotation(), 0.0);

        QSignalSpy expanded(&list, &SessionList::expandedChanged);
        button->click();
        QCOMPARE(expanded.size(), 1);
        QVERIFY(list.isExpanded());
        QCOMPARE(indicator->toolTip(), QStringLiteral("Hide the other sessions"));
        QVERIFY(child<QLabel>(list, "moreLabel")->isHidden());
        QTRY_COMPARE(child<Chevron>(list, "chevron")->rotation(), 90.0);
        QTRY_COMPARE(child<QWidget>(list, "extraArea")->height(), list.scrollHeight() + 1);
        QCOMPARE(list.findChildren<SessionRow *>().size(), count);

        button->click();
        QVERIFY(!list.isExpanded());
        QCOMPARE(indicator->toolTip(), toolTip);
        QTRY_VERIFY(!child<QWidget>(list, "extraArea")->isVisible());
        QTRY_COMPARE(child<Chevron>(list, "chevron")->rotation(), 0.0);
    }

    void scrollHeight_data()
    {
        QTest::addColumn<int>("further");
        QTest::addColumn<bool>("copilot");
        QTest::newRow("one short row: 44") << 1 << true;
        QTest::newRow("one tall row: natural") << 1 << false;
        QTest::newRow("ten rows: 220") << 10 << false;
    }

    void scrollHeight()
    {
        QFETCH(int, further);
        QFETCH(bool, copilot);
        std::vector<SessionInfo> sessions {claudeWithUsage("first")};
        for (int i = 0; i < further; ++i) {
            auto info = claudeWithUsage("s" + std::to_string(i));
            if (copilot)
                info.source = SessionSource::Copilot;
            sessions.push_back(info);
        }
        SessionList list;
        list.setSessions(sessions);
        list.show();
        list.setExpanded(true);
        const int natural = list.extraSessionsHeight();
        const auto *scroll = child<QScrollArea>(list, "extraScroll");
        QTRY_COMPARE(scroll->height(), list.scrollHeight());
        if (further == 10) {
            QVERIFY(natural > 220);
            QCOMPARE(scroll->height(), 220);
            QVERIFY(scroll->verticalScrollBar()->maximum() > 0);
        } else if (copilot) {
            QVERIFY(natural < 44);
            QCOMPARE(scroll->height(), 44);
        } else {
            QVERIFY(natural >= 44 && natural <= 220);
            QCOMPARE(scroll->height(), natural);
        }
    }

    // A row that grows while the list expands (its model line arrives) still
    // fits once the list has expanded.
    void rowGrowsWhileExpanding()
    {
        std::vector<SessionInfo> sessions {claudeWithUsage("first"), claudeWithUsage("second")};
        sessions[1].usage.model.reset();
        SessionList list;
        list.setSessions(sessions);
        list.show();
        list.setExpanded(true);
        const int before = list.scrollHeight();
        sessions[1].usage.model = "claude-sonnet-4-5";
        list.setSessions(sessions);
        QVERIFY(list.scrollHeight() > before);
        QTRY_COMPARE(child<QWidget>(list, "extraArea")->height(), list.scrollHeight() + 1);
    }

    // New counts for the same sessions update the rows in place: the button,
    // the scroll position and the rows stay; other sessions rebuild the list.
    void countsUpdateRowsInPlace()
    {
        std::vector<SessionInfo> sessions;
        for (int i = 0; i < 12; ++i)
            sessions.push_back(claudeWithUsage("s" + std::to_string(i)));
        SessionList list;
        list.setSessions(sessions);
        list.show();
        list.setExpanded(true);
        auto *scrollBar = child<QScrollArea>(list, "extraScroll")->verticalScrollBar();
        QTRY_VERIFY(scrollBar->maximum() > 0);
        scrollBar->setValue(scrollBar->maximum());
        const int scrolled = scrollBar->value();
        const QPointer<QAbstractButton> button = child<QAbstractButton>(list, "firstRowButton");
        QList<QPointer<SessionRow>> rows;
        for (auto *row : list.findChildren<SessionRow *>())
            rows.append(row);

        sessions[0].usage.contextTokens = 46'000;
        sessions[11].usage.tokens.output = 1'000;
        list.setSessions(sessions);
        QVERIFY(!button.isNull());
        QVERIFY(std::none_of(rows.begin(), rows.end(), [](const auto &row) { return row.isNull(); }));
        QCOMPARE(scrollBar->value(), scrolled);
        const auto row = [&](const std::string &id) -> SessionRow * {
            return *std::find_if(rows.begin(), rows.end(), [&](const auto &r) { return r->session().id == id; });
        };
        QCOMPARE(text(*row("s0"), "contextLabel"), QStringLiteral("46k"));
        QCOMPARE(text(*row("s11"), "outputLabel"), QStringLiteral("1k"));

        const QPointer<SessionRow> kept = row("s1");
        std::swap(sessions[1], sessions[2]);
        list.setSessions(sessions);
        QVERIFY(kept.isNull());
        QCOMPARE(list.sessions()[1].id, std::string("s2"));
    }

    void hookRow_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("detail");
        QTest::newRow("not installed") << int(HookStatus::Kind::NotInstalled)
                                       << QStringLiteral("Claude Code not connected") << QStringLiteral("Connect")
                                       << true;
        QTest::newRow("installed") << int(HookStatus::Kind::Installed) << QStringLiteral("Claude Code connected")
                                   << QStringLiteral("Remove") << false;
        QTest::newRow("outdated") << int(HookStatus::Kind::Outdated)
                                  << QStringLiteral("Claude Code hooks need updating") << QStringLiteral("Connect")
                                  << true;
        QTest::newRow("failed") << int(HookStatus::Kind::Failed)
                                << QStringLiteral("Could not read ~/.claude/settings.json") << QStringLiteral("Connect")
                                << true;
        // Connected, but the agent skips the hooks until the user trusts them there.
        QTest::newRow("waiting for approval")
            << int(HookStatus::Kind::AwaitingApproval) << QStringLiteral("Codex CLI waiting for approval")
            << QStringLiteral("Remove") << true;
    }

    void hookRow()
    {
        QFETCH(int, kind);
        QFETCH(QString, title);
        QFETCH(QString, button);
        QFETCH(bool, detail);
        const bool approval = HookStatus::Kind(kind) == HookStatus::Kind::AwaitingApproval;
        FakeInstaller installer(approval ? SessionSource::Codex : SessionSource::Claude);
        switch (HookStatus::Kind(kind)) {
        case HookStatus::Kind::NotInstalled:
            installer.set(HookStatus::installed()); // so that the next one is a change
            installer.set(HookStatus::notInstalled());
            break;
        case HookStatus::Kind::Installed:
            installer.set(HookStatus::installed());
            break;
        case HookStatus::Kind::Outdated:
            installer.set(HookStatus::outdated());
            break;
        case HookStatus::Kind::Failed:
            installer.set(HookStatus::failed("Could not read ~/.claude/settings.json"));
            break;
        case HookStatus::Kind::AwaitingApproval:
            installer.set(HookStatus::awaitingApproval());
            break;
        }
        HookStatusRow row(installer);
        QCOMPARE(installer.refreshes, 0);
        row.show();
        QCOMPARE(installer.refreshes, 1);
        QCOMPARE(text(row, "hookTitle"), title);
        auto *action = child<QPushButton>(row, "hookButton");
        QCOMPARE(action->text(), button);
        QCOMPARE(child<QLabel>(row, "hookDetail")->isVisible(), detail);
        if (HookStatus::Kind(kind) == HookStatus::Kind::Failed)
            QCOMPARE(row.iconColor(), redColor());
        if (HookStatus::Kind(kind) == HookStatus::Kind::Outdated || approval)
            QCOMPARE(row.iconColor(), yellowColor());
        if (approval)
            QVERIFY(text(row, "hookDetail").contains(QStringLiteral("/hooks")));

        action->click();
        const bool removes = HookStatus::Kind(kind) == HookStatus::Kind::Installed || approval;
        QCOMPARE(installer.uninstalls, removes ? 1 : 0);
        QCOMPARE(installer.installs, removes ? 0 : 1);
    }

    void hookRowFollowsStatus()
    {
        FakeInstaller installer;
        HookStatusRow row(installer);
        row.show();
        QCOMPARE(child<QPushButton>(row, "hookButton")->text(), QStringLiteral("Connect"));
        installer.set(HookStatus::installed());
        QCOMPARE(child<QPushButton>(row, "hookButton")->text(), QStringLiteral("Remove"));
        QCOMPARE(row.iconColor(), greenColor());
        QVERIFY(!child<QLabel>(row, "hookDetail")->isVisible());
    }

    // Each permission: text, its colour and the button's action; showing
    // the row asks the permission again.
    void notificationRow_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("red");
        QTest::addColumn<QString>("button");
        using A = NotificationCenter::Authorization;
        // No button where there is nothing to do.
        QTest::newRow("unknown") << int(A::NotDetermined) << QStringLiteral("Looking for a notification service\u2026")
                                 << false << QString();
        QTest::newRow("granted") << int(A::Authorized) << QStringLiteral("Alerts are on") << false
                                 << QStringLiteral("Send test");
        QTest::newRow("no service") << int(A::Denied) << QStringLiteral("No notification service is running.") << false
                                    << QString();
    }
    void notificationRow()
    {
        QFETCH(int, answer);
        QFETCH(QString, shown);
        QFETCH(bool, red);
        QFETCH(QString, button);
        FakeNotificationCenter center;
        FakeClock clock;
        Notifier notifier(center, clock);
        NotificationStatusRow row(notifier);
        row.show();
        QCOMPARE(center.statusQueries, 1);
        center.answerStatus(NotificationCenter::Authorization(answer));
        QCOMPARE(text(row, "notificationText"), shown);
        const QColor color = child<QLabel>(row, "notificationText")->palette().color(QPalette::WindowText);
        QCOMPARE(color == redColor(), red);
        auto *action = child<QPushButton>(row, "notificationButton");
        QCOMPARE(action->isVisible(), !button.isEmpty());
        if (action->isVisible()) {
            QCOMPARE(action->text(), button);
            action->click();
            action->click();
            QCOMPARE(center.posts.size(), size_t(2));
        }
        QCOMPARE(center.settingsOpened, 0);

        row.hide();
        row.show();
        QVERIFY(center.statusQueries >= 2);
    }

    // A failed test shows its error in red; a later successful one leaves it.
    void notificationRowKeepsTheError()
    {
        FakeNotificationCenter center;
        FakeClock clock;
        Notifier notifier(center, clock);
        NotificationStatusRow row(notifier);
        row.show();
        center.answerStatus(NotificationCenter::Authorization::Authorized);
        auto *action = child<QPushButton>(row, "notificationButton");
        action->click();
        center.posts.back().completion(std::string("The notification server refused it."));
        QCOMPARE(text(row, "notificationText"), QStringLiteral("The notification server refused it."));
        QCOMPARE(child<QLabel>(row, "notificationText")->palette().color(QPalette::WindowText), redColor());
        action->click();
        center.posts.back().completion(std::nullopt);
        QCOMPARE(text(row, "notificationText"), QStringLiteral("The notification server refused it."));
        QCOMPARE(action->text(), QStringLiteral("Send test"));
    }

    // Rows of agents on this machine (their folder in the home folder, their
    // command on PATH) or connected are in view; the others open with "More
    // agents". Rows list the agents in view, in order, then "|" and the rest.
    void hookRowsOfAgentsOnTheMachine_data()
    {
        QTest::addColumn<QStringList>("folders"); // in the home folder
        QTest::addColumn<QStringList>("commands"); // executables on PATH ("-x": not executable)
        QTest::addColumn<QStringList>("connected");
        QTest::addColumn<QString>("rows");
        const QStringList none;
        QTest::newRow("nothing there") << none << none << none << QStringLiteral("|claude copilot qwen gemini codex");
        QTest::newRow("folders") << QStringList {QStringLiteral(".codex"), QStringLiteral(".qwen")} << none << none
                                 << QStringLiteral("qwen codex|claude copilot gemini");
        QTest::newRow("commands") << none << QStringList {QStringLiteral("claude"), QStringLiteral("gemini-x")} << none
                                  << QStringLiteral("claude|copilot qwen gemini codex");
        QTest::newRow("connected") << none << none << QStringList {QStringLiteral("copilot")}
                                   << QStringLiteral("copilot|claude qwen gemini codex");
        QTest::newRow("all of them") << QStringList {QStringLiteral(".claude"), QStringLiteral(".copilot"),
                                                     QStringLiteral(".qwen"), QStringLiteral(".gemini"),
                                                     QStringLiteral(".codex")}
                                     << none << none << QStringLiteral("claude copilot qwen gemini codex|");
    }

    void hookRowsOfAgentsOnTheMachine()
    {
        QFETCH(QStringList, folders);
        QFETCH(QStringList, commands);
        QFETCH(QStringList, connected);
        QFETCH(QString, rows);
        PanelRig r;
        for (const auto &folder : folders)
            fs::create_directories(r.base / "home" / folder.toStdString());
        const fs::path bin = r.base / "bin";
        fs::create_directories(bin);
        writeFile(bin / "lullwatch-hook", "#!/bin/sh\n"); // what connecting copies
        for (const auto &command : commands) {
            const bool executable = !command.endsWith(QStringLiteral("-x"));
            const fs::path file = bin / command.chopped(executable ? 0 : 2).toStdString();
            writeFile(file, "#!/bin/sh\n");
            fs::permissions(file, executable ? fs::perms::owner_all : fs::perms::owner_read);
        }
        auto &model = r.start("relative/bin:" + bin.string());
        for (const auto &raw : connected) {
            for (const auto &installer : model.hookInstallers()) {
                if (installer->agent().raw == raw.toStdString())
                    installer->install();
            }
        }
        Panel panel(model, r.clock);
        panel.show();
        const auto listed = [&]() -> QString {
            QStringList shown;
            QStringList hidden;
            for (const auto &installer : model.hookInstallers()) {
                const std::string raw(installer->agent().raw);
                const bool visible = child<QWidget>(panel, (raw + "HookRow").c_str())->isVisible();
                (visible ? shown : hidden) << QString::fromStdString(raw);
            }
            return shown.join(QLatin1Char(' ')) + QLatin1Char('|') + hidden.join(QLatin1Char(' '));
        };
        auto *more = child<QToolButton>(panel, "moreAgents");
        QCOMPARE(listed(), rows);
        QCOMPARE(more->isVisible(), !rows.endsWith(QLatin1Char('|')));
        if (!more->isVisible())
            return;
        more->click();
        QVERIFY(listed().endsWith(QLatin1Char('|'))); // every row in view
        more->click();
        QCOMPARE(listed(), rows);
    }

    // A login item changed outside the application shows when the settings
    // open, and again when the panel opens with them open, without
    // registering anything.
    void loginItemIsReadWhenSettingsOpen()
    {
        PanelRig r;
        auto &model = r.start();
        Panel panel(model, r.clock);
        panel.show();
        auto *toggle = child<QCheckBox>(panel, "launchAtLogin");
        QVERIFY(!toggle->isChecked());
        r.loginItem.enabled = true;
        QVERIFY(!toggle->isChecked());
        child<QAbstractButton>(panel, "settingsToggle")->click();
        QVERIFY(toggle->isChecked());
        QVERIFY(model.isLoginItem());

        panel.hide();
        r.loginItem.enabled = false;
        panel.show();
        QVERIFY(!toggle->isChecked());
        QCOMPARE(r.loginItem.registrations + r.loginItem.unregistrations, 0);
    }

    // A folder name too long for the row is cut with an ellipsis, and the
    // badge and state keep their room.
    void longFolderNameIsElided()
    {
        auto info = session(std::string(120, 'x'), SessionState::Working);
        SessionRow row(info);
        row.setFixedWidth(320);
        row.show();
        auto *folder = row.findChild<ElidedLabel *>(QStringLiteral("folderLabel"));
        QVERIFY(folder);
        QCOMPARE(folder->text(), QString(120, QLatin1Char('x')));
        QVERIFY(folder->shownText().endsWith(QChar(0x2026)));
        QVERIFY(folder->geometry().right() < child<QLabel>(row, "sourceBadge")->geometry().left());
        QCOMPARE(text(row, "stateLabel"), QStringLiteral("Working"));
        QVERIFY(child<QLabel>(row, "stateLabel")->geometry().right() <= 320 - 12);
        QCOMPARE(folder->shownText(),
                 folder->fontMetrics().elidedText(folder->text(), Qt::ElideRight, folder->contentsRect().width()));

        SessionRow shortRow(session("site", SessionState::Working));
        shortRow.setFixedWidth(320);
        shortRow.show();
        QCOMPARE(shortRow.findChild<ElidedLabel *>(QStringLiteral("folderLabel"))->shownText(), QStringLiteral("site"));
    }

    void emptyPanel()
    {
        PanelRig r;
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        panel.show();
        QCOMPARE(text(panel, "headerTitle"), QStringLiteral("No sessions"));
        QCOMPARE(text(panel, "statusLine"), QStringLiteral("Sleep allowed"));
        QVERIFY(child<QWidget>(panel, "emptyState")->isVisible());
        QCOMPARE(text(panel, "emptyTitle"), QStringLiteral("No active sessions"));
        QCOMPARE(text(panel, "emptyHint"), QStringLiteral("Connect an agent below to start tracking."));
        QVERIFY(!child<QWidget>(panel, "sessionList")->isVisible());
        QCOMPARE(panel.width(), Panel::panelWidth);
        QCOMPARE(text(panel, "versionLabel"),
                 QStringLiteral("Version %1 (%2)")
                     .arg(QString::fromLatin1(versionString), QString::fromLatin1(buildNumber)));
    }

    void fourSessions()
    {
        PanelRig r;
        r.write("api:idle:1 site:waiting:5 docs:idle:2 cli:idle:3:copilot");
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        panel.show();
        QCOMPARE(text(panel, "headerTitle"), QStringLiteral("Needs you"));
        QVERIFY(!child<QWidget>(panel, "emptyState")->isVisible());
        const auto *list = child<SessionList>(panel, "sessionList");
        QVERIFY(list->isVisible());
        QCOMPARE(list->sessions().size(), 4u);
        QCOMPARE(list->sessions().front().id, std::string("site")); // the waiting one, none working
        QCOMPARE(text(panel, "moreLabel"), QStringLiteral("+3"));
        QCOMPARE(child<QWidget>(panel, "indicator")->toolTip(), QStringLiteral("Show 3 more sessions"));

        // Opening draws the header afresh, which may take the panel's size
        // with it: the collapsed height is the one it settles at.
        QCoreApplication::processEvents();
        QTRY_COMPARE(panel.height(), panel.sizeHint().height());
        const int collapsed = panel.height();
        child<QAbstractButton>(panel, "firstRowButton")->click();
        QTRY_COMPARE(panel.height(), collapsed + list->scrollHeight() + 1);
    }

    // "Show" is offered where the agent's process is known, and asks for its
    // terminal; once that is in front, the panel gets out of its way.
    void showOnTheRow()
    {
        PanelRig r;
        r.write("site:waiting:5:pid=101 api:idle:1");
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        panel.show();
        child<QAbstractButton>(panel, "firstRowButton")->click();
        QSignalSpy panelRequested(&model, &AppModel::panelRequested);
        std::map<std::string, QAbstractButton *> buttons;
        for (auto *row : panel.findChildren<SessionRow *>())
            buttons[row->session().id] = child<QAbstractButton>(*row, "showButton");
        QCOMPARE(buttons["site"]->text(), QStringLiteral("Show"));
        QVERIFY(buttons["site"]->isVisibleTo(&panel));
        QVERIFY(!buttons["api"]->isVisibleTo(&panel));

        // The first row's: the click is the button's alone, not the row's around it.
        QTest::mouseClick(buttons["site"], Qt::LeftButton);
        QCOMPARE(r.focus.requests, std::vector<std::int32_t> {101});
        QVERIFY(child<SessionList>(panel, "sessionList")->isExpanded());
        r.focus.answer(false);
        QTRY_COMPARE(panelRequested.count(), 1);
        QVERIFY(panel.isVisible());
        buttons["site"]->click();
        r.focus.answer(true);
        QTRY_VERIFY(!panel.isVisible());
    }

    void staleWorkingSession()
    {
        PanelRig r;
        r.write("site:working:900");
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        panel.show();
        QCOMPARE(text(panel, "headerTitle"), QStringLiteral("Idle"));
        const auto rows = panel.findChildren<SessionRow *>();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows.front()->dotColor(), orangeColor());
        QCOMPARE(text(*rows.front(), "stateLabel"), QStringLiteral("Stale"));
        QVERIFY(!child<QAbstractButton>(panel, "firstRowButton"));
    }

    void batteryBlock()
    {
        PanelRig r;
        r.preferences.values["pauseOnBattery"] = true;
        r.preferences.values["wakeMode"] = std::string("always");
        r.power.onBattery(80);
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        panel.show();
        QCOMPARE(text(panel, "statusLine"), QStringLiteral("Paused \u2014 on battery"));
        QCOMPARE(panel.headerTint(), orangeColor());
    }

    void heldTime()
    {
        PanelRig r;
        r.preferences.values["wakeMode"] = std::string("always");
        auto &model = r.start();
        QVERIFY(r.refreshed());
        QVERIFY(model.wake().isHoldingAssertion());
        Panel panel(model, r.clock);
        r.clock.set(epochSeconds(*model.wake().heldSince()) + 59.9);
        panel.show();
        QCOMPARE(text(panel, "statusLine"), QStringLiteral("Keeping computer awake \u00b7 0m"));
        QCOMPARE(panel.headerTint(), panel.palette().color(QPalette::Highlight));
        panel.hide();
        r.clock.set(epochSeconds(*model.wake().heldSince()) + 65 * 60);
        panel.show();
        QCOMPARE(text(panel, "statusLine"), QStringLiteral("Keeping computer awake \u00b7 1h 5m"));
    }

    void controlsWriteThroughTheModel()
    {
        PanelRig r;
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        panel.show();

        auto *wakeMode = child<QComboBox>(panel, "wakeModePicker");
        QCOMPARE(wakeMode->count(), 4);
        QCOMPARE(wakeMode->itemText(0), QStringLiteral("While an agent is working"));
        QCOMPARE(wakeMode->itemText(1), QStringLiteral("While a session is open"));
        QCOMPARE(wakeMode->itemText(2), QStringLiteral("Always"));
        QCOMPARE(wakeMode->itemText(3), QStringLiteral("Never"));
        QCOMPARE(wakeMode->currentIndex(), 0);
        wakeMode->setCurrentIndex(2);
        Q_EMIT wakeMode->activated(2);
        QCOMPARE(model.wakeMode(), WakeMode::Always);
        model.setWakeMode(WakeMode::Off);
        QCOMPARE(wakeMode->currentIndex(), 3);

        auto *settings = child<QAbstractButton>(panel, "settingsToggle");
        QCOMPARE(settings->text(), QStringLiteral("Settings"));
        QVERIFY(!child<QWidget>(panel, "settingsContent")->isVisible());
        settings->click();
        QVERIFY(child<QWidget>(panel, "settingsContent")->isVisible());
        QCOMPARE(text(panel, "batteryNote"), QStringLiteral("Wake is always released below 15% battery."));

        child<QCheckBox>(panel, "keepDisplayAwake")->click();
        QVERIFY(model.keepDisplayAwake());
        child<QCheckBox>(panel, "pauseOnBattery")->click();
        QVERIFY(model.pauseOnBattery());
        QVERIFY(child<QWidget>(panel, "notificationRow")->isVisible());
        child<QCheckBox>(panel, "notifyWhenWaiting")->click();
        QVERIFY(!model.notifyWhenWaiting());
        QVERIFY(!child<QWidget>(panel, "notificationRow")->isVisible());

        auto *metric = child<QComboBox>(panel, "metricPicker");
        QCOMPARE(metric->itemText(0), QStringLiteral("Context size"));
        QCOMPARE(metric->itemText(1), QStringLiteral("Session total"));
        QCOMPARE(metric->itemText(2), QStringLiteral("Nothing"));
        Q_EMIT metric->activated(2);
        QCOMPARE(model.menuBarMetric(), MenuBarMetric::None);
        QCOMPARE(text(panel, "metricLabel"), QStringLiteral("Tray shows"));

        QCOMPARE(text(panel, "trayIconLabel"), QStringLiteral("Tray icon"));
        auto *trayIcon = child<QComboBox>(panel, "trayIconPicker");
        QCOMPARE(trayIcon->itemText(0), QStringLiteral("Automatic"));
        QCOMPARE(trayIcon->itemText(1), QStringLiteral("Light"));
        QCOMPARE(trayIcon->itemText(2), QStringLiteral("Dark"));
        Q_EMIT trayIcon->activated(2);
        QCOMPARE(model.trayIconStyle(), TrayIconStyle::Dark);
        model.setTrayIconStyle(TrayIconStyle::Light);
        QCOMPARE(trayIcon->currentIndex(), 1);

        child<QCheckBox>(panel, "launchAtLogin")->click();
        QCOMPARE(child<QCheckBox>(panel, "launchAtLogin")->isChecked(), model.isLoginItem());

        // One hook row per agent, as not connected yet.
        QCOMPARE(text(*child<QWidget>(panel, "claudeHookRow"), "hookTitle"),
                 QStringLiteral("Claude Code not connected"));
        QCOMPARE(text(*child<QWidget>(panel, "copilotHookRow"), "hookTitle"),
                 QStringLiteral("Copilot CLI not connected"));

        QSignalSpy quit(&panel, &Panel::quitRequested);
        child<QPushButton>(panel, "quitButton")->click();
        QCOMPARE(quit.size(), 1);
        // No donation address was chosen for this build: no link to a page nobody chose.
        QCOMPARE(QByteArray(donationAddress), QByteArray());
        QVERIFY(!panel.findChild<QPushButton *>(QStringLiteral("coffeeButton")));
    }

    void showAtKeepsInsideTheScreen()
    {
        PanelRig r;
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        panel.showAt(available.bottomRight());
        QVERIFY(panel.isVisible());
        QVERIFY(available.contains(panel.geometry()));
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    EnglishPlurals plurals;
    QApplication::installTranslator(&plurals);
    TestPanel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_panel.moc"
