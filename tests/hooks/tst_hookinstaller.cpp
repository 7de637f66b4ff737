#include "agents/Agents.h"
#include "hooks/CopilotHookInstaller.h"
#include "hooks/HookInstaller.h"
#include "support/TestFiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstring>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lullwatch;
using namespace lullwatch::test;
using nlohmann::json;
namespace fs = std::filesystem;

#define COMPARE_JSON(actual, expected) QCOMPARE(json(actual).dump(), json(expected).dump())

namespace {

const Agent &claude = agentFor(SessionSource::Claude);

json readJson(const fs::path &path)
{
    return json::parse(readFile(path), nullptr, false);
}

// Written as we write, so that install and remove give back these very bytes.
constexpr std::string_view userSettings = R"({
  "numbers": [
    123456789012345678901234567890,
    1.50,
    -0.0000000000000000000001
  ],
  "text": "a/b 日本 🎉 \u0001\t)"
                                          "\\\"\\\\\"\n}\n"; // the escapes spelled apart: moc misreads them raw

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

    void smallRecorder()
    {
        m_locations.recorderSource = m_locations.home / "recorder";
        writeFile(m_locations.recorderSource, "#!/bin/sh\n");
    }

private Q_SLOTS:
    void init()
    {
        static int round = 0;
        // A quote in its name: commands must still run and be known as ours.
        const fs::path home = fs::path(m_root.path().toStdString()) / ("it's home-" + std::to_string(++round));
        fs::create_directories(home);
        m_locations = {home, home / ".local/share/lullwatch", fs::path(LULLWATCH_BINARY_DIR) / "lullwatch-hook"};
        m_settings = home / ".claude/settings.json";
        qunsetenv("COPILOT_HOME");
    }

    // Our hooks after the user's, the old file the backup; removal leaves the user's bytes alone.
    void everyAgent()
    {
        const std::string user(userSettings);
        const std::tuple<std::string, const char *, HookStatus> cases[] = {
            {".claude/settings.json", nullptr, HookStatus::installed()},
            {".qwen/settings.json", " \n\t\r\n", HookStatus::installed()},
            {".gemini/settings.json", user.c_str(), HookStatus::installed()},
            {".codex/hooks.json", user.c_str(), HookStatus::awaitingApproval()}, // till the user trusts them
        };
        for (const auto &[path, content, connected] : cases) {
            const Agent &agent = *agentFromRaw(path.substr(1, path.find('/') - 1));
            m_settings = m_locations.home / path;
            if (content)
                writeSettings(content);
            const std::string original = content ? content : "";
            const bool blank = original.find('{') == std::string::npos;
            HookInstaller installer(agent, m_locations);
            installer.install();
            QCOMPARE(installer.status(), connected);
            COMPARE_JSON(readJson(m_settings), withOurHooks(blank ? json::object() : json::parse(original), agent));
            QCOMPARE(readFile(backup()), original);
            installer.uninstall();
            QCOMPARE(installer.status(), HookStatus::notInstalled());
            QCOMPARE(blank ? readJson(m_settings).dump() : readFile(m_settings), blank ? "{}" : original);
            QCOMPARE(std::distance(fs::directory_iterator(m_locations.appSupport), {}), 1); // the sessions folder
        }
    }

    // The user's entries beside ours (@ours@, script @path) after install and remove; null: as they were.
    void usersEntriesAreKept()
    {
        const QByteArray audit = R"({"type":"command","command":"~/bin/my-audit.sh"},"say hi")";
        const std::pair<QByteArray, QByteArray> cases[] = {
            {R"([{"matcher":"Bash","hooks":[@ours@,)" + audit + "]}]",
             R"([{"matcher":"Bash","hooks":[)" + audit + "]}]"},
            {R"([{"hooks":[{"command":"/bin/sh '/home/me/bin/claude-hook.sh' idle"},)"
             R"({"command":"/bin/sh @path.orig idle"},{"command":"/bin/sh /old@path idle"}]}])",
             QByteArray()},
            {R"(["text",5,null,[1],{"hooks":"say hi"},{"hooks":@ours@}])", QByteArray()},
            {R"([{"hooks":[{"type":"command","command":"python3 '@legacy' idle"}]}])", ""}, // an earlier release's
        };
        const auto expand = [&](QByteArray text) {
            const auto legacy = m_locations.legacyFolder() / "claude-hook.py";
            text.replace("@ours@", QByteArray::fromStdString(ourGroup(claude, SessionState::Idle)["hooks"][0].dump()))
                .replace("@path", QByteArray::fromStdString((m_locations.appSupport / "claude-hook.sh").string()))
                .replace("@legacy", QByteArray::fromStdString(legacy.string()));
            return text.isEmpty() ? json::object() : json {{"hooks", {{"Stop", json::parse(text.toStdString())}}}};
        };
        for (const auto &[stop, afterRemove] : cases) {
            const json before = expand(stop), removed = afterRemove.isNull() ? before : expand(afterRemove);
            writeSettings(before.dump());
            HookInstaller installer(claude, m_locations);
            installer.install();
            installer.install();
            COMPARE_JSON(readJson(m_settings), withOurHooks(removed));
            installer.uninstall();
            COMPARE_JSON(readJson(m_settings), removed);
        }
    }

