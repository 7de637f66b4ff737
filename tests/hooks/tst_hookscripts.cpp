#include "hooks/HookScripts.h"
#include "sessions/SessionRecord.h"
#include "sessions/SessionScanner.h"
#include "support/FakeClock.h"
#include "support/FakeProcessProbe.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <nlohmann/json.hpp>

#include <atomic>
#include <deque>
#include <fnmatch.h>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <unistd.h>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace Qt::StringLiterals;
using nlohmann::json;
namespace fs = std::filesystem;

Q_DECLARE_METATYPE(HookAgent)

namespace {

const QStringList shells = {u"dash"_s, u"bash"_s, u"busybox"_s};
const auto claude = HookAgent::Claude;
const auto copilot = HookAgent::Copilot;
// The keys that the scripts set; every other payload member stays as it was.
const std::set<std::string> recordKeys
    = {"sessionId", "state", "event", "source", "cwd", "transcriptPath", "updatedAt", "pid"};

// `levels` shells between the caller and the hook, each a process of its own;
// the innermost writes its pid (the hook's direct parent) to a file.
constexpr std::string_view nestScript = R"(n=$1; pidfile=$2; shift 2
if [ "$n" -gt 1 ]; then sh "$0" $((n - 1)) "$pidfile" "$@"; exit; fi
echo $$ > "$pidfile"
"$@"; exit
)";

const char *idKey(HookAgent agent)
{
    return agent == claude ? "session_id" : "sessionId";
}

json parsed(const std::string &bytes)
{
    return json::parse(bytes, nullptr, false);
}

// JSON values compared as their text, which QCOMPARE shows when they differ.
QString text(const json &value)
{
    return QString::fromStdString(value.dump());
}

QByteArray payloadFile(const char *name)
{
    return QByteArray::fromStdString(readFile(testData(std::string("hooks/") + name)));
}

std::map<std::string, std::string> snapshot(const fs::path &directory)
{
    std::map<std::string, std::string> files;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(directory, error))
        files[entry.path().filename().string()] = readFile(entry.path());
    return files;
}

// Whether this process or one above it carries an agent's name, which a walk
// that reaches this far would take for the owner.
bool ancestorNameMatches(const char *pattern)
{
    for (long pid = ::getpid(), n = 0; pid > 1 && n < 32; ++n) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        std::string name;
        for (pid = 0; std::getline(status, line);) {
            if (line.starts_with("Name:"))
                name = line.substr(6);
            else if (line.starts_with("PPid:"))
                pid = std::stol(line.substr(5));
        }
        if (::fnmatch(pattern, name.c_str(), 0) == 0)
            return true;
    }
    return false;
}

void shellAndAgentColumns()
{
    QTest::addColumn<QString>("shell");
    QTest::addColumn<HookAgent>("agent");
}

// One row for each shell; the shell is the first column.
template<typename... Values> void addShellRows(const char *label, const Values &...values)
{
    for (const QString &shell : shells)
        ((QTest::addRow("%s %s", qPrintable(shell), label) << shell) << ... << values);
}

} // namespace

