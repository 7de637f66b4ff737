#include "agents/Agents.h"
#include "hooks/CopilotHookInstaller.h"
#include "hooks/HookInstaller.h"
#include "support/TestFiles.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

const Agent &claude = agentFor(SessionSource::Claude);

mode_t modeOf(const fs::path &path)
{
    struct stat status { };
    ::stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

int entries(const fs::path &folder)
{
    return int(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

json readJson(const fs::path &path)
{
    return json::parse(readFile(path), nullptr, false);
}

// A user's settings, written as we write them, so that install and remove
// give back these very bytes: numbers no double holds, text in many scripts,
// and hooks of the user's on one of our events and on another.
constexpr std::string_view userSettings = R"({
  "hooks": {
    "PreToolUse": "audit",
    "Stop": [
      {
        "hooks": [
          "say done"
        ]
      }
    ]
  },
  "numbers": [
    123456789012345678901234567890,
    1.50,
    -0.0000000000000000000001,
    18446744073709551615,
    -9223372036854775808
  ],
  "text": "a/b 日本 🎉 \u0001\t)"
                                          "\\\"\\\\\"\n}\n"; // the escapes spelled apart: moc misreads them raw

// Runs `work` in a child process; its wait status.
template<class Work> int inChild(Work work)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(work());
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}
} // namespace

class TestHookInstaller : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    HookLocations m_locations;
    fs::path m_settings; // of the agent under test

    fs::path backup() const { return m_settings.string() + ".lullwatch-backup"; }

    json ourGroup(const Agent &agent, SessionState state) const
    {
        return {{"hooks",
                 json::array({{{"type", "command"},
                               {"command", hookCommand(m_locations.appSupport / agent.hookScript, state)},
                               {"timeout", agent.hookTimeout}}})}};
    }

    // `settings` with our group appended to each of the agent's events.
    json withOurHooks(json settings, const Agent &agent = claude) const
    {
        for (const auto &event : agent.events)
            settings["hooks"][std::string(event.name)].push_back(ourGroup(agent, event.state));
        return settings;
    }

    void writeSettings(std::string_view text)
    {
        fs::create_directories(m_settings.parent_path());
        writeFile(m_settings, text);
    }

private Q_SLOTS:
    void init()
    {
        static int round = 0;
        const fs::path home = fs::path(m_root.path().toStdString()) / ("home-" + std::to_string(++round));
        fs::create_directories(home);
        m_locations = {home, home / ".local/share/lullwatch", fs::path(LULLWATCH_BINARY_DIR) / "lullwatch-hook"};
        m_settings = home / ".claude/settings.json";
        qunsetenv("COPILOT_HOME");
    }

    // Each agent with a settings file, from what a user may have there: our
    // hooks after the user's; the old file the backup; removal gives back
    // the user's settings and leaves none of our files.
    void everyAgent_data()
    {
        QTest::addColumn<QByteArray>("agent");
        QTest::addColumn<QString>("settingsFile");
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::addColumn<int>("connected"); // HookStatus::Kind
        const int installed = int(HookStatus::Kind::Installed);
        const QByteArray user = R"({"env":{"A":"1"},"hooks":{"Stop":[{"hooks":[{"type":"command","command":"hi"}]}]}})";
        QTest::newRow("claude, no file") << QByteArray("claude") << QStringLiteral(".claude/settings.json")
                                         << QByteArray() << installed;
        QTest::newRow("qwen, blank") << QByteArray("qwen") << QStringLiteral(".qwen/settings.json")
                                     << QByteArray(" \n\t\r\n") << installed;
        QTest::newRow("gemini") << QByteArray("gemini") << QStringLiteral(".gemini/settings.json") << user << installed;
        // Codex CLI runs the hooks once the user trusts them.
        QTest::newRow("codex") << QByteArray("codex") << QStringLiteral(".codex/hooks.json") << user
                               << int(HookStatus::Kind::AwaitingApproval);
    }

    void everyAgent()
    {
        QFETCH(QByteArray, agent);
        QFETCH(QString, settingsFile);
        QFETCH(QByteArray, content);
        QFETCH(int, connected);
        const Agent &row = *agentFromRaw(agent.toStdString());
        m_settings = m_locations.home / settingsFile.toStdString();
        if (!content.isNull())
            writeSettings(content.toStdString());
        const json original = content.trimmed().isEmpty() ? json::object() : json::parse(content.toStdString());

        HookInstaller installer(row, m_locations);
        installer.install();
        QCOMPARE(int(installer.status().kind()), connected);
        COMPARE_JSON(readJson(m_settings), withOurHooks(original, row));
        QCOMPARE(readFile(backup()), content.toStdString());
        installer.uninstall();
        QCOMPARE(installer.status(), HookStatus::notInstalled());
        COMPARE_JSON(readJson(m_settings), original);
        QCOMPARE(entries(m_locations.appSupport), 1); // the sessions folder
    }

    void settingsComeBackAsTheyWere()
    {
        writeSettings(userSettings);
        HookInstaller installer(claude, m_locations);
        installer.install();
        installer.install();
        COMPARE_JSON(readJson(m_settings), withOurHooks(json::parse(userSettings)));
        installer.uninstall();
        QCOMPARE(readFile(m_settings), std::string(userSettings));
    }

    // The user's own entries on an event we use, as install and remove leave
    // them. @ours@ stands for our entry, "@ours for our command, @path for
    // our script's path.
    void usersEntriesAreKept_data()
    {
        QTest::addColumn<QByteArray>("stop");
        QTest::addColumn<QByteArray>("afterRemove"); // empty: as it was
        const QByteArray audit = R"({"type":"command","command":"~/bin/my-audit.sh"})";
        QTest::newRow("our entry beside the user's") << "[{\"hooks\":[@ours@," + audit + "]}]"
                                                     << "[{\"hooks\":[" + audit + "]}]";
        QTest::newRow("with a matcher") << "[{\"matcher\":\"Bash\",\"hooks\":[" + audit + ",@ours@]}]"
                                        << "[{\"matcher\":\"Bash\",\"hooks\":[" + audit + "]}]";
        QTest::newRow("a script of the same name elsewhere")
            << QByteArray(R"([{"hooks":[{"type":"command","command":"/bin/sh '/home/me/bin/claude-hook.sh' idle"}]}])")
            << QByteArray();
        QTest::newRow("a longer path starting with ours")
            << QByteArray(R"([{"hooks":[{"type":"command","command":"/bin/sh @path.orig idle"}]}])") << QByteArray();
        QTest::newRow("a longer path ending with ours")
            << QByteArray(R"([{"hooks":[{"type":"command","command":"/bin/sh /old@path idle"}]}])") << QByteArray();
        QTest::newRow("elements that are not groups") << QByteArray(R"(["text",5,null,[1]])") << QByteArray();
        QTest::newRow("hooks that are not a list")
            << QByteArray(R"([{"hooks":"say hi"},{"hooks":{"command":"@ours"}}])") << QByteArray();
        QTest::newRow("a list with more than entries")
            << QByteArray(R"([{"hooks":[@ours@,"say hi"]}])") << QByteArray(R"([{"hooks":["say hi"]}])");
        QTest::newRow("an earlier release's entry")
            << QByteArray(R"([{"hooks":[{"type":"command","command":"python3 '@legacy' idle"}]}])") << QByteArray("[]");
    }

    void usersEntriesAreKept()
    {
        QFETCH(QByteArray, stop);
        QFETCH(QByteArray, afterRemove);
        const auto script = m_locations.appSupport / "claude-hook.sh";
        const auto expand = [&](QByteArray text) {
            text.replace("@ours@", QByteArray::fromStdString(ourGroup(claude, SessionState::Idle)["hooks"][0].dump()));
            text.replace("\"@ours",
                         QByteArray::fromStdString(json(hookCommand(script, SessionState::Idle)).dump()).chopped(1));
            text.replace("@path", QByteArray::fromStdString(script.string()));
            text.replace("@legacy",
                         QByteArray::fromStdString((m_locations.legacyFolder() / "claude-hook.py").string()));
            return json::parse(text.toStdString());
        };
        const json before = {{"hooks", {{"Stop", expand(stop)}}}};
        const json removed = afterRemove.isEmpty() ? before
            : afterRemove == "[]"                  ? json::object()
                                                   : json {{"hooks", {{"Stop", expand(afterRemove)}}}};
        writeSettings(before.dump());

        HookInstaller installer(claude, m_locations);
        installer.install();
        installer.install();
        COMPARE_JSON(readJson(m_settings), withOurHooks(removed));
        installer.uninstall();
        COMPARE_JSON(readJson(m_settings), removed);
    }

    // Settings that install cannot change are left as they are, and say why.
    void settingsLeftAlone_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("message"); // its start
        QTest::addColumn<bool>("removable"); // remove finds nothing of ours in it
        const QByteArray invalid = "~/.claude/settings.json isn't valid JSON";
        QTest::newRow("truncated") << QByteArray(R"({"hooks": {)") << invalid << false;
        QTest::newRow("top-level array") << QByteArray("[]") << invalid << false;
        QTest::newRow("invalid UTF-8") << QByteArray("{\"n\": \"\xff\xfe\"}") << invalid << false;
        QTest::newRow("comment") << QByteArray("{// note\n}") << invalid << false;
        QTest::newRow("number beyond a double") << QByteArray(R"({"n": 1E400})") << invalid << false;
        QTest::newRow("nested 513 deep") << "{\"a\":" + QByteArray(512, '[') + QByteArray(512, ']') + '}' << invalid
                                         << false;
        QTest::newRow("nested 100,000 deep")
            << "{\"a\":" + QByteArray(99999, '[') + QByteArray(99999, ']') + '}' << invalid << false;
        QTest::newRow("hooks not an object") << QByteArray(R"({"hooks":["say hi"]})")
                                             << QByteArray(R"(~/.claude/settings.json has "hooks" in a form)") << true;
        QTest::newRow("an event not a list") << QByteArray(R"({"hooks":{"Stop":{"command":"say hi"}}})")
                                             << QByteArray(R"(~/.claude/settings.json has the "Stop" hooks)") << true;
    }

    void settingsLeftAlone()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, message);
        QFETCH(bool, removable);
        writeSettings(content.toStdString());
        writeFile(backup(), "older backup");
        HookInstaller installer(claude, m_locations);
        installer.install();
        const auto status = installer.status();
        QVERIFY2(status.kind() == HookStatus::Kind::Failed && status.message().starts_with(message.toStdString()),
                 status.message().c_str());
        QCOMPARE(readFile(m_settings), content.toStdString());
        QCOMPARE(readFile(backup()), std::string("older backup"));
        installer.uninstall();
        QCOMPARE(installer.status(), removable ? HookStatus::notInstalled() : status);
    }

    // A settings file kept elsewhere through a link, and private to its user.
    void linkedPrivateSettings()
    {
        const auto dotfiles = m_locations.home / "dotfiles";
        fs::create_directories(dotfiles);
        writeFile(dotfiles / "claude.json", R"({"env":{"API_KEY":"secret"}})");
        fs::permissions(dotfiles / "claude.json", fs::perms::owner_read | fs::perms::owner_write);
        fs::create_directories(m_settings.parent_path());
        fs::create_symlink("../dotfiles/claude.json", m_settings);

        HookInstaller installer(claude, m_locations);
        installer.install();
        QVERIFY(fs::is_symlink(m_settings));
        COMPARE_JSON(readJson(dotfiles / "claude.json"), withOurHooks({{"env", {{"API_KEY", "secret"}}}}));
        QCOMPARE(modeOf(dotfiles / "claude.json"), mode_t(0600));
        QVERIFY(!fs::is_symlink(backup()));
        QCOMPARE(modeOf(backup()), mode_t(0600));
        QCOMPARE(readFile(backup()), std::string(R"({"env":{"API_KEY":"secret"}})"));
    }

    // A settings file the user cannot write is never replaced, even though
    // its folder is writable.
    void readOnlySettingsStay()
    {
        const std::string original = R"({"theme":"dark"})";
        writeSettings(original);
        fs::permissions(m_settings, fs::perms::owner_read);
        m_locations.recorderSource = m_locations.home / "recorder";
        writeFile(m_locations.recorderSource, "#!/bin/sh\n");
        const uid_t nobody = 65534; // root may write anything: the home is nobody's, who installs
        fs::permissions(m_root.path().toStdString(), fs::perms::others_exec, fs::perm_options::add);
        for (const auto &entry : fs::recursive_directory_iterator(m_locations.home))
            QVERIFY(::geteuid() != 0 || ::lchown(entry.path().c_str(), nobody, nobody) == 0);
        QVERIFY(::geteuid() != 0 || ::chown(m_locations.home.c_str(), nobody, nobody) == 0);
        QCOMPARE(inChild([&] {
                     if (::geteuid() == 0
                         && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
                         return 2;
                     HookInstaller installer(claude, m_locations);
                     installer.install();
                     return installer.status().message().starts_with(m_settings.string() + " is read-only") ? 0 : 1;
                 }),
                 0);
        QCOMPARE(readFile(m_settings), original);
        QVERIFY(!fs::exists(backup()));
    }

    // What killed installs left beside the files they write goes at the next
    // install, once it is old enough to belong to no running one.
    void staleTemporariesGo()
    {
        writeSettings("{}");
        const auto folder = m_settings.parent_path();
        const std::pair<fs::path, bool> files[] = {
            {folder / ".settings.json.lullwatch-Ab12Cd", false},
            {folder / ".settings.json.lullwatch-young1", true}, // a running install's
            {folder / ".settings.json.lullwatch-toolong", true}, // the user's own
            {folder / ".other.json.lullwatch-Ab12Cd", true},
        };
        for (const auto &[path, stays] : files) {
            writeFile(path, "partial");
            if (path.filename() != ".settings.json.lullwatch-young1")
                fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(11));
        }
        const auto link = folder / ".settings.json.lullwatch-Link12";
        fs::create_symlink(folder / ".other.json.lullwatch-Ab12Cd", link);
        const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
        QVERIFY(::utimensat(AT_FDCWD, link.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0);
        HookInstaller(claude, m_locations).install();
        for (const auto &[path, stays] : files)
            QVERIFY2(fs::exists(path) == stays, path.c_str());
        QVERIFY(fs::is_symlink(link));
    }

    void refresh_data()
    {
        QTest::addColumn<int>("events"); // the first ones of ours in the settings
        QTest::addColumn<QByteArray>("stamp"); // @: the current version, <: the one before; null: no file
        QTest::addColumn<int>("expected"); // HookStatus::Kind
        const int installed = int(HookStatus::Kind::Installed), outdated = int(HookStatus::Kind::Outdated);
        QTest::newRow("all, current") << 5 << QByteArray("  @\n") << installed;
        QTest::newRow("all, an earlier version") << 5 << QByteArray("<") << outdated;
        QTest::newRow("all, stamp with letters") << 5 << QByteArray("@a") << outdated;
        QTest::newRow("all, no stamp") << 5 << QByteArray() << outdated;
        QTest::newRow("four of five") << 4 << QByteArray("@") << outdated;
        QTest::newRow("none") << 0 << QByteArray("@") << int(HookStatus::Kind::NotInstalled);
    }

    void refresh()
    {
        QFETCH(int, events);
        QFETCH(QByteArray, stamp);
        QFETCH(int, expected);
        json hooks = json::object();
        for (int i = 0; i < events; ++i)
            hooks[std::string(claude.events[i].name)] = json::array({ourGroup(claude, claude.events[i].state)});
        writeSettings(json {{"hooks", hooks}}.dump());
        fs::create_directories(m_locations.appSupport);
        if (!stamp.isNull())
            writeFile(m_locations.appSupport / claude.versionStamp,
                      stamp.replace('@', QByteArray::number(claude.hookVersion))
                          .replace('<', QByteArray::number(claude.hookVersion - 1)));

        HookInstaller installer(claude, m_locations);
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
        QTest::addColumn<QByteArray>("config"); // null: no file
        QTest::addColumn<bool>("userStopFirst"); // a group of the user's before ours on Stop
        QTest::addColumn<bool>("trusted");
        QTest::newRow("no config") << QByteArray() << false << false;
        QTest::newRow("every handler trusted")
            << QByteArray("model = \"o4\"\n[projects.\"/w\"]\n@records@") << false << true;
        QTest::newRow("keys follow the user's group") << QByteArray("@records@") << true << true;
        QTest::newRow("comments, blank lines, arrays of tables")
            << QByteArray("# mine\n[[mcp]]\nname = \"x\"\n\n[hooks.state] # the reviews\n@records@\n# end\n") << false
            << true;
        QTest::newRow("one switched off")
            << QByteArray("@records@\n[hooks.state.@key@]\nenabled = false\n") << false << false;
        QTest::newRow("inline tables") << QByteArray("@inline@") << false << true;
        QTest::newRow("one hash of an earlier command") << QByteArray("@stale@") << false << false;
    }

    void codexTrust()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, userStopFirst);
        QFETCH(bool, trusted);
        m_settings = m_locations.home / ".codex/hooks.json";
        if (userStopFirst)
            writeSettings(R"({"hooks":{"Stop":[{"hooks":[{"type":"command","command":"say done"}]}]}})");
        HookInstaller installer(*agentFromRaw("codex"), m_locations);
        installer.install();

        QProcess tool;
        tool.start(QStringLiteral("python3"),
                   {QStringLiteral(LULLWATCH_TEST_SOURCE_DIR "/tools/codex_trust.py"),
                    QString::fromStdString(m_settings.string()), QStringLiteral("-")});
        QVERIFY(tool.waitForFinished());
        const QByteArray records = tool.readAllStandardOutput();
        QCOMPARE(records.count("trusted_hash"), qsizetype(userStopFirst ? 7 : 6));
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
        if (!config.isNull())
            writeFile(m_settings.parent_path() / "config.toml",
                      config.replace("@records@", records)
                          .replace("@key@", firstKey)
                          .replace("@inline@", inline_)
                          .replace("@stale@", stale));
        installer.refresh();
        QCOMPARE(installer.status(), trusted ? HookStatus::installed() : HookStatus::awaitingApproval());
    }

    void fileSystemFailures_data()
    {
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QString>("messageStart");
        QTest::newRow(".claude is a file") << QStringLiteral(".claude") << QStringLiteral("Couldn't read ");
        QTest::newRow("settings.json is a folder")
            << QStringLiteral(".claude/settings.json") << QStringLiteral("Couldn't read ");
        QTest::newRow("data folder under a file") << QStringLiteral(".local") << QStringLiteral("Couldn't write ");
    }

    void fileSystemFailures()
    {
        QFETCH(QString, broken);
        QFETCH(QString, messageStart);
        const auto path = m_locations.home / broken.toStdString();
        if (broken.endsWith(u".json"))
            fs::create_directories(path);
        else
            writeFile(path, "a file where a folder belongs");
        HookInstaller installer(claude, m_locations);
        installer.install();
        QCOMPARE(installer.status().kind(), HookStatus::Kind::Failed);
        QVERIFY2(installer.status().message().starts_with(messageStart.toStdString()),
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
        QTest::newRow("installed") << QStringList {packaged} << packaged;
        QTest::newRow("both: beside wins") << QStringList {beside, packaged} << beside;
        QTest::newRow("a folder beside") << QStringList {beside + u"/inside", packaged} << packaged;
        QTest::newRow("in another tree's libexec")
            << QStringList {QStringLiteral("libexec/lullwatch/lullwatch-hook")} << QString();
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

        HookInstaller installer(claude, m_locations);
        installer.install();
        if (copied.isEmpty()) {
            const std::string expected
                = "lullwatch-hook is missing beside the application (" + (tree / "usr/bin/lullwatch-hook").string();
            QVERIFY2(installer.status().message().starts_with(expected), installer.status().message().c_str());
            QVERIFY(!fs::exists(m_settings));
        } else {
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
        HookInstaller installer(claude, m_locations);
        installer.install();
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::installed());

        const json settings = readJson(home / ".claude/settings.json");
        const auto command = settings["hooks"]["UserPromptSubmit"][0]["hooks"][0]["command"].get<std::string>();
        QProcess hook;
        hook.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromStdString(command)});
        hook.write(R"({"session_id":"quoted","hook_event_name":"UserPromptSubmit","cwd":"/tmp"})");
        hook.closeWriteChannel();
        QVERIFY(hook.waitForFinished());
        COMPARE_JSON(readJson(m_locations.sessions() / "quoted.json")["state"], json("working"));
    }

    void legacyFolderKeepsWhatIsNotOurs()
    {
        const auto legacy = m_locations.legacyFolder();
        fs::create_directories(legacy);
        for (const char *name : {"claude-hook.sh", "claude-hook.py", "notes.txt"})
            writeFile(legacy / name, "old");
        HookInstaller installer(claude, m_locations);
        installer.install();
        QCOMPARE(entries(legacy), 1);
        QVERIFY(fs::exists(legacy / "notes.txt"));

        fs::remove(legacy / "notes.txt");
        writeFile(legacy / "claude-hook.sh", "old");
        installer.uninstall();
        QVERIFY(!fs::exists(legacy));
    }

    // The recorder stays while a script needs it; the JSON tool of earlier
    // releases goes once no script of theirs is left, and not before.
    void sharedToolsStayWhileAScriptNeedsThem()
    {
        HookInstaller claudeInstaller(claude, m_locations);
        CopilotHookInstaller copilot(agentFor(SessionSource::Copilot), m_locations);
        fs::create_directories(m_locations.appSupport);
        for (const char *file : {"claude-hook.sh", "hook-version", "copilot-hook.sh", "copilot-hook-version"})
            writeFile(m_locations.appSupport / file, "1");
        writeFile(m_locations.legacyJsonTool(), "tool");
        claudeInstaller.install();
        QVERIFY(fs::exists(m_locations.legacyJsonTool())); // the old Copilot script still runs it
        copilot.install();
        QVERIFY(!fs::exists(m_locations.legacyJsonTool()));

        claudeInstaller.uninstall();
        QVERIFY(fs::exists(m_locations.installedRecorder()));
        copilot.uninstall();
        QVERIFY(!fs::exists(m_locations.installedRecorder()));
    }

    // Copilot CLI reads hooks files in the hooks folder of $COPILOT_HOME when
    // that is set and not empty, else of ~/.copilot.
    void copilotHooksFile_data()
    {
        QTest::addColumn<QString>("variable"); // null: unset
        QTest::addColumn<QString>("expectedFolder");
        QTest::newRow("unset") << QString() << QStringLiteral(".copilot");
        QTest::newRow("empty") << QStringLiteral("") << QStringLiteral(".copilot");
        QTest::newRow("a folder to create") << QStringLiteral("new/deeper") << QStringLiteral("new/deeper");
    }

    void copilotHooksFile()
    {
        QFETCH(QString, variable);
        QFETCH(QString, expectedFolder);
        if (!variable.isNull())
            qputenv("COPILOT_HOME",
                    variable.isEmpty()
                        ? QByteArray("")
                        : QByteArray::fromStdString((m_locations.home / variable.toStdString()).string()));
        CopilotHookInstaller installer(agentFor(SessionSource::Copilot), m_locations);
        installer.install();
        QCOMPARE(installer.status(), HookStatus::installed());
        const auto script = m_locations.appSupport / "copilot-hook.sh";
        const auto entry = [&](SessionState state) {
            return json::array({{{"type", "command"}, {"bash", hookCommand(script, state)}, {"timeoutSec", 5}}});
        };
        using enum SessionState;
        COMPARE_JSON(readJson(m_locations.home / expectedFolder.toStdString() / "hooks/lullwatch.json"),
                     (json {{"version", 1},
                            {"hooks",
                             {{"sessionStart", entry(Idle)},
                              {"userPromptSubmitted", entry(Working)},
                              {"preToolUse", entry(Working)},
                              {"notification", entry(Waiting)},
                              {"agentStop", entry(Idle)},
                              {"sessionEnd", entry(Ended)}}}}));
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::installed());
    }

    void copilotRefresh()
    {
        CopilotHookInstaller installer(agentFor(SessionSource::Copilot), m_locations);
        installer.install();
        const auto file = installer.hooksFilePath();
        writeFile(file.parent_path() / "other-tool.json", "{}");
        writeFile(m_locations.appSupport / "copilot-hook-version", "1");
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::outdated());
        auto edited = readJson(file);
        edited["hooks"].erase("preToolUse");
        writeFile(file, edited.dump());
        installer.refresh();
        QCOMPARE(installer.status(), HookStatus::notInstalled());

        installer.uninstall();
        QVERIFY(!fs::exists(file));
        QVERIFY(fs::exists(file.parent_path() / "other-tool.json"));
    }

    // An install killed at any moment leaves the old settings or the new,
    // never a part of either. It is killed by the file size limit, at the
    // write that passes it.
    void killedInstallLeavesOldOrNew_data()
    {
        QTest::addColumn<QByteArray>("killedIn"); // empty: not killed
        QTest::newRow("writing the backup") << QByteArray("backup");
        QTest::newRow("writing the settings") << QByteArray("settings");
        QTest::newRow("none") << QByteArray();
    }

    void killedInstallLeavesOldOrNew()
    {
        QFETCH(QByteArray, killedIn);
        m_locations.recorderSource = m_locations.home / "recorder";
        writeFile(m_locations.recorderSource, "#!/bin/sh\n");
        const std::string original = json {{"theme", "light"}, {"padding", std::string(20000, 'x')}}.dump(2);
        writeSettings(original);
        HookInstaller(claude, m_locations).install();
        const std::string installed = readFile(m_settings);
        writeSettings(original);

        const rlim_t limit = killedIn == "backup" ? original.size() - 1
            : killedIn == "settings"              ? installed.size() - 1
                                                  : installed.size();
        const int status = inChild([&] {
            const rlimit fileSize {limit, limit};
            ::signal(SIGXFSZ, [](int) { ::raise(SIGKILL); });
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
            HookInstaller(claude, m_locations).install();
            return 0;
        });
        QCOMPARE(bool(WIFSIGNALED(status)), !killedIn.isEmpty());
        QCOMPARE(readFile(m_settings), killedIn.isEmpty() ? installed : original);
    }
};

QTEST_GUILESS_MAIN(TestHookInstaller)
#include "tst_hookinstaller.moc"