    // Settings that install cannot change are left as they are, and say why.
    void settingsLeftAlone()
    {
        const char *invalid = "~/.claude/settings.json isn't valid JSON";
        const std::pair<QByteArray, const char *> cases[] = {
            {R"({"hooks": {)", invalid},
            {"[]", invalid},
            {"{\"n\": \"\xff\xfe\"}", invalid},
            {R"({"n": 1E400})", invalid},
            {"{\"a\":" + QByteArray(512, '[') + QByteArray(512, ']') + '}', invalid},
            {R"({"hooks":["say hi"]})", R"(~/.claude/settings.json has "hooks" in a form)"},
            {R"({"hooks":{"Stop":{"command":"x"}}})", R"(~/.claude/settings.json has the "Stop" hooks)"},
            {QByteArray(), "Couldn't read "}, // a folder in its place
        };
        for (const auto &[content, message] : cases) {
            if (content.isNull() && fs::remove(m_settings))
                fs::create_directories(m_settings);
            else
                writeSettings(content.toStdString());
            writeFile(backup(), "older backup");
            HookInstaller installer(claude, m_locations);
            installer.install();
            const auto status = installer.status();
            QVERIFY2(status.kind() == HookStatus::Kind::Failed && status.message().starts_with(message),
                     status.message().c_str());
            installer.uninstall(); // succeeds only where it finds nothing of ours to remove
            QCOMPARE(installer.status(), std::strstr(message, " has ") ? HookStatus::notInstalled() : status);
            QCOMPARE(fs::is_directory(m_settings) ? "" : readFile(m_settings), content.toStdString());
            QCOMPARE(readFile(backup()), std::string("older backup"));
        }
    }

    // A settings file kept elsewhere through a link, and private to its user.
    void linkedPrivateSettings()
    {
        const auto target = m_locations.home / "dotfiles/claude.json";
        const std::string original = R"({"env":{"API_KEY":"secret"}})";
        fs::create_directories(target.parent_path());
        writeFile(target, original);
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
        fs::create_directories(m_settings.parent_path());
        fs::create_symlink("../dotfiles/claude.json", m_settings);

        HookInstaller(claude, m_locations).install();
        COMPARE_JSON(readJson(target), withOurHooks(json::parse(original)));
        QCOMPARE(fs::status(target).permissions(), fs::perms(0600));
        QCOMPARE(fs::status(backup()).permissions(), fs::perms(0600));
    }

