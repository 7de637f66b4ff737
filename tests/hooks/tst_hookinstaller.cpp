#include "agents/Agents.h"
#include "files/Files.h"
#include "hooks/CopilotHookInstaller.h"
#include "hooks/HookInstaller.h"
#include "support/TestFiles.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace lullwatch;
using namespace lullwatch::test;
using nlohmann::json;
namespace fs = std::filesystem;

// nlohmann's values convert to too much for QCOMPARE's overloads.
#define COMPARE_JSON(actual, expected)                                                                                 \
    do {                                                                                                               \
        const json actualValue = (actual);                                                                             \
        const json expectedValue = (expected);                                                                         \
        QVERIFY2(actualValue == expectedValue, (actualValue.dump() + "\n  expected " + expectedValue.dump()).c_str()); \
    } while (false)

namespace {

const Agent &claudeAgent()
{
    return agentFor(SessionSource::Claude);
}

const Agent &copilotAgent()
{
    return agentFor(SessionSource::Copilot);
}

// What each agent whose hooks live in its settings file installs, by hand.
struct SettingsAgent {
    const char *raw;
    const char *settingsFile;
    const char *script;
    const char *stamp;
    const char *version;
    int timeout;
    std::vector<std::pair<const char *, const char *>> events; // name, state
    HookStatus connected; // after a successful install
};
const SettingsAgent claudeFiles {"claude",
                                 ".claude/settings.json",
                                 "claude-hook.sh",
                                 "hook-version",
                                 "6",
                                 5,
                                 {{"SessionStart", "idle"},
                                  {"UserPromptSubmit", "working"},
                                  {"Notification", "waiting"},
                                  {"Stop", "idle"},
                                  {"SessionEnd", "ended"}},
                                 HookStatus::installed()};
const SettingsAgent qwenFiles {"qwen", ".qwen/settings.json", "qwen-hook.sh",         "qwen-hook-version", "1",
                               5,      claudeFiles.events,    HookStatus::installed()};
// Gemini CLI reads its time limits in milliseconds.
const SettingsAgent geminiFiles {"gemini",
                                 ".gemini/settings.json",
                                 "gemini-hook.sh",
                                 "gemini-hook-version",
                                 "1",
                                 5000,
                                 {{"SessionStart", "idle"},
                                  {"BeforeAgent", "working"},
                                  {"AfterTool", "working"},
                                  {"Notification", "waiting"},
                                  {"AfterAgent", "idle"},
                                  {"SessionEnd", "ended"}},
                                 HookStatus::installed()};
// Codex CLI holds a session's end for 3 seconds at most, and runs the hooks
// once the user trusts them.
const SettingsAgent codexFiles {"codex",
                                ".codex/hooks.json",
                                "codex-hook.sh",
                                "codex-hook-version",
                                "1",
                                3,
                                {{"SessionStart", "idle"},
                                 {"UserPromptSubmit", "working"},
                                 {"PermissionRequest", "waiting"},
                                 {"PostToolUse", "working"},
                                 {"Stop", "idle"},
                                 {"SessionEnd", "ended"}},
                                HookStatus::awaitingApproval()};
const SettingsAgent *const settingsAgents[] = {&claudeFiles, &qwenFiles, &geminiFiles, &codexFiles};

mode_t modeOf(const fs::path &path)
{
    struct stat status { };
    ::stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

json readJson(const fs::path &path)
{
    return json::parse(readFile(path), nullptr, false);
}

// A settings object as a user might have it: other settings, nesting, text
// in many scripts, numbers at the edges of their ranges, and other tools'
// hooks on the events we use and on others.
json generatedSettings(QRandomGenerator &random, int depth = 0)
{
    static const char *const texts[]
        = {"plain",          "with/slash", "ünïcödé",      "日本語テキスト", "emoji 🎉", "quote \" and \\ backslash",
           "tab\tnew\nline", "",           "\u0001control"};
    const auto leaf = [&]() -> json {
        switch (random.bounded(9)) {
        case 0:
            return std::numeric_limits<std::int64_t>::max();
        case 1:
            return std::numeric_limits<std::int64_t>::min();
        case 2:
            return std::numeric_limits<std::uint64_t>::max();
        case 3:
            return 0.1 + random.bounded(1000);
        case 4:
            return 1e-300 * random.bounded(1, 9);
        case 5:
            return random.bounded(2) == 1;
        case 6:
            return nullptr;
        default:
            return texts[random.bounded(int(std::size(texts)))];
        }
    };
    json object = json::object();
    const int members = random.bounded(1, 6);
    for (int i = 0; i < members; ++i) {
        const std::string key = texts[random.bounded(int(std::size(texts)))] + std::to_string(i);
        if (depth < 4 && random.bounded(3) == 0)
            object[key] = generatedSettings(random, depth + 1);
        else if (depth < 4 && random.bounded(4) == 0)
            object[key] = json::array({leaf(), generatedSettings(random, depth + 1), leaf()});
        else
            object[key] = leaf();
    }
    if (depth == 0 && random.bounded(3) > 0) {
        json hooks = json::object();
        for (const char *event : {"Stop", "PreToolUse", "SessionStart", "Notification"}) {
            if (random.bounded(2) == 0)
                continue;
            json groups = json::array();
            for (int g = random.bounded(1, 3); g > 0; --g) {
                groups.push_back({{"matcher", texts[random.bounded(3)]},
                                  {"hooks",
                                   json::array({{{"type", "command"},
                                                 {"command", "/usr/bin/notify-tool " + std::to_string(g)},
                                                 {"timeout", random.bounded(1, 60)}}})}});
            }
            hooks[event] = groups;
        }
        if (!hooks.empty())
            object["hooks"] = hooks;
    }
    return object;
}

} // namespace

class TestHookInstaller : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    HookLocations m_locations;
    SettingsAgent m_files = claudeFiles; // of the agent under test

