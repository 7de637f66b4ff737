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

// Runs the recorder under the Codex-like shared server `./codex app-server`.
const QByteArrayList codexServer
    = {"./codex", "-c", R"(shift; sh nest.sh 1 parent.pid "$@"; true)", "codex", "app-server"};

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
        fs::current_path(root()); // where the runs find their files
        m_sessions = root() / "my sessions" / "in here";
        writeFile("nest.sh", nestScript);
        for (const char *owner : {"claude", "myClaude-2", "a) (claude", "copilot", "Copilot", "node", "codex"})
            fs::copy_file("/bin/dash", owner); // an agent's process
        // Scripts that node-like ./node runs, 29 shells above the recorder.
        for (const char *script : {"node_modules/@qwen-code/qwen-code/cli.js", "node_modules/other/cli.js",
                                   "node_modules/@google/gemini-cli/bundle/gemini.js", "usr/local/bin/gemini"}) {
            fs::create_directories(fs::path(script).parent_path());
            writeFile(script, "sh nest.sh 29 parent.pid \"$@\"\n");
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
        QTest::addColumn<QByteArray>(
            "expected"); // the record but for updatedAt (and pid unless named); none: no record
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
            for (const char *name :
                 {"sessionId", "state", "source", "event", "cwd", "transcriptPath", "pid", "updatedAt"})
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
        row("waiting", "claude waiting", payloadFile("claude-code-2.1.332/Notification-1.json"), claudeId);
        row("copilot idle", "copilot idle", payloadFile("copilot/agentStop.json"), copilotId);
        row("qwen working", "qwen working", payloadFile("qwen-code-0.24.4/UserPromptSubmit.json"),
            "67d440e0-b51a-4d13-9d6b-f9c9da8cfcb6");
        row("byte order mark", "claude idle", "\xef\xbb\xbf {\"session_id\":\"bom\"}", "bom");
        row("state written as given", "claude wo\xffrk", R"({"session_id":"s"})", "s", {{"state", "wo\uFFFDrk"}});
        json prompt = json::parse(payloadFile("claude-code-2.1.197/UserPromptSubmit-1.json").toStdString());
        prompt["prompt"] = std::string(100000, 'p');
        row("long prompt", "claude", QByteArray::fromStdString(prompt.dump()), olderId, {}, {"prompt"});
        // cwd and transcriptPath must be strings for the record to decode.
        for (const auto &[value, decoded] : {std::pair {R"("\ud83d\ude00\u00e9\/\n")", "\U0001F600\u00e9/\n"},
                                             {"-1.50E+3", "-1.50E+3"},
                                             {"true", "true"},
                                             {"null", ""},
                                             {"[1]", ""}}) {
            row(QByteArray("path ") + value, "claude",
                QByteArray(R"({"session_id":"m","cwd":)") + value + R"(,"transcript_path":)" + value + '}', "m",
                {{"cwd", decoded}, {"transcriptPath", decoded}});
        }
        // Ids keep letters, digits, ".", "_" and "-", at most 128 of them.
        for (const auto &[value, stem] : {std::pair<QByteArray, QByteArray> {"../a b", ".._a_b"},
                                          {"é€x", "_____x"},
                                          {QByteArray("a\0b", 3), "a_b"},
                                          {QByteArray(200, 'a'), QByteArray(128, 'a')},
                                          {QByteArray("a/").repeated(100), QByteArray("a_").repeated(64)}})
            row("id " + stem.left(9), "claude",
                QByteArray::fromStdString(json {{"session_id", value.toStdString()}}.dump()), stem);
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
        json fullMembers = {{"session_id", "full"}, {"after", 1}};
        for (int n = 10; n < 80; ++n) { // each takes about 16 000 bytes: 65 fit in 1 MiB, not 66
            full += ",\"m" + QByteArray::number(n) + "\":\"" + QByteArray(16000, 'v') + '"';
            if (n < 75)
                fullMembers["m" + std::to_string(n)] = n == 10 ? json(1) : json(std::string(16000, 'v'));
        }
        // Small members after those that did not fit are kept; a later value replaces a kept one.
        row("1 MiB of members", "claude", full + R"(,"after":1,"m10":1})", "full", {}, {}, fullMembers);
        // The recorder's address space is far smaller than the payload.
        row("100 MB payload", "claude",
            "{\"session_id\":\"huge\",\"prompt\":\"" + QByteArray(100 << 20, 'p') + "\",\"cwd\":\"/w\"}", "huge", {},
            {}, {{"session_id", "huge"}, {"cwd", "/w"}});

        none("ended", payloadFile("claude-code-2.1.332/SessionEnd-1.json"), "claude ended", claudeId);
        none("copilot ended", payloadFile("copilot/agentStop.json"), "copilot ended", copilotId);
        none("ended sanitised id", R"({"session_id":"x/y"})", "claude ended", "x_y");
        for (const QByteArray &payload :
             {QByteArray(), QByteArray(R"({"session_id":"x")"), QByteArray(R"({"session_id":"x"} x)"),
              QByteArray(" \xef\xbb\xbf{\"session_id\":\"x\"}"), QByteArray(R"([{"session_id":"x"}])"),
              QByteArray(R"({"cwd":"/x"})"), QByteArray(R"({"session_id":""})"), QByteArray(R"({"sessionId":"x"})"),
              QByteArray("{\"session_id\":\"x\xc0\xaf\"}"), QByteArray(R"({"session_id":"x\ud800"})"),
              QByteArray("{\"session_id\":\"x\ty\"}"), QByteArray(R"({"session_id":"x","n":01})"),
              QByteArray(R"({"session_id":"x","a":)" + QByteArray(512, '[') + QByteArray(512, ']') + '}')})
            none("invalid " + payload.left(24).toPercentEncoding(), payload);
        none("unknown agent", R"({"session_id":"x"})", "Claude");
        none("extra argument", R"({"session_id":"x"})", "claude idle more");

        // The hook script hands its state word to the recorder, under each shell.
        for (const QByteArrayList &shell : {QByteArrayList {"/bin/dash"}, {"/bin/bash"}, {"/bin/busybox", "sh"}})
            row(shell.front() + " script", "claude idle", R"({"session_id":"x"})", "x", {}, {}, nullptr,
                shell + QByteArrayList {"claude-hook.sh"});
        none("script, no recorder", R"({"session_id":"x"})", "claude idle", "x", {"/bin/sh", "missing-hook.sh"});

        // The owner is the first process named like the agent, from the direct
        // parent up, 30 of them at most; else the direct parent. `levels`
        // shells lie between the process started and the recorder, so that
        // the search never reaches this test's own ancestors.
        const auto owner = [&](const char *label, const char *agent, const char *program, bool found, int levels = 29) {
            const QByteArray nest = "sh nest.sh " + QByteArray::number(levels) + R"( parent.pid "$0" "$@"; true)";
            row(label, agent, R"({"session_id":"owned","sessionId":"owned"})", "owned",
                {{"pid", found ? "started" : "parent"}}, {}, nullptr, {program, "-c", nest});
        };
        owner("owner 29 between", "claude", "./claude", true);
        owner("owner 30 between", "claude", "./claude", false, 30);
        owner("owner name inside", "claude", "./myClaude-2", true);
        owner("owner name with parentheses", "claude", "./a) (claude", true);
        owner("owner none", "claude", "/bin/sh", false);
        owner("owner only copilot", "claude", "./copilot", false);
        owner("owner copilot", "copilot", "./Copilot", true);
        owner("owner codex", "codex", "./codex", true);
        // Qwen Code and Gemini CLI are node running their bundles: the command line tells.
        const auto script = [&](const char *label, const char *agent, const char *path, bool found) {
            row(label, agent, R"({"session_id":"owned"})", "owned", {{"pid", found ? "started" : "parent"}}, {},
                nullptr, {"./node", path});
        };
        script("owner qwen cli.js", "qwen", "node_modules/@qwen-code/qwen-code/cli.js", true);
        script("owner qwen another script", "qwen", "node_modules/other/cli.js", false);
        script("owner claude under qwen", "claude", "node_modules/@qwen-code/qwen-code/cli.js", false);
        script("owner gemini bundle", "gemini", "node_modules/@google/gemini-cli/bundle/gemini.js", true);
        script("owner gemini global link", "gemini", "usr/local/bin/gemini", true);
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
        const std::string file = stem.toStdString() + ".json";
        writeFile("payload", payload);

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(record(words, via), QString());
        QCOMPARE(fs::exists(m_sessions / file), !expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(fs::status(m_sessions).permissions(), fs::perms::owner_all);

        fs::create_directories(m_sessions);
        writeFile(m_sessions / file, "older");
        writeFile(m_sessions / "other.json", "other");
        QCOMPARE(record(words, via), QString());
        auto after = snapshot(m_sessions);
        const std::string written = after[file];
        after.erase(file);
        QVERIFY(after == (std::map<std::string, std::string> {{"other.json", "other"}})); // none left over
        if (expected.isEmpty()) {
            QCOMPARE(written, std::string(words.value(1) == "ended" ? "" : "older"));
            return;
        }
        json record = json::parse(written);
        QVERIFY(decodeSessionRecord(written) || !sessionStateFromRaw(record.value("state", "")));
        QVERIFY(record["updatedAt"] >= before && record["updatedAt"] <= QDateTime::currentSecsSinceEpoch());
        record.erase("updatedAt");
        json wanted = json::parse(expected.toStdString());
        if (!wanted.contains("pid"))
            record.erase("pid");
        else
            wanted["pid"] = wanted["pid"] == "started" ? m_started : std::stoi(readFile("parent.pid"));
        QCOMPARE(text(record), text(wanted));
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
        fs::create_directories(folders / "a");
        fs::create_directories(folders / "b");
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
        QCOMPARE(record({"codex"}, codexServer), QString());
        const json written = json::parse(readFile(m_sessions / "served.json"));
        QCOMPARE(written.value("pid", qint64(-1)), owner < 0 ? -1 : running[std::size_t(owner)]->processId());
    }

    // Records written at once by many hooks, while the application scans and
    // reads them: every read record is whole, and the last run's stays.
    void concurrentRunsWhileScanning()
    {
        constexpr int runs = 200, atOnce = 25, sessions = 10;
        const auto idOf = [](int run) { return "concurrent-" + std::to_string(run % sessions); };
        for (int run = 0; run < runs; ++run)
            writeFile("payload-" + std::to_string(run), json {{"session_id", idOf(run)}, {"marker", run}}.dump());

        FakeClock clock(static_cast<double>(QDateTime::currentSecsSinceEpoch()));
        FakeProcessProbe probe;
        SessionScanner scanner(m_sessions, clock, probe, {}, root());
        std::atomic<bool> writing = true;
        std::atomic<int> unreadable = 0;
        std::thread reader([&] {
            while (writing) {
                for (const auto &session : scanner.scan().result())
                    unreadable += session.id.starts_with("concurrent-") ? 0 : 1;
                std::error_code error;
                for (const auto &entry : fs::directory_iterator(m_sessions, error))
                    unreadable += entry.path().extension() == ".json" && !decodeSessionRecord(readFile(entry.path()));
            }
        });

        QString failure;
        for (int first = 0; first < runs; first += atOnce) {
            std::vector<pid_t> batch;
            for (int run = first; run < first + atOnce; ++run) {
                const std::string payload = "payload-" + std::to_string(run);
                batch.push_back(
                    start({recorder, "--sessions", m_sessions.string(), "claude"}, payload, payload + ".out"));
            }
            for (int run = first; run < first + atOnce; ++run)
                failure += finished(batch[std::size_t(run - first)], "payload-" + std::to_string(run) + ".out");
        }
        writing = false;
        reader.join();

        QCOMPARE(failure, QString());
        QCOMPARE(unreadable.load(), 0);
        QCOMPARE(snapshot(m_sessions).size(), std::size_t(sessions));
        for (int session = 0; session < sessions; ++session) {
            const json written = json::parse(readFile(m_sessions / (idOf(session) + ".json")));
            QCOMPARE(written.value("marker", -1) % sessions, session);
        }
    }
};

QTEST_GUILESS_MAIN(TestHookRecorder)
#include "tst_hookrecorder.moc"
