#include "PanelRig.h"
#include "ui/ElidedLabel.h"
#include "ui/EnglishPlurals.h"
#include "ui/HookStatusRow.h"
#include "ui/Panel.h"
#include "ui/SessionList.h"
#include "ui/SessionRow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPointer>
#include <QPushButton>
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

template<typename T = QWidget> T *child(const QWidget &parent, const char *name)
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
    if (!child(row, "usageLine")->isHidden())
        lines << QStringList {text(row, "contextLabel"), text(row, "outputLabel"), text(row, "cacheLabel"),
                              text(row, "turnsLabel")}
                     .join(u' ');
    if (!child(row, "modelLabel")->isHidden())
        lines << text(row, "modelLabel");
    return lines.join(" | "_L1);
}

} // namespace

class TestPanel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCoreApplication::installTranslator(new EnglishPlurals(this)); }

    // A row as read; a folder name too long is cut, and the badge and the state keep their room.
    void sessionRow()
    {
        auto oneTurn = session("site/");
        oneTurn.usage.turns = 1;
        oneTurn.usage.model.reset();
        auto copilot = session("api"); // no transcript read: no counts
        copilot.source = SessionSource::Copilot;
        const std::pair<SessionInfo, QString> rows[] {
            {oneTurn, u"site Claude Working | 45k 999 1.3M 1 turn"_s},
            {copilot, u"api Copilot Working"_s},
            {session(std::string(120, 'x'), SessionState::Waiting),
             u"xxx\u2026 Claude Needs you | 45k 999 1.3M 3 turns | claude-sonnet-4-5"_s},
        };
        for (const auto &[info, read] : rows) {
            SessionRow row(info);
            row.setFixedWidth(Panel::panelWidth);
            row.show();
            QCOMPARE(shown(row), read);
            QVERIFY(child(row, "folderLabel")->geometry().right() < child(row, "sourceBadge")->geometry().left());
            QVERIFY(row.contentsRect().contains(child(row, "stateLabel")->geometry()));
        }
    }

    // Expanded, the list shows its further sessions whole, also when the last
    // row grows as it expands, and scrolls past its bound. New counts for the
    // same sessions change the rows in place: the list stays as scrolled.
    void expand_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("more"); // and the tooltip
        QTest::newRow("one") << 1 << QString();
        QTest::newRow("two") << 2 << u"+1 Show 1 more session"_s;
        QTest::newRow("eleven") << 11 << u"+10 Show 10 more sessions"_s;
    }
    void expand()
    {
        QFETCH(int, count);
        QFETCH(QString, more);
        std::vector<SessionInfo> all;
        for (int i = 0; i < count; ++i)
            all.push_back(session("s" + std::to_string(i)));
        all.back().usage.model.reset();
        SessionList list;
        list.setSessions(all);
        list.show();
        const QPointer<QAbstractButton> button = child<QAbstractButton>(list, "firstRowButton");
        QCOMPARE(button ? text(list, "moreLabel") + u' ' + child(list, "indicator")->toolTip() : QString(), more);
        if (!button)
            return;
        button->click();
        all.back().usage.model = "claude-sonnet-4-5";
        list.setSessions(all);
        auto *scroll = child<QScrollArea>(list, "extraScroll");
        auto *scrollBar = scroll->verticalScrollBar();
        QTRY_VERIFY(count > 10 ? scrollBar->maximum() > 0 : scroll->height() == list.extraSessionsHeight());
        QTRY_COMPARE(child(list, "extraArea")->height(), scroll->height() + 1);

        scrollBar->setValue(scrollBar->maximum());
        const int scrolled = scrollBar->value();
        all.front().usage.contextTokens = 46'000;
        list.setSessions(all);
        QVERIFY(button && scrollBar->value() == scrolled);
        QCOMPARE(text(*button->findChild<SessionRow *>(), "contextLabel"), u"46k"_s);
        button->click();
        QTRY_VERIFY(!child(list, "extraArea")->isVisible());
    }

    // Remove for hooks that are in or wait for approval (the detail then says
    // how to give it), else Connect; a failure reads as its error.
    void hookRow()
    {
        const std::pair<HookStatus, QString> rows[] {
            {HookStatus::notInstalled(), u"Claude Code not connected / Connect"_s},
            {HookStatus::installed(), u"Claude Code connected / Remove"_s},
            {HookStatus::failed("Could not read ~/.claude/settings.json"),
             u"Could not read ~/.claude/settings.json / Connect"_s},
            {HookStatus::awaitingApproval(), u"Codex CLI waiting for approval / Remove"_s},
        };
        for (const auto &[status, read] : rows) {
            const bool approval = status.kind() == HookStatus::Kind::AwaitingApproval;
            FakeInstaller installer(approval ? SessionSource::Codex : SessionSource::Claude);
            HookStatusRow row(installer);
            row.show();
            QCOMPARE(installer.refreshes, 1);
            installer.set(status);
            auto *button = child<QPushButton>(row, "hookButton");
            QCOMPARE(text(row, "hookTitle") + " / "_L1 + button->text(), read);
            QCOMPARE(text(row, "hookDetail").contains(u"/hooks"_s), approval);
            button->click();
            QCOMPARE(installer.uninstalls, int(read.endsWith("Remove"_L1)));
            QCOMPARE(installer.installs + installer.uninstalls, 1);
        }
    }

    // Rows of agents on this machine or connected are in view, in order, then
    // "|" and those "More agents" opens. There: ".x" a folder in the home
    // folder, "bin/x" a command on PATH ("-x": not executable), "x" connected.
    void hookRowsOfAgentsOnTheMachine()
    {
        const std::pair<QStringList, QString> cases[] {
            {{u".codex"_s, u"bin/claude"_s, u"bin/gemini-x"_s, u"copilot"_s}, u"claude copilot codex|qwen gemini"_s},
            {{u".claude"_s, u".copilot"_s, u".qwen"_s, u".gemini"_s, u".codex"_s},
             u"claude copilot qwen gemini codex|"_s},
        };
        for (const auto &[there, rows] : cases) {
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
                QStringList shownOrHidden[2];
                for (const auto *row : panel.findChildren<HookStatusRow *>())
                    shownOrHidden[row->isHidden()] << QString::fromUtf8(row->installer().agent().raw);
                return shownOrHidden[0].join(u' ') + u'|' + shownOrHidden[1].join(u' ');
            };
            QCOMPARE(listed(), rows);
            auto *more = child<QToolButton>(panel, "moreAgents");
            QCOMPARE(more->isVisible(), !rows.endsWith(u'|'));
            more->click();
            QVERIFY(listed().endsWith(u'|'));
        }
    }

    // The header as the panel opens, the wake held for so many seconds by
    // then (less than none: the clock was set back); the waiting session on
    // the first row though its record is the oldest.
    void header()
    {
        PanelRig r;
        r.write("api:idle:1 site:waiting:5 docs:idle:2 cli:idle:3:copilot");
        r.store("wakeMode=always");
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        QCOMPARE(QString::fromStdString(child<SessionList>(panel, "sessionList")->sessions().front().id), u"site"_s);
        const std::pair<double, QString> rows[] {{59.9, u"0m"_s}, {3900, u"1h 5m"_s}, {7200, u"2h"_s}, {-300, u"0m"_s}};
        for (const auto &[held, time] : rows) {
            r.clock.set(epochSeconds(*model.wake().heldSince()) + held);
            panel.show();
            QCOMPARE(text(panel, "headerTitle") + " / "_L1 + text(panel, "statusLine"),
                     u"Needs you / Keeping computer awake \u00b7 "_s + time);
            panel.hide();
        }
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
        const auto *list = child<SessionList>(panel, "sessionList");
        child<QAbstractButton>(panel, "firstRowButton")->click();
        std::map<std::string, QAbstractButton *> buttons;
        for (auto *row : panel.findChildren<SessionRow *>())
            buttons[row->session().id] = child<QAbstractButton>(*row, "showButton");
        QVERIFY(buttons["site"]->isVisibleTo(&panel) && !buttons["api"]->isVisibleTo(&panel));
        // The click is the button's alone, not the first row's around it.
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

    // The controls write through the model. A login item changed outside the
    // application shows when the settings open, and again when the panel opens
    // with them open, without registering anything.
    void controls()
    {
        PanelRig r;
        auto &model = r.start();
        Panel panel(model, r.clock);
        panel.show();
        QVERIFY(child(panel, "emptyState")->isVisible());
        for (const auto &[name, item] :
             {std::pair("wakeModePicker", u"Always"_s), std::pair("metricPicker", u"Nothing"_s),
              std::pair("trayIconPicker", u"Dark"_s)}) {
            auto *box = child<QComboBox>(panel, name);
            Q_EMIT box->activated(box->findText(item));
        }
        QVERIFY(model.wakeMode() == WakeMode::Always && model.menuBarMetric() == MenuBarMetric::None
                && model.trayIconStyle() == TrayIconStyle::Dark);

        auto *login = child<QCheckBox>(panel, "launchAtLogin");
        r.loginItem.enabled = true;
        child<QAbstractButton>(panel, "settingsToggle")->click();
        QVERIFY(login->isChecked());
        panel.hide();
        r.loginItem.enabled = false;
        panel.show();
        QVERIFY(!login->isChecked());
        QCOMPARE(r.loginItem.registrations + r.loginItem.unregistrations, 0);

        for (const char *box : {"keepDisplayAwake", "pauseOnBattery", "notifyWhenWaiting", "launchAtLogin"})
            child<QCheckBox>(panel, box)->click();
        QVERIFY(model.keepDisplayAwake() && model.pauseOnBattery() && !model.notifyWhenWaiting());
        QVERIFY(!child(panel, "notificationRow")->isVisible());
        QCOMPARE(r.loginItem.registrations, 1);
    }
};

QTEST_MAIN(TestPanel)

#include "tst_panel.moc"