    fs::path settings() const { return m_locations.home / m_files.settingsFile; }
    fs::path backup() const { return m_locations.home / (std::string(m_files.settingsFile) + ".lullwatch-backup"); }
    const Agent &agent() const { return *agentFromRaw(m_files.raw); }

    // The rows of a test that every agent with a settings file passes.
    static void agentRows()
    {
        QTest::addColumn<QByteArray>("agent");
        for (const SettingsAgent *files : settingsAgents)
            QTest::newRow(files->raw) << QByteArray(files->raw);
    }
    void useRowAgent()
    {
        QFETCH(QByteArray, agent);
        for (const SettingsAgent *files : settingsAgents) {
            if (agent == files->raw)
                m_files = *files;
        }
    }
    json ourHooks() const
    {
        json hooks = json::object();
        for (const auto &[event, state] : m_files.events)
            hooks[event] = json::array({ourGroup(state)});
        return hooks;
    }

    void writeSettings(const std::string &text)
    {
        fs::create_directories(settings().parent_path());
        writeFile(settings(), text);
    }

    json ourGroup(std::string_view state) const { return ourGroup(*sessionStateFromRaw(state)); }
    json ourGroup(SessionState state) const
    {
        return {{"hooks",
                 json::array({{{"type", "command"},
                               {"command", hookCommand(m_locations.appSupport / m_files.script, state)},
                               {"timeout", m_files.timeout}}})}};
    }

private Q_SLOTS:
    void init()
    {
        static int round = 0;
        const fs::path home = fs::path(m_root.path().toStdString()) / ("home-" + std::to_string(++round));
        fs::create_directories(home);
        m_locations = {home, home / ".local/share/lullwatch", fs::path(LULLWATCH_BINARY_DIR) / "lullwatch-hook"};
        m_files = claudeFiles;
        qunsetenv("COPILOT_HOME");
    }

    void installWithoutSettings_data() { agentRows(); }
    void installWithoutSettings()
    {
        useRowAgent();
        HookInstaller installer(agent(), m_locations);
        installer.install();
        QCOMPARE(installer.status(), m_files.connected);
        COMPARE_JSON(readJson(settings()), (json {{"hooks", ourHooks()}}));
        QVERIFY(!fs::exists(backup()));

        const auto script = m_locations.appSupport / m_files.script;
        QCOMPARE(modeOf(script), mode_t(0755));
        QCOMPARE(modeOf(m_locations.installedRecorder()), mode_t(0755));
        QCOMPARE(readFile(m_locations.appSupport / m_files.stamp), std::string(m_files.version));
        QVERIFY(readFile(script).find(shellQuote(m_locations.sessions().string())) != std::string::npos);
        QVERIFY(fs::is_directory(m_locations.sessions()));
    }

    void writtenFormat()
    {
        writeSettings(R"({"zeta":"a/b","alpha":{"b":1,"a":2},"name":"日本",)"
                      R"("numbers":[123456789012345678901234567890,1.50,-0.0000000000000000000001]})");
        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        auto text = readFile(settings());
        for (int pass = 0; pass < 2; ++pass) {
            // Numbers as the user wrote them, even where a double cannot hold them.
            QVERIFY2(text.find("123456789012345678901234567890,") != std::string::npos, text.c_str());
            QVERIFY2(text.find("1.50,") != std::string::npos, text.c_str());
            QVERIFY2(text.find("-0.0000000000000000000001\n") != std::string::npos, text.c_str());
            installer.uninstall();
            text = readFile(settings());
        }
        installer.install();
        text = readFile(settings());
        QVERIFY(text.find("\"a/b\"") != std::string::npos); // "/" not escaped
        QVERIFY(text.find("日本") != std::string::npos); // UTF-8 as it is
        QVERIFY(text.find("\"alpha\"") < text.find("\"hooks\""));
        QVERIFY(text.find("\"hooks\"") < text.find("\"name\""));
        QVERIFY(text.find("\"name\"") < text.find("\"zeta\""));
        QVERIFY(text.find('\n') != std::string::npos); // pretty-printed
    }

    void blankSettingsAreEmptyAndBackedUp()
    {
        writeSettings(" \n\t\r\n");
        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        QCOMPARE(installer.status(), HookStatus::installed());
        QCOMPARE(readJson(settings())["hooks"].size(), 5u);
        QCOMPARE(readFile(backup()), std::string(" \n\t\r\n"));
    }

    void userGroupsStayFirstAndOursIsNeverDoubled()
    {
        const json userStop
            = {{"matcher", ""}, {"hooks", json::array({{{"type", "command"}, {"command", "say done"}}})}};
        writeSettings(json {{"hooks", {{"Stop", {userStop}}}}, {"model", "opus"}}.dump());
        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        installer.install();
        const auto after = readJson(settings());
        COMPARE_JSON(after["hooks"]["Stop"], json::array({userStop, ourGroup("idle")}));
        COMPARE_JSON(after["hooks"]["SessionStart"], json::array({ourGroup("idle")}));
        COMPARE_JSON(after["model"], json("opus"));
    }

