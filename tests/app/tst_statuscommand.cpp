#include "sessions/SessionState.h"
#include "support/TestFiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

using namespace lullwatch;
using namespace lullwatch::test;
namespace fs = std::filesystem;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

double nowSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace

class TestStatusCommand : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_dataHome; // empty: the default under HOME

    fs::path sessionsFolder() const
    {
        const fs::path data = m_dataHome.isEmpty() ? fs::path(m_home.path().toStdString()) / ".local/share"
                                                   : fs::path(m_dataHome.toStdString());
        return data / "lullwatch" / "sessions";
    }

    void writeRecord(const std::string &name, const std::string &json)
    {
        fs::create_directories(sessionsFolder());
        writeFile(sessionsFolder() / name, json);
    }

    Run lullwatch(const QStringList &arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_dataHome);
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(LULLWATCH_BINARY_DIR "/lullwatch"), arguments);
        if (!process.waitForFinished(60000))
            return {};
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
                process.readAllStandardError()};
    }

private Q_SLOTS:
    void init()
    {
        m_dataHome.clear();
        std::error_code ignored;
        fs::remove_all(fs::path(m_home.path().toStdString()) / ".local", ignored);
    }

    void noSessions()
    {
        Run run = lullwatch({QStringLiteral("status")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray("No active sessions\n"));
        run = lullwatch({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(run.out).array().size(), 0);
        QVERIFY(QJsonDocument::fromJson(run.out).isArray());
    }

    void tableAndJson()
    {
        const double now = std::floor(nowSeconds());
        writeRecord("claude.json",
                    recordJson("c-1", "idle", now - 10,
                               testData("transcripts/local-claude-code-2.1.197/print-mode-tool-use.jsonl"), "",
                               "/home/dev/work/my prøject"));
        writeRecord("copilot.json",
                    recordJson("p-2", "waiting", now - 5, "",
                               R"(,"source":"copilot","notification_type":"permission_prompt")", "/srv/api/"));
        writeRecord("expired.json", recordJson("old", "working", now - 90000));

        // Totals worked out with tests/tools/transcript_totals.py: context 4733,
        // output 110, cache reads 6000, 2 turns.
        const Run table = lullwatch({QStringLiteral("status")});
        QCOMPARE(table.exitCode, 0);
        QCOMPARE(table.out,
                 QByteArray("FOLDER      AGENT    STATE      CONTEXT  OUTPUT  CACHE  TURNS  MODEL\n"
                            "api         Copilot  Needs you  0        0       0      0      -\n"
                            "my prøject  Claude   Idle       4k       110     6k     2      claude-opus-4-8\n"));
        QVERIFY(!fs::exists(sessionsFolder() / "expired.json"));

        const Run json = lullwatch({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(json.exitCode, 0);
        QJsonArray sessions = QJsonDocument::fromJson(json.out).array();
        QCOMPARE(sessions.size(), 2);
        QCOMPARE(sessions[0].toObject()[u"updatedAt"].toDouble(), now - 5);
        QJsonObject claude = sessions[1].toObject();
        QVERIFY(claude.take(u"transcriptPath").toString().endsWith(u"print-mode-tool-use.jsonl"));
        sessions[1] = claude;
        const auto expected = QJsonDocument::fromJson(R"([
            {"cwd": "/srv/api/", "event": "UserPromptSubmit", "id": "p-2", "isStale": false, "source": "copilot",
             "state": "waiting", "transcriptPath": "", "updatedAt": 0,
             "usage": {"cacheCreationTokens": 0, "cacheReadTokens": 0, "contextTokens": 0, "inputTokens": 0,
                       "model": null, "outputTokens": 0, "turns": 0}},
            {"cwd": "/home/dev/work/my prøject", "event": "UserPromptSubmit", "id": "c-1", "isStale": false,
             "source": "claude", "state": "idle", "updatedAt": 0,
             "usage": {"cacheCreationTokens": 400, "cacheReadTokens": 6000, "contextTokens": 4733,
                       "inputTokens": 3000, "model": "claude-opus-4-8", "outputTokens": 110, "turns": 2}}])");
        for (qsizetype i = 0; i < 2; ++i) {
            QJsonObject seen = sessions[i].toObject();
            seen[u"updatedAt"] = 0;
            QCOMPARE(seen, expected.array()[i].toObject());
        }
    }

    void dataHomeFromEnvironment()
    {
        QTemporaryDir data;
        m_dataHome = data.path();
        writeRecord("s.json", recordJson("s", "working", nowSeconds(), "", "", "/tmp/x"));
        const Run run = lullwatch({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(QJsonDocument::fromJson(run.out).array().size(), 1);
    }

    void controlCharactersNeverReachTheTerminal()
    {
        // C0 controls, C1 controls (U+009B starts an escape sequence on some
        // terminals) and the bidirectional controls that reorder what follows.
        writeRecord(
            "s.json",
            recordJson(
                "s", "idle", nowSeconds(), "", "",
                R"(/tmp/\u001b]0;owned\u0007\nrow\u007f\u009b31m\u0080\u009f\u202atxt\u202e\u2066\u2069\u2067\u200e\u200f\u061cé\u2029)"));
        const Run run = lullwatch({QStringLiteral("status")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!run.out.contains('\x1b'));
        QVERIFY(!run.out.contains('\x07'));
        QVERIFY(!run.out.contains("\xc2\x9b"));
        QVERIFY(!run.out.contains("\xe2\x80\xae"));
        QCOMPARE(run.out.count('\n'), 2);
        // Neighbours of the filtered range pass: é (U+00E9), the paragraph separator (U+2029).
        QVERIFY(run.out.contains("?]0;owned??row??31m???txt???????\xc3\xa9\xe2\x80\xa9"));
    }

    void hooksCommand()
    {
        struct Step {
            QStringList arguments;
            int exitCode;
            QByteArray output;
        };
        const QString hooks = QStringLiteral("hooks");
        const QString agent = QStringLiteral("--agent");
        const QByteArray approval = "Codex CLI waiting for approval\n  Codex runs the hooks once you trust them: open "
                                    "Codex CLI, type /hooks, and trust Lullwatch's hooks.\n";
        const Step steps[] = {
            {{hooks},
             0,
             "Claude Code not connected\nCopilot CLI not connected\nQwen Code not connected\nGemini CLI not "
             "connected\nCodex CLI not connected\n"},
            {{hooks, QStringLiteral("install"), agent, QStringLiteral("copilot")}, 0, "Copilot CLI connected\n"},
            {{hooks, QStringLiteral("install"), agent, QStringLiteral("qwen")}, 0, "Qwen Code connected\n"},
            {{hooks, QStringLiteral("install"), agent, QStringLiteral("codex")}, 0, approval},
            {{hooks, agent, QStringLiteral("all"), QStringLiteral("status")},
             0,
             "Claude Code not connected\nCopilot CLI connected\nQwen Code connected\nGemini CLI not connected\n"
                 + approval},
            {{hooks, QStringLiteral("install")},
             0,
             "Claude Code connected\nCopilot CLI connected\nQwen Code connected\nGemini CLI connected\n" + approval},
            {{hooks, QStringLiteral("remove"), agent, QStringLiteral("claude")}, 0, "Claude Code not connected\n"},
            {{hooks, QStringLiteral("remove"), agent, QStringLiteral("codex")}, 0, "Codex CLI not connected\n"},
        };
        for (const auto &step : steps) {
            const Run run = lullwatch(step.arguments);
            QCOMPARE(run.exitCode, step.exitCode);
            QCOMPARE(run.out, step.output);
        }

        writeFile(fs::path(m_home.path().toStdString()) / ".claude/settings.json", "{ not json");
        const Run failed = lullwatch({hooks, QStringLiteral("install")});
        QCOMPARE(failed.exitCode, 1);
        QCOMPARE(failed.out,
                 QByteArray("~/.claude/settings.json isn't valid JSON. Fix or move it, then connect "
                            "again.\nCopilot CLI connected\nQwen Code connected\nGemini CLI connected\n")
                     + approval);
        fs::remove(fs::path(m_home.path().toStdString()) / ".claude/settings.json");
        QCOMPARE(lullwatch({hooks, QStringLiteral("remove")}).exitCode, 0);
    }

    void arguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("outStart");
        QTest::addColumn<QByteArray>("errStart");
        QTest::newRow("help") << QStringList {QStringLiteral("--help")} << 0 << QByteArray("Usage: lullwatch")
                              << QByteArray();
        QTest::newRow("version") << QStringList {QStringLiteral("--version")} << 0
                                 << QByteArray("lullwatch 0.1.0 (build ") << QByteArray();
        QTest::newRow("unknown") << QStringList {QStringLiteral("--frobnicate")} << 2 << QByteArray()
                                 << QByteArray("lullwatch: unknown argument '--frobnicate'");
        QTest::newRow("unknown status option") << QStringList {QStringLiteral("status"), QStringLiteral("--yaml")} << 2
                                               << QByteArray() << QByteArray("lullwatch: unknown argument '--yaml'");
        QTest::newRow("json without status") << QStringList {QStringLiteral("--json")} << 2 << QByteArray()
                                             << QByteArray("lullwatch: unknown argument '--json'");
    }

    void arguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, outStart);
        QFETCH(QByteArray, errStart);
        const Run run = lullwatch(arguments);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.out.startsWith(outStart), run.out.constData());
        QVERIFY2(run.err.startsWith(errStart), run.err.constData());
        QCOMPARE(run.out.isEmpty(), outStart.isEmpty());
        if (exitCode == 2)
            QVERIFY(run.err.contains("Usage: lullwatch"));
    }

    void folderName_data()
    {
        QTest::addColumn<QString>("cwd");
        QTest::addColumn<QString>("name");
        QTest::newRow("path") << QStringLiteral("/Users/me/projects/site") << QStringLiteral("site");
        QTest::newRow("trailing slash") << QStringLiteral("/Users/me/projects/site/") << QStringLiteral("site");
        QTest::newRow("two trailing slashes") << QStringLiteral("/srv/api//") << QStringLiteral("api");
        QTest::newRow("empty") << QString() << QStringLiteral("Unknown");
        QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("/");
        QTest::newRow("relative") << QStringLiteral("work") << QStringLiteral("work");
        QTest::newRow("spaces and UTF-8") << QStringLiteral("/home/dev/my prøject") << QStringLiteral("my prøject");
    }

    void folderName()
    {
        QFETCH(QString, cwd);
        QFETCH(QString, name);
        QCOMPARE(QString::fromStdString(lullwatch::folderName(cwd.toStdString())), name);
    }
};

QTEST_GUILESS_MAIN(TestStatusCommand)
#include "tst_statuscommand.moc"