class TestHookScripts : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    fs::path m_sessions;
    fs::path m_temporary;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();

    fs::path root() const { return m_root.path().toStdString(); }
    fs::path script(HookAgent agent) const { return root() / (agent == claude ? "claude-hook.sh" : "copilot-hook.sh"); }

    void startHook(QProcess &process, const QString &shell, HookAgent agent, const QStringList &arguments)
    {
        process.setProcessEnvironment(m_environment);
        const QStringList program = shell == u"busybox" ? QStringList {u"busybox"_s, u"sh"_s} : QStringList {shell};
        process.start(program.first(),
                      program.mid(1) + QStringList {QString::fromStdString(script(agent).string())} + arguments);
    }

    // Empty when the run ended as every run must: exit status 0, nothing on stdout.
    static QString finished(QProcess &process)
    {
        if (!process.waitForFinished(120'000))
            return u"still running"_s;
        const QByteArray out = process.readAllStandardOutput();
        if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && out.isEmpty())
            return {};
        return QStringLiteral("exit %1, stdout \"%2\", stderr \"%3\"")
            .arg(process.exitCode())
            .arg(QString::fromUtf8(out), QString::fromUtf8(process.readAllStandardError()));
    }

    QString runHook(const QString &shell, HookAgent agent, const QStringList &arguments, const QByteArray &payload)
    {
        QProcess process;
        startHook(process, shell, agent, arguments);
        process.write(payload);
        process.closeWriteChannel();
        return finished(process);
    }

    // The record of `stem` if the application can decode it, else null.
    json record(const std::string &stem)
    {
        const auto bytes = readFile(m_sessions / (stem + ".json"));
        return decodeSessionRecord(bytes) ? parsed(bytes) : json();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY(fs::exists(LULLWATCH_BINARY_DIR "/lullwatch-json"));
        m_sessions = root() / "my sessions";
        m_temporary = root() / "tmp dir";
        fs::create_directories(m_temporary);
        m_environment.insert(u"TMPDIR"_s, QString::fromStdString(m_temporary.string()));
        for (const auto agent : {claude, copilot})
            writeFile(script(agent),
                      hookScriptText(agent, m_sessions.string(), LULLWATCH_BINARY_DIR "/lullwatch-json"));
        writeFile(root() / "nest.sh", nestScript);
    }

    void init() { fs::remove_all(m_sessions); }

    // No run leaves a temporary file behind, wherever it made one.
    void cleanup()
    {
        QCOMPARE(snapshot(m_temporary).size(), std::size_t(0));
        for (const auto &[name, bytes] : snapshot(m_sessions))
            QVERIFY2(name.ends_with(".json") && !name.starts_with(".record."), name.c_str());
    }

    void writesRecord_data()
    {
        shellAndAgentColumns();
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("state");
        const auto row
            = [](const char *label, HookAgent agent, const QByteArray &payload, QStringList arguments,
                 const char *state) { addShellRows(label, agent, payload, arguments, QString::fromLatin1(state)); };
        row("no state", claude, payloadFile("claude-code-2.1.197/SessionStart-1.json"), {}, "working");
        row("empty state", claude, payloadFile("claude-code-2.1.332/SessionStart-1.json"), {u""_s}, "working");
        row("working", claude, payloadFile("claude-code-2.1.197/UserPromptSubmit-1.json"), {u"working"_s}, "working");
        row("waiting", claude, payloadFile("claude-code-2.1.332/Notification-1.json"), {u"waiting"_s}, "waiting");
        row("idle", claude, payloadFile("claude-code-2.1.197/Stop-1.json"), {u"idle"_s}, "idle");
        row("idle 2.1.332", claude, payloadFile("claude-code-2.1.332/Stop-1.json"), {u"idle"_s}, "idle");
        row("copilot no state", copilot, payloadFile("copilot/sessionStart.json"), {}, "working");
        row("copilot waiting", copilot, payloadFile("copilot/notification.json"), {u"waiting"_s}, "waiting");
        row("copilot idle", copilot, payloadFile("copilot/agentStop.json"), {u"idle"_s}, "idle");
        row("bare", claude, QByteArray("{\"session_id\":\"bare-1\"}"), {u"idle"_s}, "idle");
        row("copilot bare", copilot, QByteArray("{\"sessionId\":\"bare-2\",\"n\":[1.5,null]}"), {u"waiting"_s},
            "waiting");
        json prompt = parsed(payloadFile("claude-code-2.1.197/UserPromptSubmit-1.json").toStdString());
        prompt["prompt"] = std::string(100'000, 'p');
        row("long prompt", claude, QByteArray::fromStdString(prompt.dump()), {u"working"_s}, "working");
    }

    void writesRecord()
    {
        QFETCH(QString, shell);
        QFETCH(HookAgent, agent);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, arguments);
        QFETCH(QString, state);
        const json payload = parsed(bytes.toStdString());
        QVERIFY(payload.is_object());

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(runHook(shell, agent, arguments, bytes), QString());
        const qint64 after = QDateTime::currentSecsSinceEpoch();

        const std::string id = payload[idKey(agent)];
        const auto decoded = decodeSessionRecord(readFile(m_sessions / (id + ".json")));
        QVERIFY(decoded);
        json written = record(id);
        for (const auto &[key, value] : payload.items()) {
            // A long prompt or tool result is left out; the small members stay.
            if (value.dump().size() > 16 * 1024)
                QVERIFY2(!written.contains(key), key.c_str());
            else if (!recordKeys.contains(key))
                QCOMPARE(text(written[key]), text(value));
        }
        for (const auto &[key, value] : written.items())
            QVERIFY2(payload.contains(key) || recordKeys.contains(key), key.c_str());

        const bool isClaude = agent == claude;
        QCOMPARE(text(written["sessionId"]), text(id));
        QCOMPARE(text(written["state"]), text(state.toStdString()));
        QCOMPARE(text(written["event"]), text(isClaude ? payload.value("hook_event_name", "") : "copilot"));
        QCOMPARE(text(written["source"]), text(isClaude ? "claude" : "copilot"));
        QCOMPARE(text(written["cwd"]), text(payload.value("cwd", "")));
        QCOMPARE(text(written["transcriptPath"]),
                 text(payload.value(isClaude ? "transcript_path" : "transcriptPath", "")));
        QVERIFY(written["updatedAt"].is_number_integer());
        QVERIFY(written["updatedAt"] >= before && written["updatedAt"] <= after);
        QVERIFY(written["pid"].is_number_integer() && written["pid"] > 1);
        QCOMPARE(decoded->source, isClaude ? SessionSource::Claude : SessionSource::Copilot);
        QCOMPARE(decoded->notificationType.has_value(), payload.contains("notification_type"));
    }

    // cwd and transcriptPath must be strings for the record to decode.
    void pathMembers_data()
    {
        shellAndAgentColumns();
        QTest::addColumn<QByteArray>("bytes");
        for (const auto agent : {claude, copilot}) {
            for (const char *value : {"\"/w/a b\"", "\"/w/a\\n\"", "\"\"", "5", "true", "null", "{}", "[1]"}) {
                const QByteArray label = (agent == claude ? "claude " : "copilot ") + QByteArray(value);
                addShellRows(label.constData(), agent, QByteArray(value));
            }
        }
    }

    void pathMembers()
    {
        QFETCH(QString, shell);
        QFETCH(HookAgent, agent);
        QFETCH(QByteArray, bytes);
        const std::string given = bytes.toStdString();
        const std::string payload = std::string("{\"") + idKey(agent) + "\":\"m\",\"cwd\":" + given + ",\""
            + (agent == claude ? "transcript_path" : "transcriptPath") + "\":" + given + "}";
        QCOMPARE(runHook(shell, agent, {u"idle"_s}, QByteArray::fromStdString(payload)), QString());

        json written = record("m");
        const json value = parsed(given);
        // The JSON tool prints numbers and booleans as they are spelled; null,
        // objects and arrays have no text.
        const json expected = value.is_string()       ? value
            : value.is_number() || value.is_boolean() ? json(given)
                                                      : json("");
        QVERIFY2(written.is_object(), "the record does not decode");
        QCOMPARE(text(written["cwd"]), text(expected));
        QCOMPARE(text(written["transcriptPath"]), text(expected));
    }

    void sanitisesIds_data()
    {
        shellAndAgentColumns();
        QTest::addColumn<QByteArray>("id");
        QTest::addColumn<QByteArray>("stem");
        addShellRows("safe", claude, QByteArray("A-z_0.9"), QByteArray("A-z_0.9"));
        addShellRows("dots and slash", claude, QByteArray("../a b"), QByteArray(".._a_b"));
        addShellRows("all slashes", claude, QByteArray("//////"), QByteArray("______"));
        addShellRows("utf-8", claude, QByteArray("é€x"), QByteArray("_____x"));
        addShellRows("controls", claude, QByteArray("t\tq\"b\\\x01"), QByteArray("t_q_b__"));
        addShellRows("long", claude, QByteArray(200, 'a'), QByteArray(128, 'a'));
        addShellRows("long unsafe", claude, QByteArray("a/").repeated(100), QByteArray("a_").repeated(64));
        addShellRows("copilot", copilot, QByteArray("c/d"), QByteArray("c_d"));
        addShellRows("trailing line feed", claude, QByteArray("ab\n"), QByteArray("ab_"));
        // A shell variable cannot hold a NUL byte: it is dropped, and the id
        // still cannot leave the folder.
        addShellRows("nul", claude, QByteArray("a\0b", 3), QByteArray("ab"));
    }

    void sanitisesIds()
    {
        QFETCH(QString, shell);
        QFETCH(HookAgent, agent);
        QFETCH(QByteArray, id);
        QFETCH(QByteArray, stem);
        const json payload = {{idKey(agent), id.toStdString()}};
        QCOMPARE(runHook(shell, agent, {u"idle"_s}, QByteArray::fromStdString(payload.dump())), QString());

        const auto files = snapshot(m_sessions);
        const json written = files.size() == 1 ? record(fs::path(files.begin()->first).stem().string()) : json();
        const std::string outcome = written.is_object() ? files.begin()->first + " of " + written.value("sessionId", "")
                                                        : std::to_string(files.size()) + " files";
        QCOMPARE(QByteArray::fromStdString(outcome), stem + ".json of " + stem);
    }

    void endedRemovesRecord_data()
    {
        shellAndAgentColumns();
        QTest::addColumn<QByteArray>("payload");
        addShellRows("claude", claude, payloadFile("claude-code-2.1.197/SessionEnd-1.json"));
        addShellRows("claude 2.1.332", claude, payloadFile("claude-code-2.1.332/SessionEnd-1.json"));
        addShellRows("copilot", copilot, payloadFile("copilot/agentStop.json"));
    }

    void endedRemovesRecord()
    {
        QFETCH(QString, shell);
        QFETCH(HookAgent, agent);
        QFETCH(QByteArray, payload);
        const std::string id = parsed(payload.toStdString())[idKey(agent)];

        QCOMPARE(runHook(shell, agent, {u"ended"_s}, payload), QString());
        QVERIFY(!fs::exists(m_sessions)); // nothing to remove, nothing made

        QCOMPARE(runHook(shell, agent, {u"working"_s}, payload), QString());
        writeFile(m_sessions / "other.json", recordJson("other", "idle", 1));
        QVERIFY(fs::exists(m_sessions / (id + ".json")));
        QCOMPARE(runHook(shell, agent, {u"ended"_s}, payload), QString());
        QCOMPARE(snapshot(m_sessions).size(), std::size_t(1));
        QVERIFY(fs::exists(m_sessions / "other.json"));
    }

    void ignoresUnusablePayloads_data()
    {
        shellAndAgentColumns();
        QTest::addColumn<QByteArray>("payload");
        const std::pair<const char *, const char *> payloads[] = {
            {"empty", ""},
            {"text", "session_id=x\n"},
            {"truncated", "{\"session_id\":\"x\""},
            {"trailing garbage", "{\"session_id\":\"x\"} x"},
            {"array", "[{\"session_id\":\"x\"}]"},
            {"string", "\"x\""},
            {"no id", "{\"cwd\":\"/x\"}"},
            {"null id", "{\"session_id\":null}"},
            {"empty id", "{\"session_id\":\"\"}"},
            {"object id", "{\"session_id\":{\"a\":\"x\"}}"},
            {"nested id", "{\"a\":{\"session_id\":\"x\"}}"},
            {"the other agent's key", "{\"sessionId\":\"x\"}"},
            {"invalid utf-8", "{\"session_id\":\"x\xff\"}"},
        };
        for (const auto &[label, payload] : payloads)
            addShellRows(label, claude, QByteArray(payload));
        const QByteArray deep = "{\"session_id\":\"x\",\"a\":" + QByteArray(512, '[') + QByteArray(512, ']') + '}';
        addShellRows("nested 513 deep", claude, deep);
        addShellRows("copilot empty", copilot, QByteArray());
        addShellRows("copilot the other agent's key", copilot, QByteArray("{\"session_id\":\"x\"}"));
    }

    void ignoresUnusablePayloads()
    {
        QFETCH(QString, shell);
        QFETCH(HookAgent, agent);
        QFETCH(QByteArray, payload);
        QCOMPARE(runHook(shell, agent, {u"working"_s}, payload), QString());
        QVERIFY(snapshot(m_sessions).empty());
        fs::create_directories(m_sessions);
        writeFile(m_sessions / "x.json", recordJson("x", "idle", 1));
        const auto before = snapshot(m_sessions);
        for (const QString &state : QStringList {u"working"_s, u"ended"_s})
            QCOMPARE(runHook(shell, agent, {state}, payload), QString());
        QVERIFY(snapshot(m_sessions) == before);
    }

    void findsOwner_data()
    {
        shellAndAgentColumns();
        QTest::addColumn<QString>("ownerName"); // empty: no process of that name
        QTest::addColumn<int>("levels"); // shells between that process and the hook
        QTest::addColumn<bool>("found");
        // The direct parent is the first process looked at, and 30 the most.
        addShellRows("sh -c under claude", claude, u"claude"_s, 1, true);
        addShellRows("28 between", claude, u"claude"_s, 28, true);
        addShellRows("29 between", claude, u"claude"_s, 29, true);
        addShellRows("30 between", claude, u"claude"_s, 30, false);
        addShellRows("name inside", claude, u"myClaude-2"_s, 2, true);
        addShellRows("no claude", claude, QString(), 1, false);
        addShellRows("only copilot", claude, u"copilot"_s, 1, false);
        addShellRows("copilot", copilot, u"Copilot"_s, 1, true);
        addShellRows("copilot 29 between", copilot, u"copilot"_s, 29, true);
        addShellRows("copilot 30 between", copilot, u"copilot"_s, 30, false);
        addShellRows("copilot only claude", copilot, u"claude"_s, 1, false);
    }

    void findsOwner()
    {
        QFETCH(QString, shell);
        QFETCH(HookAgent, agent);
        QFETCH(QString, ownerName);
        QFETCH(int, levels);
        QFETCH(bool, found);
        if (!found && levels < 29 && ancestorNameMatches(agent == claude ? "*[Cc]laude*" : "*[Cc]opilot*"))
            QSKIP("a process above this test carries the agent's name");

        // The owner is a copy of dash under the agent's name.
        std::string program = "/bin/sh";
        if (!ownerName.isEmpty()) {
            program = (root() / ownerName.toStdString()).string();
            if (!fs::exists(program))
                fs::copy_file("/usr/bin/dash", program);
        }
        const auto pidFile = root() / "parent.pid";
        fs::remove(pidFile);
        writeFile(root() / "payload.json", "{\"session_id\":\"owned\",\"sessionId\":\"owned\"}");
        // "; true" keeps each sh -c a process of its own, as an agent's is.
        const std::string command = "sh " + shellQuote((root() / "nest.sh").string()) + ' ' + std::to_string(levels)
            + ' ' + shellQuote(pidFile.string())
            + (shell == u"busybox" ? " busybox sh " : ' ' + shell.toStdString() + ' ')
            + shellQuote(script(agent).string()) + " working; true";

        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.setStandardInputFile(QString::fromStdString((root() / "payload.json").string()));
        process.start(QString::fromStdString(program), {u"-c"_s, QString::fromStdString(command)});
        QVERIFY(process.waitForStarted());
        const qint64 ownerPid = process.processId();
        QCOMPARE(finished(process), QString());

        const qint64 parentPid = std::stoll(readFile(pidFile));
        QVERIFY(parentPid != ownerPid);
        json written = record("owned");
        QCOMPARE(text(written["pid"]), text(found ? ownerPid : parentPid));
    }

    void concurrentRunsWhileScanning()
    {
        constexpr int runs = 200;
        constexpr int atOnce = 25;
        constexpr int sessions = 10;
        const auto idOf = [](int run) { return "concurrent-" + std::to_string(run % sessions); };
        const auto agentOf = [](int run) { return run % sessions < 5 ? claude : copilot; };
        const auto payloadOf = [&](int run) { return root() / "payloads" / (std::to_string(run) + ".json"); };
        fs::create_directories(root() / "payloads");
        for (int run = 0; run < runs; ++run) {
            const json payload = {{idKey(agentOf(run)), idOf(run)},
                                  {"hook_event_name", "UserPromptSubmit"},
                                  {"cwd", "/home/dev/work"},
                                  {"marker", run}};
            writeFile(payloadOf(run), payload.dump());
        }

        // Scans, and reads of every record file seen, for as long as hooks run.
        FakeClock clock(static_cast<double>(QDateTime::currentSecsSinceEpoch()));
        FakeProcessProbe probe;
        SessionScanner scanner(m_sessions, clock, probe, {}, m_temporary);
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

        std::deque<std::unique_ptr<QProcess>> running;
        QString failure;
        for (int run = 0; run < runs || !running.empty();) {
            if (run < runs && running.size() < atOnce) {
                running.push_back(std::make_unique<QProcess>());
                running.back()->setStandardInputFile(QString::fromStdString(payloadOf(run).string()));
                startHook(*running.back(), shells[run % shells.size()], agentOf(run), {u"working"_s});
                ++run;
            } else {
                if (const QString outcome = finished(*running.front()); failure.isEmpty())
                    failure = outcome;
                running.pop_front();
            }
        }
        writing = false;
        reader.join();

        QCOMPARE(failure, QString());
        QVERIFY(scans > 0 && filesRead > 0);
        QCOMPARE(undecodable.load(), 0);
        QCOMPARE(unknownIds.load(), 0);
        QCOMPARE(snapshot(m_sessions).size(), std::size_t(sessions));
        for (int session = 0; session < sessions; ++session) {
            json written = record(idOf(session));
            QCOMPARE(text(written["sessionId"]), text(idOf(session)));
            QVERIFY(written["marker"].is_number_integer());
            QCOMPARE(written["marker"].get<int>() % sessions, session);
        }
    }
};

QTEST_GUILESS_MAIN(TestHookScripts)
#include "tst_hookscripts.moc"
