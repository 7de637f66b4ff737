#include "PanelRig.h"
#include "ui/ElidedLabel.h"
#include "ui/EnglishPlurals.h"
#include "ui/HookStatusRow.h"
#include "ui/Panel.h"
#include "ui/SessionList.h"
#include "ui/SessionRow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace lullwatch::ui;
using namespace Qt::StringLiterals;
using namespace std::string_view_literals;
namespace fs = std::filesystem;

namespace {

// A Claude Code session in /home/dev/<id>, with its usage.
SessionInfo session(const std::string &id, SessionState state = SessionState::Working)
{
    SessionInfo info;
    info.id = id;
    info.state = state;
    info.cwd = "/home/dev/" + id;
    info.usage = {.tokens = {.output = 999, .cacheRead = 1'300'000},
                  .contextTokens = 45'300,
                  .model = "claude-sonnet-4-5",
                  .turns = 3};
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

// The row as read: folder (cut: its first three letters), badge, state and
// Show where offered, then the usage and model lines where shown.
QString shown(const SessionRow &row)
{
    QString folder = child<ElidedLabel>(row, "folderLabel")->shownText();
    if (folder.endsWith(u'\u2026'))
        folder = folder.left(3) + u'\u2026';
    QStringList lines {folder + u' ' + text(row, "sourceBadge") + u' ' + text(row, "stateLabel")};
    if (child(row, "showButton")->isVisible())
        lines.front() += u" Show"_s;
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

    // A row as read; a folder name too long is cut.
    void sessionRow()
    {
        auto oneTurn = session("site/");
        oneTurn.usage.turns = 1;
        oneTurn.usage.model.reset();
        auto copilot = session("api"); // no transcript read: no counts
        copilot.source = SessionSource::Copilot;
        auto waiting = session(std::string(120, 'x'), SessionState::Waiting);
        waiting.pid = 101;
        const std::pair<SessionInfo, QString> rows[] {
            {oneTurn, u"site Claude Working | 45k 999 1.3M 1 turn"_s},
            {copilot, u"api Copilot Working"_s},
            {waiting, u"xxx\u2026 Claude Needs you Show | 45k 999 1.3M 3 turns | claude-sonnet-4-5"_s},
        };
        for (const auto &[info, read] : rows) {
            SessionRow row(info);
            row.setFixedWidth(Panel::panelWidth);
            row.show();
            QCOMPARE(shown(row), read);
        }
    }

    // Expanded, the list shows its further sessions whole, also when the last
    // row grows as it expands, and scrolls past its bound. New counts for the
    // same sessions change the rows in place: the list stays as scrolled.
    void expand()
    {
        for (const auto &[count, more] : // the "more" label and the tooltip
             {std::pair {2, u"+1 Show 1 more session"_s}, {11, u"+10 Show 10 more sessions"_s}}) {
            std::vector<SessionInfo> all;
            for (int i = 0; i < count; ++i)
                all.push_back(session("s" + std::to_string(i)));
            all.back().usage.model.reset();
            SessionList list;
            list.setSessions(all);
            list.show();
            auto *button = child<QAbstractButton>(list, "firstRowButton");
            QCOMPARE(text(list, "moreLabel") + u' ' + child(list, "indicator")->toolTip(), more);
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
            QCOMPARE(scrollBar->value(), scrolled);
            QCOMPARE(text(*button->findChild<SessionRow *>(), "contextLabel"), u"46k"_s);
            button->click();
            QTRY_VERIFY(!child(list, "extraArea")->isVisible());
        }
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
            QCOMPARE(std::pair(installer.installs, installer.uninstalls),
                     read.endsWith("Remove"_L1) ? std::pair(0, 1) : std::pair(1, 0));
        }
    }

    // The header as the panel opens, wake held so many seconds (less than none:
    // the clock was set back); the waiting session first though the oldest.
    // Its Show asks for the terminal, and once that is in front the panel hides.
    void headerAndFirstRow()
    {
        PanelRig r;
        r.write("api:idle:1 site:waiting:5:pid=101 docs:idle:2 cli:idle:3:copilot");
        r.store("wakeMode=always");
        auto &model = r.start();
        QVERIFY(r.refreshed());
        Panel panel(model, r.clock);
        const std::pair<double, QString> rows[] {{59.9, u"0m"_s}, {3900, u"1h 5m"_s}, {-300, u"0m"_s}};
        for (const auto &[held, time] : rows) {
            panel.hide();
            r.clock.set(epochSeconds(*model.wake().heldSince()) + held);
            panel.show();
            QCOMPARE(text(panel, "headerTitle") + " / "_L1 + text(panel, "statusLine"),
                     u"Needs you / Keeping computer awake \u00b7 "_s + time);
        }
        auto *first = child(panel, "firstRowButton");
        QCOMPARE(QString::fromStdString(first->findChild<SessionRow *>()->session().id), u"site"_s);
        QTest::mouseClick(child<QAbstractButton>(*first, "showButton"), Qt::LeftButton);
        QCOMPARE(r.focus.requests, std::vector<std::int32_t> {101});
        QVERIFY(!child<SessionList>(panel, "sessionList")->isExpanded());
        r.focus.answer(true);
        QTRY_VERIFY(!panel.isVisible());
    }

    // Rows of agents on this machine or connected are in view, in order, then
    // "|" and those "More agents" opens: codex has a folder in the home folder,
    // claude a command on PATH, gemini one not executable, copilot is connected.
    // The controls write through the model; a login item changed outside
    // shows when the settings open, without registering anything.
    void settings()
    {
        PanelRig r;
        const fs::path bin = r.base / "bin";
        fs::create_directories(r.base / "home/.codex");
        fs::create_directories(bin);
        for (const char *command : {"lullwatch-hook", "claude", "gemini"}) {
            writeFile(bin / command, "#!/bin/sh\n");
            fs::permissions(bin / command, command == "gemini"sv ? fs::perms::owner_read : fs::perms::owner_all);
        }
        auto &model = r.start(bin.string());
        for (const auto &installer : model.hookInstallers()) {
            if (installer->agent().raw == "copilot"sv)
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
        QCOMPARE(listed(), u"claude copilot codex|qwen gemini"_s);
        child<QToolButton>(panel, "moreAgents")->click();
        QVERIFY(listed().endsWith(u'|'));

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
        QCOMPARE(r.loginItem.registrations + r.loginItem.unregistrations, 0);
        for (const char *box : {"keepDisplayAwake", "pauseOnBattery", "notifyWhenWaiting", "launchAtLogin"})
            child<QCheckBox>(panel, box)->click();
        QVERIFY(model.keepDisplayAwake() && model.pauseOnBattery() && !model.notifyWhenWaiting());
        QCOMPARE(r.loginItem.unregistrations, 1);
    }
};

QTEST_MAIN(TestPanel)

#include "tst_panel.moc"
