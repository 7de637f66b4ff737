#include "agents/Agents.h"
#include "hooks/HookScripts.h"
#include "sessions/SessionRecord.h"
#include "sessions/SessionScanner.h"
#include "support/FakeClock.h"
#include "support/FakeProcessProbe.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <fnmatch.h>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace lullwatch;
using namespace lullwatch::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string recorder = LULLWATCH_BINARY_DIR "/lullwatch-hook";

#if defined(__SANITIZE_ADDRESS__)
const rlim_t recorderMemory = RLIM_INFINITY; // the sanitizer's shadow memory takes terabytes of address space
#else
// Far below the largest payload: a recorder that held it whole could not run.
const rlim_t recorderMemory = rlim_t(64) << 20;
#endif

// `levels` shells between the caller and the command, each a process of its
// own; the innermost writes its pid (the command's direct parent) to a file.
constexpr std::string_view nestScript = R"(n=$1; pidfile=$2; shift 2
if [ "$n" -gt 1 ]; then sh "$0" $((n - 1)) "$pidfile" "$@"; exit; fi
echo $$ > "$pidfile"
"$@"; exit
)";

// Starts `command` (its words as bytes, not text) with standard input from
// `input` and standard output into `output`, its address space bounded.
pid_t start(const std::vector<std::string> &command, const std::string &input, const std::string &output)
{
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    const rlimit limit {recorderMemory, recorderMemory};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open(input.c_str(), O_RDONLY),
                  out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = ::open("/dev/null", O_WRONLY); // a usage message is fine
        if (in >= 0 && out >= 0 && null >= 0 && ::dup2(in, 0) == 0 && ::dup2(out, 1) == 1 && ::dup2(null, 2) == 2
            && ::setrlimit(RLIMIT_AS, &limit) == 0)
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Empty when the run ended as every run must: exit status 0, nothing on stdout.
QString finished(pid_t pid, const std::string &output)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    const std::string out = readFile(output);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && out.empty())
        return {};
    return QStringLiteral("wait status %1, stdout \"%2\"").arg(status).arg(QString::fromStdString(out));
}

// The first process from `pid` up, 30 at most, whose name matches (read from
// /proc/PID/status, unlike the recorder).
std::optional<pid_t> matchingAncestor(pid_t pid, const char *pattern)
{
    for (int n = 0; pid > 0 && n < 30; ++n) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line, name;
        pid_t parent = 0;
        while (std::getline(status, line)) {
            if (line.starts_with("Name:\t"))
                name = line.substr(6);
            else if (line.starts_with("PPid:"))
                parent = std::stoi(line.substr(5));
        }
        if (::fnmatch(pattern, name.c_str(), 0) == 0)
            return pid;
        pid = parent;
    }
    return std::nullopt;
}

std::map<std::string, std::string> snapshot(const fs::path &directory)
{
    std::map<std::string, std::string> files;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(directory, error))
        files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

QByteArray payloadFile(const char *name)
{
    return QByteArray::fromStdString(readFile(testData(std::string("hooks/") + name)));
}

QString text(const json &value)
{
    return QString::fromStdString(value.dump());
}

} // namespace

