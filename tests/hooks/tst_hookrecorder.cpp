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
#include <map>
#include <sys/resource.h>
#include <thread>

using namespace lullwatch;
using namespace lullwatch::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const QByteArray recorder = LULLWATCH_BINARY_DIR "/lullwatch-hook";

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
std::unique_ptr<QProcess> start(const QByteArrayList &command, const std::string &input, const std::string &output)
{
    QStringList arguments;
    for (const QByteArray &word : command)
        arguments << QString::fromUtf8(word);
    auto run = std::make_unique<QProcess>();
    run->setStandardInputFile(QString::fromStdString(input));
    run->setStandardOutputFile(QString::fromStdString(output));
    run->setStandardErrorFile(QProcess::nullDevice()); // a usage message is fine
    run->setChildProcessModifier([] {
        const rlimit limit {recorderMemory, recorderMemory};
        ::setrlimit(RLIMIT_AS, &limit);
    });
    run->start(arguments.takeFirst(), arguments);
    return run;
}

// Empty when the run ended as every run must: exit status 0, nothing on stdout.
QString finished(QProcess &run, const std::string &output)
{
    run.waitForFinished(-1);
    const std::string out = readFile(output);
    if (run.error() == QProcess::UnknownError && run.exitCode() == 0 && out.empty())
        return {};
    return QStringLiteral("exit %1 (%2), stdout \"%3\"")
        .arg(run.exitCode())
        .arg(run.errorString(), QString::fromStdString(out));
}

std::map<std::string, std::string> snapshot(const fs::path &directory)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::directory_iterator(directory))
        files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

} // namespace

class TestHookRecorder : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    fs::path m_sessions;
    qint64 m_started = 0;

    fs::path root() const { return m_root.path().toStdString(); }

    // The recorder with `words`, under `via` (or the hook script last in it); empty: ended well.
    QString record(const QByteArrayList &words, const QByteArrayList &via = {})
    {
        const bool script = !via.isEmpty() && via.back().endsWith(".sh"); // a script knows its agent
        const QByteArray sessions = QByteArray::fromStdString(m_sessions.string());
        const auto command = via + (script ? words.mid(1) : QByteArrayList {recorder, "--sessions", sessions} + words);
        const auto run = start(command, "payload", "out");
        m_started = run->processId();
        return finished(*run, "out");
    }

