#include "agents/Agents.h"
#include "hooks/CopilotHookInstaller.h"
#include "hooks/HookInstaller.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
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

    json ourGroup(SessionState state) const
    {
        return {{"hooks",
                 json::array({{{"type", "command"},
                               {"command", hookCommand(m_locations.appSupport / claude.hookScript, state)},
                               {"timeout", claude.hookTimeout}}})}};
    }

    json withOurHooks(json settings) const
    {
        for (const auto &event : claude.events)
            settings["hooks"][std::string(event.name)].push_back(ourGroup(event.state));
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
        // A quote in its name: commands must still run and be known as ours.
        const fs::path home = fs::path(m_root.path().toStdString()) / ("it's home-" + std::to_string(++round));
        fs::create_directories(home);
        m_locations = {home, home / ".local/share/lullwatch", home / "recorder"};
        writeFile(m_locations.recorderSource, "#!/bin/sh\n");
        m_settings = home / ".claude/settings.json";
        qunsetenv("COPILOT_HOME");
    }

    // Our hooks after the user's, the old file the backup; removal gives back the user's bytes. The settings
    // are kept elsewhere through a link, and private to their user.
    void roundTrip()
    {
        const auto target = m_locations.home / "dotfiles/claude.json";
        fs::create_directories(target.parent_path());
        fs::create_directories(m_settings.parent_path());
        fs::create_symlink("../dotfiles/claude.json", m_settings);
        for (const std::string &original : {std::string(" \n\t\r\n"), std::string(userSettings)}) {
            writeFile(target, original);
            fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
            const bool blank = original.find('{') == std::string::npos;
            HookInstaller installer(claude, m_locations);
            installer.install();
            QCOMPARE(installer.status(), HookStatus::installed());
            COMPARE_JSON(readJson(target), withOurHooks(blank ? json::object() : json::parse(original)));
            QCOMPARE(fs::status(target).permissions(), fs::perms(0600));
            QCOMPARE(fs::status(backup()).permissions(), fs::perms(0600));
            QCOMPARE(readFile(backup()), original);
            installer.uninstall();
            QCOMPARE(installer.status(), HookStatus::notInstalled());
            QCOMPARE(blank ? readJson(target).dump() : readFile(target), blank ? "{}" : original);
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
            text.replace("@ours@", QByteArray::fromStdString(ourGroup(SessionState::Idle)["hooks"][0].dump()))
                .replace("@path", QByteArray::fromStdString((m_locations.appSupport / "claude-hook.sh").string()))
                .replace("@legacy",
                         QByteArray::fromStdString((m_locations.legacyFolder() / "claude-hook.py").string()));
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

    // A settings file the user cannot write is never replaced, though its folder is writable.
    void readOnlySettingsStay()
    {
        const std::string original = R"({"theme":"dark"})";
        writeSettings(original);
        fs::permissions(m_settings, fs::perms::owner_read);
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

    // Outdated till every event has our hooks and the stamp names this version.
    void refresh()
    {
        for (const auto &[without, age] : {std::pair(0, 1), {1, 0}}) { // events without ours, the stamp's age
            json settings = withOurHooks(json::object());
            settings["hooks"].erase(settings["hooks"].begin(), std::next(settings["hooks"].begin(), without));
            writeSettings(settings.dump());
            fs::create_directories(m_locations.appSupport);
            writeFile(m_locations.appSupport / claude.versionStamp, std::to_string(claude.hookVersion - age));
            HookInstaller installer(claude, m_locations);
            installer.refresh();
            QCOMPARE(installer.status(), HookStatus::outdated());
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

    // The hook command runs; only our files go from the earlier releases' folder; the recorder stays while needed.
    void connectedAgents()
    {
        const auto legacy = m_locations.legacyFolder();
        fs::create_directories(legacy);
        for (const char *name : {"claude-hook.sh", "claude-hook.py", "notes.txt"})
            writeFile(legacy / name, "old");
        m_locations.recorderSource = fs::path(LULLWATCH_BINARY_DIR) / "lullwatch-hook";
        HookInstaller claudeInstaller(claude, m_locations);
        CopilotHookInstaller copilot(agentFor(SessionSource::Copilot), m_locations);
        claudeInstaller.install();
        copilot.install();
        QCOMPARE(std::distance(fs::directory_iterator(legacy), {}), 1);
        FILE *hook = ::popen(
            readJson(m_settings)["hooks"]["UserPromptSubmit"][0]["hooks"][0]["command"].get<std::string>().c_str(),
            "w");
        std::fputs(R"({"session_id":"quoted","hook_event_name":"UserPromptSubmit","cwd":"/tmp"})", hook);
        ::pclose(hook);
        COMPARE_JSON(readJson(m_locations.sessions() / "quoted.json")["state"], "working");
        const auto copilotHooks = m_locations.home / ".copilot/hooks";
        writeFile(copilotHooks / "other-tool.json", "{}");
        HookInstaller(*agentFromRaw("gemini"), m_locations).uninstall(); // never connected: nothing made
        QVERIFY(!fs::exists(m_locations.home / ".gemini"));
        claudeInstaller.uninstall();
        QVERIFY(fs::exists(m_locations.installedRecorder()));
        copilot.uninstall();
        QVERIFY(!fs::exists(m_locations.installedRecorder()));
        QVERIFY(!fs::exists(copilotHooks / "lullwatch.json") && fs::exists(copilotHooks / "other-tool.json"));
    }

    // Killed (by the file size limit) writing the backup, the settings or not at all: old or new. What they
    // left goes, once too old to belong to a running install; the user's own files stay.
    void killedInstallLeavesOldOrNew()
    {
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
        const auto folder = m_settings.parent_path();
        for (const char *name : {".settings.json.lullwatch-toolong", ".other.json.lullwatch-Ab12Cd"})
            writeFile(folder / name, "");
        for (const auto &entry : fs::directory_iterator(folder))
            fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::minutes(11));
        writeFile(folder / ".settings.json.lullwatch-young1", "partial"); // a running install's
        writeSettings(original);
        HookInstaller(claude, m_locations).install();
        QCOMPARE(std::distance(fs::directory_iterator(folder), {}), 5); // those three, the settings and their backup
    }
};

QTEST_GUILESS_MAIN(TestHookInstaller)
#include "tst_hookinstaller.moc"