    // A settings file the user cannot write is never replaced, though its folder is writable.
    void readOnlySettingsStay()
    {
        const std::string original = R"({"theme":"dark"})";
        writeSettings(original);
        fs::permissions(m_settings, fs::perms::owner_read);
        smallRecorder();
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

    // What killed installs left goes, once too old to belong to a running one.
    void staleTemporariesGo()
    {
        writeSettings("{}");
        const auto folder = m_settings.parent_path();
        const std::tuple<const char *, int, bool> files[] = {
            // minutes old, kept
            {".settings.json.lullwatch-Ab12Cd", 11, false},
            {".settings.json.lullwatch-young1", 0, true}, // a running install's
            {".settings.json.lullwatch-toolong", 11, true}, // the user's own
            {".other.json.lullwatch-Ab12Cd", 11, true},
        };
        for (const auto &[name, age, stays] : files) {
            writeFile(folder / name, "partial");
            fs::last_write_time(folder / name, fs::file_time_type::clock::now() - std::chrono::minutes(age));
        }
        HookInstaller(claude, m_locations).install();
        for (const auto &[name, age, stays] : files)
            QVERIFY2(fs::exists(folder / name) == stays, name);
    }

    // Connected once every event has our hooks and the stamp names this version.
    void refresh()
    {
        const int current = claude.hookVersion;
        const std::tuple<bool, std::string, HookStatus> cases[] = {
            {true, "  " + std::to_string(current) + "\n", HookStatus::installed()},
            {true, std::to_string(current - 1), HookStatus::outdated()},
            {false, std::to_string(current), HookStatus::outdated()}, // one event without ours
        };
        for (const auto &[everyEvent, stamp, expected] : cases) {
            json settings = withOurHooks(json::object());
            if (!everyEvent)
                settings["hooks"].erase(settings["hooks"].begin());
            writeSettings(settings.dump());
            fs::create_directories(m_locations.appSupport);
            writeFile(m_locations.appSupport / claude.versionStamp, stamp);
            HookInstaller installer(claude, m_locations);
            installer.refresh();
            QCOMPARE(installer.status(), expected);
        }
    }

    // The recorder beside the application (a build) before the package's in libexec.
    void recorderSource()
    {
        const auto bin = m_locations.home / "usr/bin",
                   packaged = m_locations.home / "usr/libexec/lullwatch/lullwatch-hook";
        fs::create_directories(packaged.parent_path());
        fs::create_directories(bin);
        writeFile(packaged, "");
        QCOMPARE(HookLocations::recorderFor(bin), packaged);
        writeFile(bin / "lullwatch-hook", "");
        QCOMPARE(HookLocations::recorderFor(bin), bin / "lullwatch-hook");
    }

    void hookCommandRuns()
    {
        HookInstaller(claude, m_locations).install();
        QProcess hook;
        hook.start(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"),
             QString::fromStdString(readJson(m_settings)["hooks"]["UserPromptSubmit"][0]["hooks"][0]["command"])});
        hook.write(R"({"session_id":"quoted","hook_event_name":"UserPromptSubmit","cwd":"/tmp"})");
        hook.closeWriteChannel();
        QVERIFY(hook.waitForFinished());
        COMPARE_JSON(readJson(m_locations.sessions() / "quoted.json")["state"], "working");
    }

    // Only our files go from the earlier releases' folder; the recorder stays while needed.
    void othersFilesStay()
    {
        const auto legacy = m_locations.legacyFolder();
        fs::create_directories(legacy);
        for (const char *name : {"claude-hook.sh", "claude-hook.py", "notes.txt"})
            writeFile(legacy / name, "old");
        HookInstaller claudeInstaller(claude, m_locations);
        CopilotHookInstaller copilot(agentFor(SessionSource::Copilot), m_locations);
        claudeInstaller.install();
        copilot.install();
        QCOMPARE(std::distance(fs::directory_iterator(legacy), {}), 1);
        const auto copilotHooks = m_locations.home / ".copilot/hooks";
        writeFile(copilotHooks / "other-tool.json", "{}");
        HookInstaller(*agentFromRaw("gemini"), m_locations).uninstall(); // never connected: nothing made
        QVERIFY(!fs::exists(m_locations.home / ".gemini"));
        fs::remove(legacy / "notes.txt");
        writeFile(legacy / "claude-hook.sh", "old");
        claudeInstaller.uninstall();
        QVERIFY(!fs::exists(legacy));
        QVERIFY(fs::exists(m_locations.installedRecorder()));
        copilot.uninstall();
        QVERIFY(!fs::exists(m_locations.installedRecorder()));
        QVERIFY(!fs::exists(copilotHooks / "lullwatch.json") && fs::exists(copilotHooks / "other-tool.json"));
    }

    // Killed (by the file size limit) writing the backup, the settings or not at all: old or new.
    void killedInstallLeavesOldOrNew()
    {
        smallRecorder();
        const std::string original = json {{"theme", "light"}, {"padding", std::string(20000, 'x')}}.dump(2);
        writeSettings(original);
        HookInstaller(claude, m_locations).install();
        const std::string installed = readFile(m_settings);
        for (const rlim_t limit : {original.size() - 1, installed.size() - 1, installed.size()}) {
            writeSettings(original);
            const int status = inChild([&] {
                const rlimit fileSize {limit, limit};
                ::signal(SIGXFSZ, [](int) { ::raise(SIGKILL); });
                ::setrlimit(RLIMIT_FSIZE, &fileSize);
                HookInstaller(claude, m_locations).install();
                return 0;
            });
            const bool killed = limit < installed.size();
            QCOMPARE(bool(WIFSIGNALED(status)), killed);
            QCOMPARE(readFile(m_settings), killed ? original : installed);
        }
    }
};

QTEST_GUILESS_MAIN(TestHookInstaller)
#include "tst_hookinstaller.moc"