class TestHookRecorder : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    fs::path m_sessions;

    pid_t m_started = 0;

    fs::path root() const { return m_root.path().toStdString(); }

    // Runs the recorder with `words` after --sessions DIR, under the command
    // `via` when given, or the hook script last in `via`; empty when it ended
    // as it must.
    QString record(const QByteArrayList &words, const QByteArrayList &via = {})
    {
        const bool script = !via.isEmpty() && via.back().endsWith(".sh");
        std::vector<std::string> command;
        for (const QByteArray &word : via)
            command.push_back(word.toStdString());
        if (!script)
            command.insert(command.end(), {recorder, "--sessions", m_sessions.string()});
        for (const QByteArray &word : script ? words.mid(1) : words) // a script knows its agent
            command.push_back(word.toStdString());
        m_started = start(command, "payload", "out");
        return finished(m_started, "out");
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY(fs::exists(recorder));
        fs::current_path(root()); // where the runs find their files
        m_sessions = root() / "my sessions" / "in here";
        writeFile("nest.sh", nestScript);
        for (const char *owner : {"claude", "myClaude-2", "a) (claude", "copilot", "Copilot", "node", "codex"})
            fs::copy_file("/bin/dash", owner); // an agent's process
        // Scripts that node-like ./node runs: each starts the nest of shells.
        for (const char *script :
             {"node_modules/@qwen-code/qwen-code/cli.js", "node_modules/.bin/qwen", "node_modules/other/cli.js",
              "node_modules/@google/gemini-cli/bundle/gemini.js", "usr/local/bin/gemini", "node_modules/.bin/gemini"}) {
            fs::create_directories(fs::path(script).parent_path());
            writeFile(script, "sh nest.sh 1 parent.pid \"$@\"\n");
        }
        const Agent &claude = agentFor(SessionSource::Claude);
        writeFile("claude-hook.sh", hookScriptText(claude, m_sessions.string(), recorder));
        writeFile("missing-hook.sh", hookScriptText(claude, m_sessions.string(), recorder + "-missing"));
    }

    void init() { fs::remove_all(m_sessions.parent_path()); }

    void records_data()
    {
        QTest::addColumn<QByteArrayList>("words"); // the agent, the state
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("stem"); // of the record file
        QTest::addColumn<QByteArray>("expected"); // the record but for updatedAt; none: no record
        QTest::addColumn<QByteArrayList>("via"); // what runs the recorder; none: this test
        // The payload's members less `dropped` (or `members`, for payloads too
        // large to parse here), then ours.
        const auto row = [](const QByteArray &label, const QByteArray &words, const QByteArray &payload,
                            const QByteArray &stem, const json &overrides = {},
                            std::initializer_list<const char *> dropped = {}, json members = nullptr,
                            const QByteArrayList &via = {}) {
            members = members.is_null() ? json::parse(payload.toStdString()) : members;
            const auto textOf = [&](const char *key) { return members[key].is_string() ? members[key] : json(""); };
            const QByteArrayList word = words.split(' ');
            const bool claude = word.front() != "copilot"; // Qwen Code's payloads are Claude Code's
            json record = members;
            for (const char *name : {"sessionId", "state", "source", "event", "cwd", "transcriptPath", "pid"})
                record.erase(name);
            for (const char *name : dropped)
                record.erase(name);
            record.update({{"sessionId", stem.toStdString()},
                           {"state", word.value(1).isEmpty() ? "working" : word[1].toStdString()},
                           {"source", word.front().toStdString()},
                           {"event", claude ? textOf("hook_event_name") : json("copilot")},
                           {"cwd", textOf("cwd")},
                           {"transcriptPath", textOf(claude ? "transcript_path" : "transcriptPath")}});
            record.update(overrides.is_object() ? overrides : json::object());
            record.erase("updatedAt");
            QTest::newRow(label.constData())
                << word << payload << stem << QByteArray::fromStdString(record.dump()) << via;
        };
        // No record written; with "ended", the session's record deleted.
        const auto none = [](const QByteArray &label, const QByteArray &payload, const QByteArray &words = "claude",
                             const char *stem = "x", const QByteArrayList &via = {}) {
            QTest::newRow(label.constData()) << words.split(' ') << payload << QByteArray(stem) << QByteArray() << via;
        };
        const char *claudeId = "0d313c70-ba3d-4f9e-a661-3bf72827e3b0"; // of the 2.1.332 payloads
        const char *olderId = "419ee82b-c673-4bb5-9f5f-8202327da46f"; // of the 2.1.197 payloads
        const char *copilotId = "5f0c7a52-3d1e-4b8a-9c61-2e4f8d9a0b13";
        row("no state", "claude", payloadFile("claude-code-2.1.197/SessionStart-1.json"), olderId);
        row("empty state", "claude ", payloadFile("claude-code-2.1.332/SessionStart-1.json"), claudeId);
        row("working", "claude working", payloadFile("claude-code-2.1.197/UserPromptSubmit-1.json"), olderId);
        row("waiting", "claude waiting", payloadFile("claude-code-2.1.332/Notification-1.json"), claudeId);
        row("idle", "claude idle", payloadFile("claude-code-2.1.197/Stop-1.json"), olderId);
        row("idle 2.1.332", "claude idle", payloadFile("claude-code-2.1.332/Stop-1.json"), claudeId);
        row("copilot no state", "copilot", payloadFile("copilot/sessionStart.json"), copilotId);
        row("copilot waiting", "copilot waiting", payloadFile("copilot/notification.json"), copilotId);
        row("copilot idle", "copilot idle", payloadFile("copilot/agentStop.json"), copilotId);
        const char *qwenId = "67d440e0-b51a-4d13-9d6b-f9c9da8cfcb6";
        row("qwen idle", "qwen idle", payloadFile("qwen-code-0.24.4/SessionStart.json"), qwenId);
        row("qwen working", "qwen working", payloadFile("qwen-code-0.24.4/UserPromptSubmit.json"), qwenId);
        row("qwen waiting", "qwen waiting", payloadFile("qwen-code-0.24.4/Notification.json"), qwenId);
        row("bare", "claude idle", R"({"session_id":"bare-1"})", "bare-1");
        row("byte order mark", "claude idle",
            "\xef\xbb\xbf"
            R"( {"session_id":"bom"})",
            "bom");
        row("copilot bare", "copilot waiting", R"({"sessionId":"bare-2","n":[1.5,null]})", "bare-2");
        row("state written as given", "claude wo\xffrk", R"({"session_id":"s"})", "s", {{"state", "wo\uFFFDrk"}});
        json prompt = json::parse(payloadFile("claude-code-2.1.197/UserPromptSubmit-1.json").toStdString());
        prompt["prompt"] = std::string(100000, 'p');
        row("long prompt", "claude", QByteArray::fromStdString(prompt.dump()), olderId, {}, {"prompt"});

        // cwd and transcriptPath must be strings for the record to decode.
        const auto path = [&](const char *value, const char *text) {
            const json texts = {{"cwd", text}, {"transcriptPath", text}};
            const QByteArray members = QByteArray("\":\"m\",\"cwd\":") + value + ",\"transcript";
            row(QByteArray("path ") + value, "claude", "{\"session_id" + members + "_path\":" + value + '}', "m",
                texts);
            row(QByteArray("copilot path ") + value, "copilot", "{\"sessionId" + members + "Path\":" + value + '}', "m",
                texts);
        };
        path(R"("/w/a b")", "/w/a b");
        path(R"("/w/a\n")", "/w/a\n");
        path(R"("\ud83d\ude00\u00e9\/")", "\U0001F600\u00e9/");
        path(R"("")", "");
        path("5", "5");
        path("-1.50E+3", "-1.50E+3");
        path("true", "true");
        path("false", "false");
        path("null", "");
        path("{}", "");
        path("[1]", "");

        // Ids keep letters, digits, ".", "_" and "-", at most 128 of them.
        const auto id = [&](const QByteArray &value, const QByteArray &stem) {
            row("id " + stem.left(9), "claude",
                QByteArray::fromStdString(json {{"session_id", value.toStdString()}}.dump()), stem);
        };
        id("A-z_0.9", "A-z_0.9");
        id("../a b", ".._a_b");
        id("//////", "______");
        id("é€x", "_____x");
        id("t\tq\"b\\\x01", "t_q_b__");
        id("ab\n", "ab_");
        id(QByteArray("a\0b", 3), "a_b");
        id(QByteArray(200, 'a'), QByteArray(128, 'a'));
        id(QByteArray("a/").repeated(100), QByteArray("a_").repeated(64));
        row("id copilot", "copilot", R"({"sessionId":"c/d"})", "c_d");
        row("id number", "claude", R"({"session_id":12.5})", "12.5");
        row("id escaped key", "claude", R"({"session_\u0069d":"esc"})", "esc");

        row("repeated keys", "claude", R"({"session_id":"1","a":1,"b":[true],"a":{"c":2},"session_id":"2"})", "2");
        row("repeated key, last too long", "claude",
            "{\"session_id\":\"x\",\"a\":1,\"a\":\"" + QByteArray(20000, 'p') + "\"}", "x", {}, {"a"});
        row("members named like ours", "claude idle",
            R"({"session_id":"ours","sessionId":"theirs","state":"ended","source":"copilot","event":"E",)"
            R"("cwd":"/c","transcriptPath":7,"updatedAt":"later","pid":-5,"transcript_path":"/t"})",
            "ours");
        // Numbers the application's reader would refuse, and with them the record.
        row("unreadable numbers", "claude", R"({"session_id":"n","a":18446744073709551616,"b":[1e309],"c":-1e-999})",
            "n", {}, {}, {{"session_id", "n"}, {"c", -0.0}});
        row("nested 512 deep", "claude",
            R"({"session_id":"x","a":)" + QByteArray(511, '[') + '1' + QByteArray(511, ']') + '}', "x");
        QByteArray full = R"({"session_id":"full")";
        json fullMembers = {{"session_id", "full"}};
        for (int n = 10; n < 80; ++n) { // each takes about 16 000 bytes: 65 fit in 1 MiB, not 66
            full += ",\"m" + QByteArray::number(n) + "\":\"" + QByteArray(16000, 'v') + '"';
            if (n < 75)
                fullMembers["m" + std::to_string(n)] = std::string(16000, 'v');
        }
        // Small members after those that did not fit are kept; a later value replaces a kept one.
        fullMembers["after"] = 1;
        fullMembers["m10"] = 1;
        row("1 MiB of members", "claude", full + R"(,"after":1,"m10":1})", "full", {}, {}, fullMembers);
        // The recorder's address space is far smaller than the payload.
        row("100 MB payload", "claude",
            "{\"session_id\":\"huge\",\"prompt\":\"" + QByteArray(100 << 20, 'p') + "\",\"cwd\":\"/w\"}", "huge", {},
            {}, {{"session_id", "huge"}, {"cwd", "/w"}});

        none("ended", payloadFile("claude-code-2.1.197/SessionEnd-1.json"), "claude ended", olderId);
        none("ended 2.1.332", payloadFile("claude-code-2.1.332/SessionEnd-1.json"), "claude ended", claudeId);
        none("copilot ended", payloadFile("copilot/agentStop.json"), "copilot ended", copilotId);
        none("ended sanitised id", R"({"session_id":"x/y"})", "claude ended", "x_y");
        none("empty", "");
        none("text", "session_id=x\n");
        none("truncated", R"({"session_id":"x")");
        none("trailing garbage", R"({"session_id":"x"} x)");
        none("two objects", R"({"session_id":"x"}{})");
        none("half a byte order mark",
             "\xef\xbb"
             R"({"session_id":"x"})");
        none("byte order mark after a space",
             " \xef\xbb\xbf"
             R"({"session_id":"x"})");
        none("array", R"([{"session_id":"x"}])");
        none("string", R"("x")");
        none("no id", R"({"cwd":"/x"})");
        none("null id", R"({"session_id":null})");
        none("empty id", R"({"session_id":""})");
        none("object id", R"({"session_id":{"a":"x"}})");
        none("nested id", R"({"a":{"session_id":"x"}})");
        none("the other agent's key", R"({"sessionId":"x"})");
        none("invalid utf-8", "{\"session_id\":\"x\xff\"}");
        none("overlong utf-8", "{\"session_id\":\"x\xc0\xaf\"}");
        none("lone surrogate", R"({"session_id":"x\ud800"})");
        none("raw tab in a string", "{\"session_id\":\"x\ty\"}");
        none("leading zero", R"({"session_id":"x","n":01})");
        none("nested 513 deep", R"({"session_id":"x","a":)" + QByteArray(512, '[') + QByteArray(512, ']') + '}');
        none("copilot empty", "", "copilot");
        none("copilot the other agent's key", R"({"session_id":"x"})", "copilot");
        none("unknown agent", R"({"session_id":"x"})", "Claude");
        none("extra argument", R"({"session_id":"x"})", "claude idle more");

        // The hook script hands its state word to the recorder, under each shell.
        for (const QByteArrayList &shell : {QByteArrayList {"/bin/dash"}, {"/bin/bash"}, {"/bin/busybox", "sh"}}) {
            const QByteArray name = shell.front().mid(5), bare = R"({"session_id":"x"})";
            const QByteArrayList script = shell + QByteArrayList {"claude-hook.sh"};
            row(name + " script, no state", "claude", bare, "x", {}, {}, nullptr, script);
            row(name + " script, idle", "claude idle", bare, "x", {}, {}, nullptr, script);
            none(name + " script, no recorder", bare, "claude idle", "x", shell + QByteArrayList {"missing-hook.sh"});
        }

        // The owner is the first process named like the agent, from the direct
        // parent up, 30 of them at most; else the direct parent. `levels`
        // shells lie between the process started and the recorder.
        const auto owner = [&](const char *label, const char *agent, const char *program, int levels, bool found) {
            const QByteArray nest = "sh nest.sh " + QByteArray::number(levels) + R"( parent.pid "$0" "$@"; true)";
            row(label, agent, R"({"session_id":"owned","sessionId":"owned"})", "owned",
                {{"pid", found ? "started" : "parent"}}, {}, nullptr, {program, "-c", nest});
        };
        owner("owner sh -c under claude", "claude", "./claude", 1, true);
        owner("owner 28 between", "claude", "./claude", 28, true);
        owner("owner 29 between", "claude", "./claude", 29, true);
        owner("owner 30 between", "claude", "./claude", 30, false);
        owner("owner name inside", "claude", "./myClaude-2", 2, true);
        owner("owner name with parentheses", "claude", "./a) (claude", 1, true);
        owner("owner none", "claude", "/bin/sh", 1, false);
        owner("owner only copilot", "claude", "./copilot", 1, false);
        owner("owner copilot", "copilot", "./Copilot", 1, true);
        owner("owner copilot 29 between", "copilot", "./copilot", 29, true);
        owner("owner copilot 30 between", "copilot", "./copilot", 30, false);
        owner("owner copilot only claude", "copilot", "./claude", 1, false);
        owner("owner qwen only claude", "qwen", "./claude", 1, false);
        // Qwen Code is node running its bundle: the command line tells.
        const auto script = [&](const char *label, const char *agent, const char *path, bool found) {
            row(label, agent, R"({"session_id":"owned"})", "owned", {{"pid", found ? "started" : "parent"}}, {},
                nullptr, {"./node", path});
        };
        script("owner qwen cli.js", "qwen", "node_modules/@qwen-code/qwen-code/cli.js", true);
        script("owner qwen bin link", "qwen", "node_modules/.bin/qwen", true);
        script("owner qwen another script", "qwen", "node_modules/other/cli.js", false);
        script("owner claude under qwen", "claude", "node_modules/@qwen-code/qwen-code/cli.js", false);
        // Gemini CLI is node running its bundle, named as the user started it.
        script("owner gemini bundle", "gemini", "node_modules/@google/gemini-cli/bundle/gemini.js", true);
        script("owner gemini global link", "gemini", "usr/local/bin/gemini", true);
        script("owner gemini bin link", "gemini", "node_modules/.bin/gemini", true);
        script("owner gemini another script", "gemini", "node_modules/other/cli.js", false);
        // Codex CLI's own process runs a one-shot session's hooks; its shared
        // background server owns no session (see sharedServerOwnsNoSession).
        owner("owner codex", "codex", "./codex", 2, true);
        const QByteArrayList codexServer
            = {"./codex", "-c", R"(shift; sh nest.sh 1 parent.pid "$@"; true)", "codex", "app-server"};
        row("owner codex server, no session in the folder", "codex", R"({"session_id":"owned","cwd":"/"})", "owned",
            {{"pid", "none"}}, {}, nullptr, codexServer);
    }

    // Each payload twice: into a missing sessions folder, then into one that
    // holds an older record of the session and another session's record.
    void records()
    {
        QFETCH(QByteArrayList, words);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, stem);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArrayList, via);
        const bool removes = expected.isEmpty() && words.value(1) == "ended";
        const std::string file = stem.toStdString() + ".json";
        writeFile("payload", payload);

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(record(words, via), QString());
        if (!expected.isEmpty()) {
            QCOMPARE(fs::status(m_sessions).permissions(), fs::perms::owner_all);
            QCOMPARE(snapshot(m_sessions).size(), std::size_t(1));
            QVERIFY(fs::exists(m_sessions / file));
        } else {
            QVERIFY(!fs::exists(m_sessions.parent_path())); // nothing to remove, nothing made
        }

        fs::create_directories(m_sessions);
        writeFile(m_sessions / file, recordJson(stem.toStdString(), "idle", 1));
        writeFile(m_sessions / "other.json", recordJson("other", "idle", 1));
        const auto files = snapshot(m_sessions);
        QCOMPARE(record(words, via), QString());
        if (expected.isEmpty() && !removes)
            QCOMPARE(record(QByteArrayList {words.front(), "ended"} + words.mid(2), via), QString());
        auto after = snapshot(m_sessions);
        const std::string bytes = after[file];
        after[file] = files.at(file);
        QVERIFY(after == files); // no other file touched, none left over
        if (expected.isEmpty()) {
            QCOMPARE(bytes == files.at(file), !removes);
            return;
        }

        json written = json::parse(bytes);
        QVERIFY(decodeSessionRecord(bytes) || !sessionStateFromRaw(written.value("state", "")));
        QVERIFY(written["updatedAt"].is_number_integer());
        QVERIFY(written["updatedAt"] >= before && written["updatedAt"] <= QDateTime::currentSecsSinceEpoch());
        json wanted = json::parse(expected.toStdString());
        const char *namePattern = agentFromRaw(words.front().toStdString())->ownerPattern.data();
        const auto above = matchingAncestor(::getpid(), namePattern);
        if (above && wanted.value("pid", "") == "parent")
            QSKIP("a process above this test carries the agent's name");
        // The direct parent: this test, or the innermost shell of a nest.
        const bool nested = !via.isEmpty() && !via.back().endsWith(".sh");
        const pid_t parent = nested ? std::stoi(readFile("parent.pid")) : above.value_or(::getpid());
        if (wanted.value("pid", "") == "none")
            wanted.erase("pid");
        else
            wanted["pid"] = wanted.value("pid", "") == "started" ? m_started : parent;
        written.erase("updatedAt");
        QCOMPARE(text(written), text(wanted));
    }

    // Hooks that Codex CLI's shared background server runs have no session
    // process above them: the session's own is the one Codex process, other
    // than such servers, working in the session's folder.
    void sharedServerOwnsNoSession_data()
    {
        QTest::addColumn<QStringList>("sessions"); // folders where a Codex session runs
        QTest::addColumn<QString>("cwd"); // the payload's
        QTest::addColumn<int>("owner"); // index into sessions; -1: none
        const QString a = QStringLiteral("a"), b = QStringLiteral("b");
        QTest::newRow("one session in the folder") << QStringList {a, b} << a << 0;
        QTest::newRow("the folder through a link") << QStringList {a} << QStringLiteral("link-to-a") << 0;
        QTest::newRow("two sessions in the folder") << QStringList {a, a} << a << -1;
        QTest::newRow("no session in the folder") << QStringList {b} << a << -1;
        QTest::newRow("a folder that is gone") << QStringList {a} << QStringLiteral("gone") << -1;
    }

    void sharedServerOwnsNoSession()
    {
        QFETCH(QStringList, sessions);
        QFETCH(QString, cwd);
        QFETCH(int, owner);
        const fs::path folders = root() / "codex sessions";
        fs::remove_all(folders);
        for (const char *name : {"a", "b"})
            fs::create_directories(folders / name);
        fs::create_directory_symlink("a", folders / "link-to-a");

        // Sessions: ./codex waiting in their folders until the test ends.
        std::vector<std::unique_ptr<QProcess>> running;
        for (const QString &folder : sessions) {
            auto &session = running.emplace_back(std::make_unique<QProcess>());
            session->setWorkingDirectory(QString::fromStdString((folders / folder.toStdString()).string()));
            session->start(QString::fromStdString((root() / "codex").string()),
                           {QStringLiteral("-c"), QStringLiteral("read line")});
            QVERIFY(session->waitForStarted());
        }
        const auto closeAll = qScopeGuard([&] {
            for (auto &session : running) {
                session->closeWriteChannel();
                session->waitForFinished();
            }
        });

        writeFile("payload", json {{"session_id", "served"}, {"cwd", (folders / cwd.toStdString()).string()}}.dump());
        QCOMPARE(
            record({"codex"}, {"./codex", "-c", R"(shift; sh nest.sh 1 parent.pid "$@"; true)", "codex", "app-server"}),
            QString());
        const json written = json::parse(readFile(m_sessions / "served.json"));
        if (owner < 0)
            QVERIFY2(!written.contains("pid"), written.dump().c_str());
        else
            QCOMPARE(written["pid"].get<qint64>(), running[std::size_t(owner)]->processId());
    }

    void concurrentRunsWhileScanning()
    {
        constexpr int runs = 200, atOnce = 25, sessions = 10;
        const auto idOf = [](int run) { return "concurrent-" + std::to_string(run % sessions); };
        const auto payloadOf = [](int run) { return "payload-" + std::to_string(run); };
        for (int run = 0; run < runs; ++run)
            writeFile(payloadOf(run),
                      json {{run % sessions < 5 ? "session_id" : "sessionId", idOf(run)},
                            {"hook_event_name", "UserPromptSubmit"},
                            {"marker", run}}
                          .dump());

        // Scans, and reads of every record file seen, for as long as hooks run.
        FakeClock clock(static_cast<double>(QDateTime::currentSecsSinceEpoch()));
        FakeProcessProbe probe;
        SessionScanner scanner(m_sessions, clock, probe, {}, root());
        std::atomic<bool> writing = true;
        std::atomic<int> scans = 0, filesRead = 0, undecodable = 0, unknownIds = 0;
        std::thread reader([&] {
            for (; writing; ++scans) {
                for (const auto &session : scanner.scan().result())
                    unknownIds += session.id.starts_with("concurrent-") ? 0 : 1;
                std::error_code error;
                for (const auto &entry : fs::directory_iterator(m_sessions, error)) {
                    if (entry.path().extension() == ".json") {
                        ++filesRead;
                        undecodable += decodeSessionRecord(readFile(entry.path())) ? 0 : 1;
                    }
                }
            }
        });

        QString failure;
        for (int first = 0; first < runs; first += atOnce) {
            std::vector<std::pair<pid_t, std::string>> batch;
            for (int run = first; run < first + atOnce; ++run) {
                const std::string agent = run % sessions < 5 ? "claude" : "copilot", out = payloadOf(run) + ".out";
                batch.emplace_back(start({recorder, "--sessions", m_sessions.string(), agent}, payloadOf(run), out),
                                   out);
            }
            for (const auto &[pid, out] : batch)
                failure = failure.isEmpty() ? finished(pid, out) : failure;
        }
        writing = false;
        reader.join();

        QCOMPARE(failure, QString());
        QVERIFY(scans > 0 && filesRead > 0);
        QCOMPARE(undecodable.load(), 0);
        QCOMPARE(unknownIds.load(), 0);
        QCOMPARE(snapshot(m_sessions).size(), std::size_t(sessions));
        for (int session = 0; session < sessions; ++session) {
            const json written = json::parse(readFile(m_sessions / (idOf(session) + ".json")));
            QCOMPARE(text(written["sessionId"]), text(idOf(session)));
            QCOMPARE(written.value("marker", -1) % sessions, session);
        }
    }
};

QTEST_GUILESS_MAIN(TestHookRecorder)
#include "tst_hookrecorder.moc"
