#include "agents/Agents.h"
#include "hooks/HookScripts.h"
#include "sessions/SessionRecord.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QProcess>
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
const rlim_t recorderMemory = RLIM_INFINITY; // ASan takes terabytes of address space
#else
const rlim_t recorderMemory = rlim_t(64) << 20; // far below the largest payload
#endif

// `levels` nested shells; the innermost writes its pid, the command's parent's.
constexpr std::string_view nestScript = R"(n=$1; pidfile=$2; shift 2
if [ "$n" -gt 1 ]; then sh "$0" $((n - 1)) "$pidfile" "$@"; exit; fi
echo $$ > "$pidfile"
"$@"; exit
)";

// `command` with `input` on stdin, stdout into `output`, its address space bounded.
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
    for (const auto &entry : fs::directory_iterator(directory))
        files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

QByteArray payloadFile(const char *name)
{
    return QByteArray::fromStdString(readFile(testData(std::string("hooks/") + name)));
}

} // namespace

class TestHookRecorder : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    fs::path m_sessions;
    pid_t m_started = 0;

    fs::path root() const { return m_root.path().toStdString(); }

    // The recorder with `words`, under `via` (or the hook script last in it); empty: ended well.
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
        fs::current_path(root()); // where the runs find their files
        m_sessions = root() / "my sessions" / "in here";
        writeFile("nest.sh", nestScript);
        for (const char *owner : {"claude", "a) (claude", "copilot", "Copilot", "node", "codex"})
            fs::copy_file("/bin/dash", owner); // an agent's process
        for (const char *script : {"node_modules/@qwen-code/qwen-code/cli.js", "node_modules/other/cli.js",
                                   "node_modules/@google/gemini-cli/bundle/gemini.js"}) {
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
        QTest::addColumn<QByteArray>("expected"); // but updatedAt (and pid unless named); none: no record
        QTest::addColumn<QByteArrayList>("via"); // what runs the recorder; none: this test
        // The payload's members (or `members`: those kept), then ours.
        const auto row
            = [](const QByteArray &label, const QByteArray &words, const QByteArray &payload, const QByteArray &stem,
                 const json &overrides = {}, json members = nullptr, const QByteArrayList &via = {}) {
                  json record = members.is_null() ? json::parse(payload.toStdString()) : members;
                  const auto textOf = [&](const char *key) {
                      return record.contains(key) && record[key].is_string() ? record[key] : json("");
                  };
                  const QByteArrayList word = words.split(' ');
                  const bool copilot = word.front() == "copilot";
                  const json ours = {{"sessionId", stem.toStdString()},
                                     {"state", word.value(1).isEmpty() ? "working" : word[1].toStdString()},
                                     {"source", word.front().toStdString()},
                                     {"event", copilot ? json("copilot") : textOf("hook_event_name")},
                                     {"cwd", textOf("cwd")},
                                     {"transcriptPath", textOf(copilot ? "transcriptPath" : "transcript_path")}};
                  for (const char *name :
                       {"sessionId", "state", "source", "event", "cwd", "transcriptPath", "pid", "updatedAt"})
                      record.erase(name);
                  record.update(ours);
                  record.update(overrides.is_object() ? overrides : json::object());
                  QTest::newRow(label.constData())
                      << word << payload << stem << QByteArray::fromStdString(record.dump()) << via;
              };
        const auto none = [](const QByteArray &label, const QByteArray &payload, const QByteArray &words = "claude",
                             const QByteArrayList &via = {}) {
            QTest::newRow(label.constData()) << words.split(' ') << payload << QByteArray("x") << QByteArray() << via;
        };
        row("claude", "claude ", payloadFile("claude-code-2.1.332/SessionStart-1.json"),
            "0d313c70-ba3d-4f9e-a661-3bf72827e3b0");
        row("copilot", "copilot idle", payloadFile("copilot/agentStop.json"), "5f0c7a52-3d1e-4b8a-9c61-2e4f8d9a0b13");
        row("long prompt", "claude", "{\"session_id\":\"p\",\"prompt\":\"" + QByteArray(20000, 'p') + "\"}", "p", {},
            {{"session_id", "p"}});
        // cwd and transcriptPath must be strings for the record to decode.
        for (const auto &[value, decoded] :
             {std::pair {R"("\ud83d\ude00\u00e9\/\n")", "\U0001F600\u00e9/\n"}, {"[1]", ""}})
            row(QByteArray("path ") + value, "claude",
                QByteArray(R"({"session_id":"m","cwd":)") + value + R"(,"transcript_path":)" + value + '}', "m",
                {{"cwd", decoded}, {"transcriptPath", decoded}});
        // Ids keep letters, digits, ".", "_" and "-", at most 128 of them.
        row("id with a path", "claude", R"({"session_id":"../a b"})", ".._a_b");
        row("id too long", "claude", "{\"session_id\":\"" + QByteArray("a/").repeated(100) + "\"}",
            QByteArray("a_").repeated(64));
        row("members named like ours", "claude idle",
            R"({"session_id":"ours","sessionId":"theirs","state":"ended","source":"copilot","event":"E",)"
            R"("cwd":"/c","transcriptPath":7,"updatedAt":"later","pid":-5,"transcript_path":"/t"})",
            "ours");
        // Numbers the application's reader would refuse, and with them the record.
        row("unreadable numbers", "claude", R"({"session_id":"n","a":18446744073709551616,"b":[1e309],"c":-1e-999})",
            "n", {}, {{"session_id", "n"}, {"c", -0.0}});
        // 16 000 bytes a member: 65 fit in 1 MiB, later small ones too; a later value replaces.
        QByteArray full = R"({"session_id":"full")";
        json fullMembers = {{"session_id", "full"}, {"after", 1}, {"m10", 1}};
        for (int n = 10; n < 80; ++n) {
            full += ",\"m" + QByteArray::number(n) + "\":\"" + QByteArray(16000, 'v') + '"';
            if (n > 10 && n < 75)
                fullMembers["m" + std::to_string(n)] = std::string(16000, 'v');
        }
        row("1 MiB of members", "claude", full + R"(,"after":1,"m10":1})", "full", {}, fullMembers);
        row("100 MB payload", "claude",
            "{\"session_id\":\"huge\",\"prompt\":\"" + QByteArray(100 << 20, 'p') + "\",\"cwd\":\"/w\"}", "huge", {},
            {{"session_id", "huge"}, {"cwd", "/w"}});

        none("ended", R"({"session_id":"x"})", "claude ended");
        for (const QByteArray &payload :
             {QByteArray(), QByteArray(R"({"session_id":"x")"), QByteArray(R"({"session_id":"x"} x)"),
              QByteArray(R"([{"session_id":"x"}])"), QByteArray(R"({"sessionId":"x"})"),
              QByteArray("{\"session_id\":\"x\xc0\xaf\"}"), QByteArray(R"({"session_id":"x\ud800"})"),
              QByteArray(R"({"session_id":"x","a":)" + QByteArray(512, '[') + QByteArray(512, ']') + '}')})
            none("invalid " + payload.left(24).toPercentEncoding(), payload);
        none("unknown agent", R"({"session_id":"x"})", "Claude");
        none("extra argument", R"({"session_id":"x"})", "claude idle more");

        // The hook script hands its state word to the recorder, under each shell.
        for (const QByteArrayList &shell : {QByteArrayList {"/bin/dash"}, {"/bin/bash"}, {"/bin/busybox", "sh"}})
            row(shell.front() + " script", "claude idle", R"({"session_id":"x"})", "x", {}, nullptr,
                shell + QByteArrayList {"claude-hook.sh"});
        none("script, no recorder", R"({"session_id":"x"})", "claude idle", {"/bin/sh", "missing-hook.sh"});

        // The owner: the first of 30 processes up named like the agent (or running its script), else
        // the parent. 29 shells between, so that the search never reaches this test's own ancestors.
        const auto owner = [&](const char *label, const char *agent, QByteArrayList via, bool found, int levels = 29) {
            if (via.size() == 1) // else node runs a script that nests them
                via += {"-c", "sh nest.sh " + QByteArray::number(levels) + R"( parent.pid "$0" "$@"; true)"};
            row(QByteArray("owner ") + label, agent, R"({"session_id":"owned","sessionId":"owned"})", "owned",
                {{"pid", found ? "started" : "parent"}}, nullptr, via);
        };
        owner("29 between", "claude", {"./claude"}, true);
        owner("30 between", "claude", {"./claude"}, false, 30);
        owner("name with parentheses", "claude", {"./a) (claude"}, true);
        owner("only copilot", "claude", {"./copilot"}, false);
        owner("copilot", "copilot", {"./Copilot"}, true);
        // Qwen Code and Gemini CLI are node running their bundles.
        owner("qwen", "qwen", {"./node", "node_modules/@qwen-code/qwen-code/cli.js"}, true);
        owner("qwen another script", "qwen", {"./node", "node_modules/other/cli.js"}, false);
        owner("gemini", "gemini", {"./node", "node_modules/@google/gemini-cli/bundle/gemini.js"}, true);
    }

    // Each payload into a missing folder, then over an older record beside another session's.
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
        QCOMPARE(QString::fromStdString(record.dump()), QString::fromStdString(wanted.dump()));
    }

    // Under Codex's shared app-server the owner is the one other Codex process in the session's folder.
    void sharedServerOwnsNoSession()
    {
        const fs::path folders = root() / "codex sessions";
        fs::create_directories(folders / "a");
        fs::create_directories(folders / "b");
        fs::create_directory_symlink("a", folders / "link-to-a");
        const std::tuple<std::vector<const char *>, const char *, int> cases[] = {
            // folders where a Codex session runs, the payload's, the owner's index (-1: none)
            {{"a", "b"}, "a", 0},
            {{"a"}, "link-to-a", 0},
            {{"a", "a"}, "a", -1},
            {{"b"}, "a", -1},
        };
        for (const auto &[sessions, cwd, owner] : cases) {
            std::vector<std::unique_ptr<QProcess>> running; // ./codex waiting in its folder
            for (const char *folder : sessions) {
                auto &session = running.emplace_back(std::make_unique<QProcess>());
                session->setWorkingDirectory(QString::fromStdString((folders / folder).string()));
                session->start(QString::fromStdString((root() / "codex").string()),
                               {QStringLiteral("-c"), QStringLiteral("read line")});
                QVERIFY(session->waitForStarted());
            }
            writeFile("payload", json {{"session_id", "served"}, {"cwd", (folders / cwd).string()}}.dump());
            const QString run = record(
                {"codex"}, {"./codex", "-c", R"(shift; sh nest.sh 1 parent.pid "$@"; true)", "codex", "app-server"});
            const qint64 expected = owner < 0 ? -1 : running[std::size_t(owner)]->processId();
            for (auto &session : running) {
                session->closeWriteChannel();
                session->waitForFinished();
            }
            QCOMPARE(run, QString());
            QCOMPARE(json::parse(readFile(m_sessions / "served.json")).value("pid", qint64(-1)), expected);
        }
    }

    // Many hooks at once while the application reads: every record read is whole.
    void concurrentRuns()
    {
        constexpr int runs = 200, atOnce = 25, sessions = 10;
        const auto idOf = [](int run) { return "concurrent-" + std::to_string(run % sessions); };
        for (int run = 0; run < runs; ++run)
            writeFile("payload-" + std::to_string(run), json {{"session_id", idOf(run)}, {"marker", run}}.dump());
        std::atomic<bool> writing = true;
        std::atomic<int> unreadable = 0;
        std::thread reader([&] {
            while (writing) {
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