    void legacyGroupsCountAsOurs()
    {
        const auto legacyCommand = "python3 '" + (m_locations.legacyFolder() / "claude-hook.py").string() + "' idle";
        json hooks = json::object();
        for (const auto &event : claudeAgent().events)
            hooks[std::string(event.name)] = json::array({ourGroup(event.state)});
        hooks["Stop"] = json::array({{{"hooks", json::array({{{"type", "command"}, {"command", legacyCommand}}})}}});
        writeSettings(json {{"hooks", hooks}}.dump());
        fs::create_directories(m_locations.appSupport);
        writeFile(m_locations.appSupport / "hook-version", "6");

        HookInstaller installer(claudeAgent(), m_locations);
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::installed());
        installer.install();
        COMPARE_JSON(readJson(settings())["hooks"]["Stop"], json::array({ourGroup("idle")}));
        installer.uninstall();
        COMPARE_JSON(readJson(settings()), json::object());
    }

    void uninstallKeepsEverythingElse_data() { agentRows(); }
    void uninstallKeepsEverythingElse()
    {
        useRowAgent();
        const json user = {{"hooks", json::array({{{"type", "command"}, {"command", "say hi"}}})}};
        writeSettings(json {{"env", {{"A", "1"}}}, {"hooks", {{"Stop", {user}}}}}.dump());
        HookInstaller installer(agent(), m_locations);
        installer.install();
        installer.uninstall();
        QCOMPARE(installer.status(), HookStatus::notInstalled());
        COMPARE_JSON(readJson(settings()), (json {{"env", {{"A", "1"}}}, {"hooks", {{"Stop", {user}}}}}));
        QVERIFY(!fs::exists(m_locations.appSupport / m_files.script));
        QVERIFY(!fs::exists(m_locations.appSupport / m_files.stamp));
        QVERIFY(!fs::exists(m_locations.installedRecorder()));
    }

    // The user's own entries on an event we use, as install and remove leave
    // them. @ours@ stands for our entry, "@ours" for our command, @path for
    // our script's path.
    void usersEntriesAreKept_data()
    {
        QTest::addColumn<QByteArray>("stop");
        QTest::addColumn<QByteArray>("afterRemove"); // empty: as it was
        QTest::addColumn<bool>("installs");
        const QByteArray audit = R"({"type":"command","command":"~/bin/my-audit.sh"})";
        QTest::newRow("our entry beside the user's") << "[{\"hooks\":[@ours@," + audit + "]}]"
                                                     << "[{\"hooks\":[" + audit + "]}]" << true;
        QTest::newRow("with a matcher") << "[{\"matcher\":\"Bash\",\"hooks\":[" + audit + ",@ours@]}]"
                                        << "[{\"matcher\":\"Bash\",\"hooks\":[" + audit + "]}]" << true;
        QTest::newRow("a script of the same name elsewhere")
            << QByteArray(R"([{"hooks":[{"type":"command","command":"/bin/sh '/home/me/bin/claude-hook.sh' idle"}]}])")
            << QByteArray() << true;
        QTest::newRow("a longer path starting with ours")
            << QByteArray(R"([{"hooks":[{"type":"command","command":"/bin/sh @path.orig idle"}]}])") << QByteArray()
            << true;
        QTest::newRow("elements that are not groups") << QByteArray(R"(["text",5,null,[1]])") << QByteArray() << true;
        QTest::newRow("hooks that are not a list")
            << QByteArray(R"([{"hooks":"say hi"},{"hooks":{"command":"@ours"}}])") << QByteArray() << true;
        QTest::newRow("a list with more than entries")
            << QByteArray(R"([{"hooks":[@ours@,"say hi"]}])") << QByteArray(R"([{"hooks":["say hi"]}])") << true;
        QTest::newRow("an event that is not a list") << QByteArray(R"({"command":"say hi"})") << QByteArray() << false;
        QTest::newRow("an event that is text") << QByteArray(R"("say hi")") << QByteArray() << false;
    }

    void usersEntriesAreKept()
    {
        QFETCH(QByteArray, stop);
        QFETCH(QByteArray, afterRemove);
        QFETCH(bool, installs);
        const auto expand = [&](QByteArray text) {
            const auto command = hookCommand(m_locations.appSupport / "claude-hook.sh", SessionState::Idle);
            text.replace("@ours@", QByteArray::fromStdString(ourGroup("idle")["hooks"][0].dump()));
            text.replace("\"@ours", QByteArray::fromStdString(json(command).dump()).chopped(1));
            text.replace("@path", QByteArray::fromStdString((m_locations.appSupport / "claude-hook.sh").string()));
            return json::parse(text.toStdString());
        };
        const json before = expand(stop);
        const json removed = afterRemove.isEmpty() ? before : expand(afterRemove);
        const std::string original = json {{"hooks", {{"Stop", before}}}, {"model", "opus"}}.dump(2);
        writeSettings(original);

        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        if (!installs) {
            QCOMPARE(installer.status().kind(), HookStatus::Kind::Failed);
            QVERIFY2(installer.status().message().find("\"Stop\"") != std::string::npos,
                     installer.status().message().c_str());
            QCOMPARE(readFile(settings()), original);
            QVERIFY(!fs::exists(backup()));
        } else {
            QCOMPARE(installer.status(), HookStatus::installed());
            json expected = removed;
            expected.push_back(ourGroup("idle"));
            COMPARE_JSON(readJson(settings())["hooks"]["Stop"], expected);
        }
        installer.uninstall();
        QCOMPARE(installer.status(), HookStatus::notInstalled());
        COMPARE_JSON(readJson(settings())["hooks"]["Stop"], removed);
        COMPARE_JSON(readJson(settings())["model"], json("opus"));
        // The backup holds the state before the removal.
        if (installs)
            QVERIFY(readFile(backup()).find("~/bin/my-audit.sh") != std::string::npos || !stop.contains("my-audit"));
    }

    void hooksOfAnotherShapeStay()
    {
        const std::string original = R"({"hooks":["say hi"]})";
        writeSettings(original);
        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        QCOMPARE(installer.status().kind(), HookStatus::Kind::Failed);
        installer.uninstall();
        QCOMPARE(installer.status(), HookStatus::notInstalled());
        QCOMPARE(readFile(settings()), original);
    }

    // A settings file the user cannot write is never replaced, even though
    // its folder is writable.
    void readOnlySettingsStay_data() { agentRows(); }
    void readOnlySettingsStay()
    {
        useRowAgent();
        const std::string original = R"({"theme":"dark"})";
        writeSettings(original);
        fs::permissions(settings(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        QProcess process;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), QString::fromStdString(m_locations.home.string()));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), QString());
        process.setProcessEnvironment(environment);
        QStringList command = {QStringLiteral(LULLWATCH_BINARY_DIR "/lullwatch"), QStringLiteral("hooks"),
                               QStringLiteral("install"), QStringLiteral("--agent"), QString::fromLatin1(m_files.raw)};
        if (::geteuid() == 0) {
            // Root may write anything: run as nobody, who owns the home.
            fs::permissions(m_root.path().toStdString(), fs::perms::others_exec, fs::perm_options::add);
            for (const auto &entry : fs::recursive_directory_iterator(m_locations.home))
                QVERIFY(::lchown(entry.path().c_str(), 65534, 65534) == 0);
            QVERIFY(::chown(m_locations.home.c_str(), 65534, 65534) == 0);
            command = QStringList {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                   QStringLiteral("--clear-groups")}
                + command;
            command.prepend(QStringLiteral("setpriv"));
        }
        process.start(command.first(), command.mid(1));
        QVERIFY(process.waitForFinished());
        const QByteArray output = process.readAllStandardOutput() + process.readAllStandardError();
        QCOMPARE(process.exitCode(), 1);
        QVERIFY2(output.contains(QByteArray::fromStdString(settings().string() + " is read-only")), output.constData());
        QCOMPARE(readFile(settings()), original);
        QCOMPARE(modeOf(settings()), mode_t(0444));
        QVERIFY(!fs::exists(backup()));
    }

    // What killed installs left beside the files they write goes at the next
    // install, once it is old enough to belong to no running one.
    void staleTemporariesGo()
    {
        writeSettings("{}");
        const auto claudeFolder = settings().parent_path();
        const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(11);
        const std::pair<fs::path, bool> files[] = {
            {claudeFolder / ".settings.json.lullwatch-Ab12Cd", false},
            {claudeFolder / ".settings.json.lullwatch-backup.lullwatch-x9Y8z7", false},
            {m_locations.appSupport / ".claude-hook.sh.lullwatch-Qw3rTy", false},
            {claudeFolder / ".settings.json.lullwatch-young1", true}, // a running install's
            {claudeFolder / ".settings.json.backup", true}, // the user's own
            {claudeFolder / ".settings.json.lullwatch-toolong", true},
            {claudeFolder / ".other.json.lullwatch-Ab12Cd", true},
        };
        fs::create_directories(m_locations.appSupport);
        for (const auto &[path, stays] : files) {
            writeFile(path, "partial");
            if (path.filename() != ".settings.json.lullwatch-young1")
                fs::last_write_time(path, old);
        }
        const auto link = claudeFolder / ".settings.json.lullwatch-Link12";
        fs::create_symlink(claudeFolder / ".other.json.lullwatch-Ab12Cd", link);
        const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
        QVERIFY(::utimensat(AT_FDCWD, link.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0);
        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        QCOMPARE(installer.status(), HookStatus::installed());
        for (const auto &[path, stays] : files)
            QVERIFY2(fs::exists(path) == stays, path.c_str());
        QVERIFY(fs::is_symlink(link));
    }

    void uninstallWithoutSettingsWritesAnEmptyObject()
    {
        HookInstaller installer(claudeAgent(), m_locations);
        installer.uninstall();
        COMPARE_JSON(readJson(settings()), json::object());
    }

    void refresh_data()
    {
        QTest::addColumn<int>("events");
        QTest::addColumn<QByteArray>("stamp"); // "missing" for no file
        QTest::addColumn<int>("expected"); // HookStatus::Kind
        const int installed = int(HookStatus::Kind::Installed);
        const int outdated = int(HookStatus::Kind::Outdated);
        const int notInstalled = int(HookStatus::Kind::NotInstalled);
        QTest::newRow("all, stamp 6") << 5 << QByteArray("6") << installed;
        QTest::newRow("all, stamp 6 and line feed") << 5 << QByteArray("6\n") << installed;
        QTest::newRow("all, stamp with spaces") << 5 << QByteArray("  6 \t") << installed;
        QTest::newRow("all, stamp +6") << 5 << QByteArray("+6") << installed;
        QTest::newRow("all, stamp 6.0") << 5 << QByteArray("6.0") << outdated;
        QTest::newRow("all, stamp with letters") << 5 << QByteArray("6a") << outdated;
        QTest::newRow("all, stamp +-6") << 5 << QByteArray("+-6") << outdated;
        QTest::newRow("all, stamp 5 of the scripts that ran the JSON tool") << 5 << QByteArray("5") << outdated;
        QTest::newRow("all, empty stamp") << 5 << QByteArray("") << outdated;
        QTest::newRow("all, no stamp") << 5 << QByteArray("missing") << outdated;
        QTest::newRow("four of five") << 4 << QByteArray("6") << outdated;
        QTest::newRow("one") << 1 << QByteArray("6") << outdated;
        QTest::newRow("none") << 0 << QByteArray("6") << notInstalled;
    }

    void refresh()
    {
        QFETCH(int, events);
        QFETCH(QByteArray, stamp);
        QFETCH(int, expected);
        json hooks = json::object();
        for (int i = 0; i < events; ++i)
            hooks[std::string(claudeAgent().events[i].name)] = json::array({ourGroup(claudeAgent().events[i].state)});
        writeSettings(json {{"hooks", hooks}}.dump());
        fs::create_directories(m_locations.appSupport);
        if (stamp != "missing")
            writeFile(m_locations.appSupport / "hook-version", stamp);

        HookInstaller installer(claudeAgent(), m_locations);
        installer.refresh();
        QCOMPARE(int(installer.status().kind()), expected);

        // The same status again notifies nobody; a change does.
        QSignalSpy spy(&installer, &HookInstalling::statusChanged);
        installer.refresh();
        QCOMPARE(spy.count(), 0);
        installer.install();
        QCOMPARE(spy.count(), expected == int(HookStatus::Kind::Installed) ? 0 : 1);
    }

    // Codex runs our hooks once the user trusts them in its review, which
    // records each handler's key and hash in config.toml. The records come
    // from tests/tools/codex_trust.py, which reproduces what the real Codex
    // wrote; @records@ stands for them, @key@ for the first record's key.
    void codexTrust_data()
    {
        QTest::addColumn<QByteArray>("config"); // "missing" for no file
        QTest::addColumn<bool>("userStopFirst"); // a group of the user's before ours on Stop
        QTest::addColumn<bool>("trusted");
        QTest::newRow("no config") << QByteArray("missing") << false << false;
        QTest::newRow("other settings only")
            << QByteArray("model = \"o4\"\n[projects.\"/w\"]\ntrust_level = \"trusted\"\n") << false << false;
        QTest::newRow("every handler trusted") << QByteArray("model = \"o4\"\n@records@") << false << true;
        QTest::newRow("keys follow the user's group") << QByteArray("@records@") << true << true;
        QTest::newRow("comments and blank lines")
            << QByteArray("# mine\n\n[hooks.state] # the reviews\n@records@\n# end\n") << false << true;
        QTest::newRow("one switched off")
            << QByteArray("@records@\n[hooks.state.@key@]\nenabled = false\n") << false << false;
        QTest::newRow("inline tables") << QByteArray("@inline@") << false << true;
        QTest::newRow("one hash of an earlier command") << QByteArray("@stale@") << false << false;
        QTest::newRow("an array of tables in between")
            << QByteArray("[[mcp]]\nname = \"x\"\n@records@") << false << true;
    }

    void codexTrust()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, userStopFirst);
        QFETCH(bool, trusted);
        m_files = codexFiles;
        if (userStopFirst) {
            const json user = {{"hooks", json::array({{{"type", "command"}, {"command", "say done"}}})}};
            writeSettings(json {{"hooks", {{"Stop", {user}}}}}.dump());
        }
        HookInstaller installer(agent(), m_locations);
        installer.install();
        QCOMPARE(installer.status(), HookStatus::awaitingApproval());

        QProcess tool;
        tool.start(QStringLiteral("python3"),
                   {QStringLiteral(LULLWATCH_TEST_SOURCE_DIR "/tools/codex_trust.py"),
                    QString::fromStdString(settings().string()), QStringLiteral("-")});
        QVERIFY(tool.waitForFinished());
        QCOMPARE(tool.exitCode(), 0);
        const QByteArray records = tool.readAllStandardOutput();
        QVERIFY(records.count("trusted_hash") == 6 + (userStopFirst ? 1 : 0));
        const QByteArray firstKey = records.mid(records.indexOf("state.") + 6).split(']').first();
        QByteArray inline_ = "[hooks.state]\n";
        for (const QByteArray &line : records.split('\n')) {
            if (line.startsWith("[hooks.state."))
                inline_ += line.mid(13).chopped(1) + " = { enabled = true, ";
            else if (line.startsWith("trusted_hash"))
                inline_ += line + " }\n";
        }
        QByteArray stale = records;
        stale.insert(stale.lastIndexOf("sha256:") + 7, '0');
        config.replace("@records@", records)
            .replace("@key@", firstKey)
            .replace("@inline@", inline_)
            .replace("@stale@", stale);
        if (config != "missing")
            writeFile(settings().parent_path() / "config.toml", config.toStdString());
        installer.refresh();
        QCOMPARE(installer.status(), trusted ? HookStatus::installed() : HookStatus::awaitingApproval());
    }

    void unreadableSettings_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("agent");
        QTest::newRow("qwen truncated") << QByteArray(R"({"hooks": {)") << QByteArray("qwen");
        QTest::newRow("truncated") << QByteArray(R"({"hooks": {)") << QByteArray("claude");
        QTest::newRow("top-level array") << QByteArray("[]") << QByteArray("claude");
        QTest::newRow("top-level string") << QByteArray(R"("text")") << QByteArray("claude");
        QTest::newRow("invalid UTF-8") << QByteArray("{\"name\": \"\xff\xfe\"}") << QByteArray("claude");
        QTest::newRow("comment") << QByteArray("{// note\n}") << QByteArray("claude");
        QTest::newRow("number beyond a double") << QByteArray(R"({"n": 1E400})") << QByteArray("claude");
        QTest::newRow("nested 513 deep") << "{\"a\":" + QByteArray(512, '[') + QByteArray(512, ']') + '}'
                                         << QByteArray("claude");
        QTest::newRow("nested 100,000 deep")
            << "{\"a\":" + QByteArray(99999, '[') + QByteArray(99999, ']') + '}' << QByteArray("claude");
    }

    void unreadableSettings()
    {
        QFETCH(QByteArray, content);
        useRowAgent();
        writeSettings(content.toStdString());
        writeFile(backup(), "older backup");
        const std::string text = m_files.raw == std::string_view("qwen")
            ? "~/.qwen/settings.json isn't valid JSON. Fix or move it, then connect again."
            : "~/.claude/settings.json isn't valid JSON. Fix or move it, then connect again.";

        HookInstaller installer(agent(), m_locations);
        installer.install();
        QCOMPARE(installer.status(), HookStatus::failed(text));
        installer.uninstall();
        QCOMPARE(installer.status(), HookStatus::failed(text));
        QCOMPARE(readFile(settings()), content.toStdString());
        QCOMPARE(readFile(backup()), std::string("older backup"));
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::notInstalled());
    }

    // Install then uninstall gives back the user's settings, equal in value.
    void generatedSettingsSurvive()
    {
        QRandomGenerator random(4242);
        HookInstaller installer(claudeAgent(), m_locations);
        for (int i = 0; i < 200; ++i) {
            const json original = generatedSettings(random);
            writeSettings(original.dump(random.bounded(2) ? 4 : -1));
            installer.install();
            QCOMPARE(installer.status(), HookStatus::installed());
            const auto installedSettings = readJson(settings());
            const json userHooks = original.value("hooks", json::object());
            for (const auto &[event, groups] : userHooks.items()) {
                // The user's groups come first, in their order.
                for (std::size_t g = 0; g < groups.size(); ++g)
                    COMPARE_JSON(installedSettings["hooks"][event][g], groups[g]);
            }
            installer.uninstall();
            QCOMPARE(installer.status(), HookStatus::notInstalled());
            QVERIFY2(readJson(settings()) == original, original.dump().c_str());
        }
    }

    void symbolicLinkIsWrittenThrough_data() { agentRows(); }
    void symbolicLinkIsWrittenThrough()
    {
        useRowAgent();
        const auto dotfiles = m_locations.home / "dotfiles";
        fs::create_directories(dotfiles);
        writeFile(dotfiles / "claude.json", R"({"theme":"dark"})");
        fs::create_directories(settings().parent_path());
        fs::create_symlink("../dotfiles/claude.json", settings());

        HookInstaller installer(agent(), m_locations);
        installer.install();
        QCOMPARE(installer.status(), m_files.connected);
        QVERIFY(fs::is_symlink(settings()));
        COMPARE_JSON(readJson(dotfiles / "claude.json")["theme"], json("dark"));
        COMPARE_JSON(readJson(dotfiles / "claude.json")["hooks"], ourHooks());
        QVERIFY(!fs::is_symlink(backup()));
        QCOMPARE(readFile(backup()), std::string(R"({"theme":"dark"})"));
    }

    void permissionsAreKept_data() { agentRows(); }
    void permissionsAreKept()
    {
        useRowAgent();
        writeSettings(R"({"env":{"API_KEY":"secret"}})");
        fs::permissions(settings(), fs::perms::owner_read | fs::perms::owner_write);
        HookInstaller installer(agent(), m_locations);
        installer.install();
        QCOMPARE(modeOf(settings()), mode_t(0600));
        QCOMPARE(modeOf(backup()), mode_t(0600));
    }

    void fileSystemFailures_data()
    {
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QString>("messageStart");
        QTest::addColumn<QByteArray>("agent");
        QTest::newRow(".claude is a file")
            << QStringLiteral(".claude") << QStringLiteral("Couldn't read ") << QByteArray("claude");
        QTest::newRow("settings.json is a folder")
            << QStringLiteral(".claude/settings.json") << QStringLiteral("Couldn't read ") << QByteArray("claude");
        QTest::newRow("data folder under a file")
            << QStringLiteral(".local") << QStringLiteral("Couldn't write ") << QByteArray("claude");
        QTest::newRow(".qwen is a file") << QStringLiteral(".qwen") << QStringLiteral("Couldn't read ")
                                         << QByteArray("qwen");
    }

    void fileSystemFailures()
    {
        QFETCH(QString, broken);
        QFETCH(QString, messageStart);
        useRowAgent();
        const auto path = m_locations.home / broken.toStdString();
        if (broken.endsWith(u".json")) {
            fs::create_directories(path);
        } else {
            writeFile(path, "a file where a folder belongs");
        }
        HookInstaller installer(agent(), m_locations);
        installer.install();
        QCOMPARE(installer.status().kind(), HookStatus::Kind::Failed);
        QVERIFY2(installer.status().message().rfind(messageStart.toStdString(), 0) == 0,
                 installer.status().message().c_str());
    }

    // Where installing finds the recorder it copies, for an application in
    // <tree>/usr/bin: beside it (a build folder), else in the installed
    // tree's libexec folder (the package).
    void recorderSource_data()
    {
        QTest::addColumn<QStringList>("recorders"); // under <tree>, each holding its own path
        QTest::addColumn<QString>("copied"); // empty: none, and installing fails
        const QString beside = QStringLiteral("usr/bin/lullwatch-hook");
        const QString packaged = QStringLiteral("usr/libexec/lullwatch/lullwatch-hook");
        QTest::newRow("beside the application") << QStringList {beside} << beside;
        QTest::newRow("installed") << QStringList {packaged} << packaged;
        QTest::newRow("both: beside wins") << QStringList {beside, packaged} << beside;
        QTest::newRow("a folder beside") << QStringList {beside + u"/inside", packaged} << packaged;
        QTest::newRow("in another tree's libexec")
            << QStringList {QStringLiteral("libexec/lullwatch/lullwatch-hook")} << QString();
        QTest::newRow("none") << QStringList {} << QString();
    }

    void recorderSource()
    {
        QFETCH(QStringList, recorders);
        QFETCH(QString, copied);
        const fs::path tree = m_locations.home / "tree";
        fs::create_directories(tree / "usr/bin");
        for (const QString &recorder : recorders) {
            fs::create_directories((tree / recorder.toStdString()).parent_path());
            writeFile(tree / recorder.toStdString(), recorder.toStdString());
        }
        m_locations.recorderSource = HookLocations::recorderFor(tree / "usr/bin");

        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        if (copied.isEmpty()) {
            QCOMPARE(installer.status().kind(), HookStatus::Kind::Failed);
            const std::string expected
                = "lullwatch-hook is missing beside the application (" + (tree / "usr/bin/lullwatch-hook").string();
            QVERIFY2(installer.status().message().rfind(expected, 0) == 0, installer.status().message().c_str());
            QVERIFY(!fs::exists(settings()));
        } else {
            QCOMPARE(installer.status(), HookStatus::installed());
            QCOMPARE(readFile(m_locations.appSupport / "lullwatch-hook"), copied.toStdString());
        }
    }

    // A home folder with a quote in its name still yields commands that sh
    // runs, and that the installer recognises as its own.
    void quoteInThePath()
    {
        const fs::path home = fs::path(m_root.path().toStdString()) / "it's home";
        fs::create_directories(home);
        m_locations = {home, home / ".local/share/lullwatch", fs::path(LULLWATCH_BINARY_DIR) / "lullwatch-hook"};
        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::installed());

        const auto command
            = readJson(settings())["hooks"]["UserPromptSubmit"][0]["hooks"][0]["command"].get<std::string>();
        QProcess hook;
        hook.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromStdString(command)});
        hook.write(R"({"session_id":"quoted","hook_event_name":"UserPromptSubmit","cwd":"/tmp"})");
        hook.closeWriteChannel();
        QVERIFY(hook.waitForFinished());
        QCOMPARE(hook.exitCode(), 0);
        COMPARE_JSON(readJson(m_locations.sessions() / "quoted.json")["state"], json("working"));
    }

    void legacyFolderKeepsWhatIsNotOurs()
    {
        const auto legacy = m_locations.legacyFolder();
        fs::create_directories(legacy);
        writeFile(legacy / "claude-hook.sh", "old");
        writeFile(legacy / "claude-hook.py", "old");
        writeFile(legacy / "notes.txt", "someone else's");
        HookInstaller installer(claudeAgent(), m_locations);
        installer.install();
        QVERIFY(!fs::exists(legacy / "claude-hook.sh"));
        QVERIFY(!fs::exists(legacy / "claude-hook.py"));
        QCOMPARE(readFile(legacy / "notes.txt"), std::string("someone else's"));

        fs::remove(legacy / "notes.txt");
        writeFile(legacy / "claude-hook.sh", "old");
        installer.uninstall();
        QVERIFY(!fs::exists(legacy));
    }

    // The recorder stays while a script needs it; the JSON tool of earlier
    // releases goes once no script of theirs is left, and not before.
    void sharedToolsStayWhileAScriptNeedsThem()
    {
        HookInstaller claude(claudeAgent(), m_locations);
        CopilotHookInstaller copilot(copilotAgent(), m_locations);
        fs::create_directories(m_locations.appSupport);
        for (const auto &[file, text] : {std::pair {"claude-hook.sh", "old"},
                                         {"hook-version", "5"},
                                         {"copilot-hook.sh", "old"},
                                         {"copilot-hook-version", "3"},
                                         {"lullwatch-json", "tool"}})
            writeFile(m_locations.appSupport / file, text);
        claude.refresh();
        QCOMPARE(claude.status(), HookStatus::notInstalled()); // no settings entries yet
        claude.install();
        QVERIFY(readFile(m_locations.appSupport / "claude-hook.sh").find("lullwatch-hook") != std::string::npos);
        QVERIFY(fs::exists(m_locations.legacyJsonTool())); // the old Copilot script still runs it
        copilot.refresh();
        QCOMPARE(copilot.status(), HookStatus::notInstalled());
        copilot.install();
        QVERIFY(!fs::exists(m_locations.legacyJsonTool()));

        claude.uninstall();
        QVERIFY(fs::exists(m_locations.installedRecorder()));
        copilot.uninstall();
        QVERIFY(!fs::exists(m_locations.installedRecorder()));
    }

    void copilotHooksFile()
    {
        CopilotHookInstaller installer(copilotAgent(), m_locations);
        installer.install();
        QCOMPARE(installer.status(), HookStatus::installed());
        const auto script = m_locations.appSupport / "copilot-hook.sh";
        const auto entry = [&](std::string_view state) {
            return json::array(
                {{{"type", "command"}, {"bash", hookCommand(script, *sessionStateFromRaw(state))}, {"timeoutSec", 5}}});
        };
        const json expected = {{"version", 1},
                               {"hooks",
                                {{"sessionStart", entry("idle")},
                                 {"userPromptSubmitted", entry("working")},
                                 {"preToolUse", entry("working")},
                                 {"notification", entry("waiting")},
                                 {"agentStop", entry("idle")},
                                 {"sessionEnd", entry("ended")}}}};
        const auto file = m_locations.home / ".copilot/hooks/lullwatch.json";
        COMPARE_JSON(readJson(file), expected);
        const auto text = readFile(file);
        QVERIFY(text.find("\"agentStop\"") < text.find("\"notification\""));
        QVERIFY(text.find("\"hooks\"") < text.find("\"version\""));
        QCOMPARE(readFile(m_locations.appSupport / "copilot-hook-version"), std::string("4"));
        QCOMPARE(modeOf(script), mode_t(0755));
    }

    void copilotHome_data()
    {
        QTest::addColumn<QString>("variable"); // null: unset
        QTest::addColumn<QString>("expectedFolder");
        QTest::newRow("unset") << QString() << QStringLiteral(".copilot");
        QTest::newRow("empty") << QStringLiteral("") << QStringLiteral(".copilot");
        QTest::newRow("existing folder") << QStringLiteral("copilot-config") << QStringLiteral("copilot-config");
        QTest::newRow("folder to create") << QStringLiteral("new/deeper") << QStringLiteral("new/deeper");
    }

    void copilotHome()
    {
        QFETCH(QString, variable);
        QFETCH(QString, expectedFolder);
        const auto home = m_locations.home;
        if (variable == u"copilot-config")
            fs::create_directories(home / "copilot-config");
        if (!variable.isNull()) {
            const auto value = variable.isEmpty() ? std::string() : (home / variable.toStdString()).string();
            qputenv("COPILOT_HOME", QByteArray::fromStdString(value));
        }
        CopilotHookInstaller installer(copilotAgent(), m_locations);
        installer.install();
        QVERIFY(fs::exists(home / expectedFolder.toStdString() / "hooks/lullwatch.json"));
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::installed());
    }

    void copilotRefresh()
    {
        CopilotHookInstaller installer(copilotAgent(), m_locations);
        installer.install();
        const auto file = installer.hooksFilePath();
        writeFile(file.parent_path() / "other-tool.json", "{}");

        auto edited = readJson(file);
        edited["hooks"].erase("preToolUse");
        writeFile(file, edited.dump());
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::notInstalled());

        installer.install();
        writeFile(m_locations.appSupport / "copilot-hook-version", "1");
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::outdated());

        writeFile(file, "not json");
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::notInstalled());

        installer.uninstall();
        installer.uninstall();
        QCOMPARE(installer.status(), HookStatus::notInstalled());
        QVERIFY(!fs::exists(file));
        QCOMPARE(readFile(file.parent_path() / "other-tool.json"), std::string("{}"));
    }

    // An install killed at any moment leaves the old settings or the new,
    // never a part of either.
    void killedInstallLeavesOldOrNew()
    {
        const std::string original = json {{"theme", "light"}, {"padding", std::string(20000, 'x')}}.dump(2);
        writeSettings(original);
        const auto runInstall = [&] {
            auto process = std::make_unique<QProcess>();
            auto environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("HOME"), QString::fromStdString(m_locations.home.string()));
            environment.insert(QStringLiteral("XDG_DATA_HOME"), QString());
            process->setProcessEnvironment(environment);
            process->start(QStringLiteral(LULLWATCH_BINARY_DIR "/lullwatch"),
                           {QStringLiteral("hooks"), QStringLiteral("install"), QStringLiteral("--agent"),
                            QStringLiteral("claude")});
            return process;
        };
        auto complete = runInstall();
        QVERIFY(complete->waitForFinished());
        const std::string installed = readFile(settings());
        writeSettings(original);

        QRandomGenerator random(77);
        int sawOriginal = 0;
        for (int i = 0; i < 60; ++i) {
            auto process = runInstall();
            QVERIFY(process->waitForStarted());
            std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(0, 30000)));
            ::kill(static_cast<pid_t>(process->processId()), SIGKILL);
            QVERIFY(process->waitForFinished());
            const auto now = readFile(settings());
            QVERIFY2(now == original || now == installed, now.substr(0, 200).c_str());
            if (now == original)
                ++sawOriginal;
            writeSettings(original);
        }
        QVERIFY(sawOriginal > 0); // some kills did land before the rename
    }
};

QTEST_GUILESS_MAIN(TestHookInstaller)
#include "tst_hookinstaller.moc"
