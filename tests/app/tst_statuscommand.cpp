#include "sessions/SessionState.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace lullwatch;
using namespace lullwatch::test;
namespace fs = std::filesystem;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
};

// A home folder of its own; records go to XDG_DATA_HOME when it is set.
struct Home {
    QTemporaryDir dir;
    QString dataHome;

    fs::path path() const { return dir.path().toStdString(); }
    void record(const std::string &name, const std::string &json)
    {
        const fs::path sessions
            = (dataHome.isEmpty() ? path() / ".local/share" : fs::path(dataHome.toStdString())) / "lullwatch/sessions";
        fs::create_directories(sessions);
        writeFile(sessions / name, json);
    }
    Run lullwatch(const QString &arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), dir.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(LULLWATCH_BINARY_DIR "/lullwatch"), arguments.split(u' '));
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), process.readAllStandardOutput()};
    }
};

} // namespace

class TestStatusCommand : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A settings file that is not JSON is left alone, and the command fails.
    void hooksInstallRefusesBrokenSettings()
    {
        Home home;
        fs::create_directories(home.path() / ".claude");
        writeFile(home.path() / ".claude/settings.json", "{ not json");
        const Run failed = home.lullwatch(QStringLiteral("hooks install"));
        QCOMPARE(failed.exitCode, 1);
        QVERIFY(
            failed.out.startsWith("~/.claude/settings.json isn't valid JSON. Fix or move it, then connect again.\n"));
        QCOMPARE(readFile(home.path() / ".claude/settings.json"), "{ not json");
    }

    void table()
    {
        Home home;
        const auto at = static_cast<double>(QDateTime::currentSecsSinceEpoch());
        const std::string transcript = testData("transcripts/local-claude-code-2.1.197/print-mode-tool-use.jsonl");
        home.record("claude.json", recordJson("c-1", "idle", at - 10, transcript, "", "/home/dev/work/my prøject"));
        home.record("copilot.json",
                    recordJson("p-2", "waiting", at - 5, "",
                               R"(,"source":"copilot","notification_type":"permission_prompt")", "/srv/api/"));
        home.record("expired.json", recordJson("old", "working", at - 90000));

        // Totals worked out with tests/tools/transcript_totals.py: context 4733,
        // output 110, cache reads 6000, 2 turns.
        const Run table = home.lullwatch(QStringLiteral("status"));
        QCOMPARE(table.out,
                 QByteArray("FOLDER      AGENT    STATE      CONTEXT  OUTPUT  CACHE  TURNS  MODEL\n"
                            "api         Copilot  Needs you  0        0       0      0      -\n"
                            "my prøject  Claude   Idle       4k       110     6k     2      claude-opus-4-8\n"));
        QVERIFY(!fs::exists(home.path() / ".local/share/lullwatch/sessions/expired.json"));
    }

    // C0 and C1 controls (U+009B starts an escape sequence on some terminals) and the
    // bidirectional controls that reorder what follows, from a record under XDG_DATA_HOME.
    void controlCharactersNeverReachTheTerminal()
    {
        Home home;
        home.dataHome = home.dir.path() + u"/data";
        home.record(
            "s.json",
            recordJson(
                "s", "idle", static_cast<double>(QDateTime::currentSecsSinceEpoch()), "", "",
                R"(/tmp/\u001b]0;owned\u0007\nrow\u007f\u009b31m\u0080\u009f\u202atxt\u202e\u2066\u2069\u2067\u200e\u200f\u061cé\u2029)"));
        const Run run = home.lullwatch(QStringLiteral("status"));
        QCOMPARE(run.out.count('\n'), 2);
        // Neighbours of the filtered ranges pass: é (U+00E9), the paragraph separator (U+2029).
        QVERIFY2(run.out.contains("\n?]0;owned??row??31m???txt???????\xc3\xa9\xe2\x80\xa9 "), run.out.constData());
    }

    void folderName()
    {
        const std::pair<const char *, const char *> rows[]
            = {{"/srv/api//", "api"}, {"", "Unknown"}, {"/", "/"}, {"work", "work"}};
        for (const auto &[cwd, name] : rows)
            QCOMPARE(lullwatch::folderName(cwd), name);
    }
};

QTEST_GUILESS_MAIN(TestStatusCommand)
#include "tst_statuscommand.moc"
