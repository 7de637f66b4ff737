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
using Files = std::map<std::string, std::string>;

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

// Empty when `command`, `input` on its stdin and its address space bounded, ended as every run must: exit
// status 0, nothing on stdout.
QString run(const QByteArrayList &command, const QString &input)
{
    QStringList arguments;
    for (const QByteArray &word : command)
        arguments << QString::fromUtf8(word);
    QProcess run;
    run.setStandardInputFile(input);
    run.setStandardErrorFile(QProcess::nullDevice()); // a usage message is fine
    run.setChildProcessModifier([] {
        const rlimit limit {recorderMemory, recorderMemory};
        ::setrlimit(RLIMIT_AS, &limit);
    });
    run.start(arguments.takeFirst(), arguments);
    run.waitForFinished(-1);
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    if (run.error() == QProcess::UnknownError && run.exitCode() == 0 && out.isEmpty())
        return {};
    return QStringLiteral("exit %1 (%2), stdout \"%3\"").arg(run.exitCode()).arg(run.errorString(), out);
}

Files snapshot(const fs::path &directory)
{
    Files files;
    for (const auto &entry : fs::directory_iterator(directory))
        files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

} // namespace

class TestHookRecorder : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    fs::path m_sessions;

    fs::path root() const { return m_root.path().toStdString(); }

    // The recorder with `words`, under `via`; empty: ended well.
    QString record(const QByteArrayList &words, const QByteArrayList &via = {})
    {
        return run(via + QByteArrayList {recorder, "--sessions", QByteArray::fromStdString(m_sessions.string())}
                       + words,
                   QStringLiteral("payload"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        fs::current_path(root()); // where the runs find their files
        m_sessions = root() / "my sessions" / "in here";
        writeFile("nest.sh", nestScript);
        for (const char *owner : {"claude", "a) (claude", "codex"})
            fs::copy_file("/bin/dash", owner); // an agent's process
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
        // The payload's members (or `kept`: those kept), then ours; no id: no record.
        const auto row = [](const char *label, const QByteArray &words, const QByteArray &payload, const QByteArray &id,
                            json kept = nullptr, const QByteArrayList &via = {}, const char *pid = nullptr) {
            const QByteArrayList word = words.split(' ');
            if (id.isEmpty())
                return void(QTest::newRow(label) << word << payload << QByteArray() << via);
            json record = kept.is_null() ? json::parse(payload.toStdString()) : kept;
            const bool copilot = word.front() == "copilot";
            const json ours = {{"sessionId", id.toStdString()},
                               {"state", word.value(1).isEmpty() ? "working" : word[1].toStdString()},
                               {"source", word.front().toStdString()},
                               {"event", copilot ? "copilot" : record.value("hook_event_name", "")},
                               {"cwd", record.value("cwd", "")},
                               {"transcriptPath", record.value(copilot ? "transcriptPath" : "transcript_path", "")}};
            for (const char *name : {"pid", "updatedAt"})
                record.erase(name);
            record.update(ours);
            if (pid)
                record["pid"] = pid;
            QTest::newRow(label) << word << payload << QByteArray::fromStdString(record.dump()) << via;
        };
        row("claude", "claude ",
            QByteArray::fromStdString(readFile(testData("hooks/claude-code-2.1.332/SessionStart-1.json"))),
            "0d313c70-ba3d-4f9e-a661-3bf72827e3b0");
        row("copilot", "copilot idle", QByteArray::fromStdString(readFile(testData("hooks/copilot/agentStop.json"))),
            "5f0c7a52-3d1e-4b8a-9c61-2e4f8d9a0b13");
        // Ids keep letters, digits, ".", "_" and "-", at most 128 of them.
        row("members named like ours", "claude idle",
            R"({"session_id":"../a b)" + QByteArray("/a").repeated(100)
                + R"(","sessionId":"theirs","state":"ended","source":"copilot","event":"E",)"
                  R"("cwd":"/c","transcriptPath":7,"updatedAt":"later","pid":-5,"transcript_path":"/t"})",
            ".._a_b" + QByteArray("_a").repeated(61));
        row("long members", "claude",
            R"({"session_id":"long","prompt":")" + QByteArray(100 << 20, 'p') + R"(","title":")"
                + QByteArray(20000, 't') + R"(","cwd":"/w"})",
            "long", {{"session_id", "long"}, {"cwd", "/w"}});
        // Members as written, 16,009 bytes each, fill 1 MiB after 65; the rest are left out, a later small one kept.
        QByteArray payload = R"({"session_id":"big")";
        json kept = {{"session_id", "big"}, {"cwd", "/w"}};
        for (int i = 10; i < 80; ++i) {
            payload += ",\"m" + QByteArray::number(i) + "\":\"" + QByteArray(16000, 'x') + '"';
            if (i < 75)
                kept["m" + std::to_string(i)] = std::string(16000, 'x');
        }
        row("a record at its limit", "claude", payload + R"(,"cwd":"/w"})", "big", kept);
        row("ended", "claude ended", R"({"session_id":"x"})", "");
        row("truncated", "claude", R"({"session_id":"x")", ""); // the parser's other edge cases are fuzzed
        row("no id", "claude", R"({"sessionId":"x"})", "");
        row("script, no recorder", "claude idle", R"({"session_id":"x"})", "", nullptr,
            {"/bin/sh", "-c", "sh missing-hook.sh idle"});
        // The owner: the first of 30 processes up named like the agent, else the parent. 29 shells between,
        // so that the search never reaches this test's own ancestors.
        const std::tuple<const char *, QByteArray, int> owners[] = {{"owner 29 between", "./claude", 29},
                                                                    {"owner 30 between", "./claude", 30},
                                                                    {"owner a) (", "./a) (claude", 29}};
        for (const auto &[label, owner, levels] : owners)
            row(label, "claude", R"({"session_id":"owned"})", "owned", nullptr,
                {owner, "-c",
                 "echo $$ > started.pid; sh nest.sh " + QByteArray::number(levels) + R"( parent.pid "$0" "$@"; true)"},
                levels < 30 ? "started" : "parent");
    }

    // Each payload into a missing folder, or over an older record when it makes none.
    void records()
    {
        QFETCH(QByteArrayList, words);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArrayList, via);
        writeFile("payload", payload);
        if (expected.isEmpty()) {
            fs::create_directories(m_sessions);
            writeFile(m_sessions / "x.json", "older");
        }
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(record(words, via), QString());
        Files files = snapshot(m_sessions);
        if (expected.isEmpty()) {
            QVERIFY(files == (words.value(1) == "ended" ? Files {} : Files {{"x.json", "older"}}));
            return;
        }
        QCOMPARE(fs::status(m_sessions).permissions(), fs::perms::owner_all);
        QCOMPARE(files.size(), std::size_t(1)); // no temporary left
        json record = json::parse(files[json::parse(expected)["sessionId"].get<std::string>() + ".json"]);
        QVERIFY(record["updatedAt"] >= before && record["updatedAt"] <= QDateTime::currentSecsSinceEpoch());
        record.erase("updatedAt");
        json wanted = json::parse(expected.toStdString());
        if (!wanted.contains("pid"))
            record.erase("pid");
        else
            wanted["pid"] = std::stoi(readFile(wanted["pid"].get<std::string>() + ".pid"));
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
            QCOMPARE(record({"codex"}, {"./codex", "-c", R"("$@"; true)", "app-server"}), QString());
            QCOMPARE(json::parse(readFile(m_sessions / "served.json")).value("pid", qint64(-1)),
                     running.size() == 2 ? running[1]->processId() : -1);
        }
    }

    // Many hooks at once while the application reads: every record read is whole.
    void concurrentRuns()
    {
        constexpr int sessions = 10;
        for (int run = 0; run < 200; ++run)
            writeFile(std::to_string(run),
                      json {{"session_id", std::to_string(run % sessions)}, {"marker", run}}.dump());
        std::atomic<bool> writing = true;
        std::atomic<int> unreadable = 0;
        std::thread reader([&] {
            for (std::error_code error; writing;)
                for (const auto &entry : fs::directory_iterator(m_sessions, error))
                    unreadable += entry.path().extension() == ".json" && !decodeSessionRecord(readFile(entry.path()));
        });
        const QString failure = run({"/bin/sh", "-c",
                                     "seq 0 199 | xargs -P 25 -I @ "
                                     R"(sh -c '"$0" --sessions "$1" claude < @' "$0" "$1")",
                                     recorder, QByteArray::fromStdString(m_sessions.string())},
                                    QStringLiteral("/dev/null"));
        writing = false;
        reader.join();
        QCOMPARE(failure, QString());
        QCOMPARE(unreadable.load(), 0);
        const Files records = snapshot(m_sessions);
        QCOMPARE(records.size(), std::size_t(sessions));
        for (const auto &[name, text] : records) // one of the session's own runs, whole
            QCOMPARE(json::parse(text).value("marker", -1) % sessions, std::stoi(name));
    }
};

QTEST_GUILESS_MAIN(TestHookRecorder)
#include "tst_hookrecorder.moc"