private Q_SLOTS:
    void initTestCase()
    {
        fs::current_path(root()); // where the runs find their files
        m_sessions = root() / "my sessions" / "in here";
        writeFile("nest.sh", nestScript);
        for (const char *owner : {"claude", "a) (claude", "Copilot", "node", "codex"})
            fs::copy_file("/bin/dash", owner); // an agent's process
        for (const char *script :
             {"node_modules/@qwen-code/qwen-code/cli.js", "node_modules/@google/gemini-cli/bundle/gemini.js"}) {
            fs::create_directories(fs::path(script).parent_path());
            writeFile(script, "sh nest.sh 29 parent.pid \"$@\"\n");
        }
        const Agent &claude = agentFor(SessionSource::Claude);
        writeFile("missing-hook.sh", hookScriptText(claude, m_sessions.string(), recorder.toStdString() + "-missing"));
    }

    void init() { fs::remove_all(m_sessions.parent_path()); }

    void records_data()
    {
        QTest::addColumn<QByteArrayList>("words"); // the agent, the state
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("expected"); // but updatedAt (and pid unless named); none: no record
        QTest::addColumn<QByteArrayList>("via"); // what runs the recorder; none: this test
        // The payload's members (or `members`: those kept), then ours.
        const auto row = [](const QByteArray &label, const QByteArray &words, const QByteArray &payload,
                            const QByteArray &stem, const json &overrides = {}, json members = nullptr,
                            const QByteArrayList &via = {}) {
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
            QTest::newRow(label.constData()) << word << payload << QByteArray::fromStdString(record.dump()) << via;
        };
        const auto none = [](const QByteArray &label, const QByteArray &payload, const QByteArray &words = "claude",
                             const QByteArrayList &via = {}) {
            QTest::newRow(label.constData()) << words.split(' ') << payload << QByteArray() << via;
        };
        row("claude", "claude ",
            QByteArray::fromStdString(readFile(testData("hooks/claude-code-2.1.332/SessionStart-1.json"))),
            "0d313c70-ba3d-4f9e-a661-3bf72827e3b0");
        row("copilot", "copilot idle", QByteArray::fromStdString(readFile(testData("hooks/copilot/agentStop.json"))),
            "5f0c7a52-3d1e-4b8a-9c61-2e4f8d9a0b13");
        // Ids keep letters, digits, ".", "_" and "-", at most 128 of them.
        row("id with a path", "claude", R"({"session_id":"../a b"})", ".._a_b");
        row("id too long", "claude", "{\"session_id\":\"" + QByteArray("a/").repeated(100) + "\"}",
            QByteArray("a_").repeated(64));
        row("members named like ours", "claude idle",
            R"({"session_id":"ours","sessionId":"theirs","state":"ended","source":"copilot","event":"E",)"
            R"("cwd":"/c","transcriptPath":7,"updatedAt":"later","pid":-5,"transcript_path":"/t"})",
            "ours");
        row("long members", "claude",
            R"({"session_id":"long","prompt":")" + QByteArray(100 << 20, 'p') + R"(","title":")"
                + QByteArray(20000, 't') + R"(","cwd":"/w"})",
            "long", {}, {{"session_id", "long"}, {"cwd", "/w"}});
        none("ended", R"({"session_id":"x"})", "claude ended");
        none("truncated", R"({"session_id":"x")"); // the parser's other edge cases are fuzzed
        none("no id", R"({"sessionId":"x"})");
        none("unknown agent", R"({"session_id":"x"})", "Claude");
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
        owner("copilot", "copilot", {"./Copilot"}, true);
        // Qwen Code and Gemini CLI are node running their bundles.
        owner("qwen", "qwen", {"./node", "node_modules/@qwen-code/qwen-code/cli.js"}, true);
        owner("gemini", "gemini", {"./node", "node_modules/@google/gemini-cli/bundle/gemini.js"}, true);
    }

    // Each payload into a missing folder, then over an older record beside another session's.
    void records()
    {
        QFETCH(QByteArrayList, words);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArrayList, via);
        const std::string file
            = (expected.isEmpty() ? "x" : json::parse(expected)["sessionId"].get<std::string>()) + ".json";
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
        writeFile("payload", json {{"session_id", "served"}, {"cwd", (root() / "a").string()}}.dump());
        std::vector<std::unique_ptr<QProcess>> running; // ./codex waiting in its folder
        for (const char *folder : {"b", "a", "a"}) { // the one in a owns the session till another joins it
            fs::create_directories(folder);
            auto &session = running.emplace_back(std::make_unique<QProcess>());
            session->setWorkingDirectory(QString::fromLatin1(folder));
            session->start(QString::fromStdString((root() / "codex").string()),
                           {QStringLiteral("-c"), QStringLiteral("read line")});
            QVERIFY(session->waitForStarted());
            if (running.size() == 1)
                continue;
            QCOMPARE(record({"codex"},
                            {"./codex", "-c", R"(shift; sh nest.sh 1 parent.pid "$@"; true)", "codex", "app-server"}),
                     QString());
            QCOMPARE(json::parse(readFile(m_sessions / "served.json")).value("pid", qint64(-1)),
                     running.size() == 2 ? running[1]->processId() : -1);
        }
    }

    // Many hooks at once while the application reads: every record read is whole.
    void concurrentRuns()
    {
        constexpr int runs = 200, atOnce = 25, sessions = 10;
        for (int run = 0; run < runs; ++run)
            writeFile(std::to_string(run),
                      json {{"session_id", std::to_string(run % sessions)}, {"marker", run}}.dump());
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
            std::map<int, std::unique_ptr<QProcess>> batch;
            for (int run = first; run < first + atOnce; ++run)
                batch[run] = start({recorder, "--sessions", QByteArray::fromStdString(m_sessions.string()), "claude"},
                                   std::to_string(run), std::to_string(run) + ".out");
            for (const auto &[run, process] : batch)
                failure += finished(*process, std::to_string(run) + ".out");
        }
        writing = false;
        reader.join();
        QCOMPARE(failure, QString());
        QCOMPARE(unreadable.load(), 0);
        QCOMPARE(snapshot(m_sessions).size(), std::size_t(sessions));
        for (int session = 0; session < sessions; ++session) // one of the session's own runs, whole
            QCOMPARE(json::parse(readFile(m_sessions / (std::to_string(session) + ".json"))).value("marker", -1)
                         % sessions,
                     session);
    }
};

QTEST_GUILESS_MAIN(TestHookRecorder)
#include "tst_hookrecorder.moc"
