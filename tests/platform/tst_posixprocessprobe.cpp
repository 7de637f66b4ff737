#include "platform/PosixProcessProbe.h"
#include "sessions/SessionScanner.h"
#include "support/FakeClock.h"
#include "support/TestFiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

using namespace lullwatch;
using namespace lullwatch::test;

class TestPosixProcessProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void probesRealProcesses()
    {
        const PosixProcessProbe probe;
        QCOMPARE(probe.probe(static_cast<std::int32_t>(::getpid())), 0);

        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        QVERIFY(child > 0);
        QCOMPARE(::waitpid(child, nullptr, 0), child);
        QCOMPARE(probe.probe(static_cast<std::int32_t>(child)), ESRCH);
    }

    // A record whose agent is killed without a chance to clean up is deleted
    // by the next scan.
    void killedOwnerRemovesTheRecord()
    {
        QTemporaryDir dir;
        const std::filesystem::path sessions = dir.path().toStdString();
        QProcess agent;
        agent.start(QStringLiteral("sleep"), {QStringLiteral("600")});
        QVERIFY(agent.waitForStarted());
        const auto pid = agent.processId();

        FakeClock clock(1'800'000'000.0);
        const PosixProcessProbe probe;
        // Its own temporary folder: the clock is years ahead of the real one.
        SessionScanner scanner(sessions, clock, probe, {}, sessions);
        writeFile(sessions / "s.json",
                  recordJson("s", "working", clock.seconds(), "", ",\"pid\":" + std::to_string(pid)));

        QCOMPARE(scanner.scan().result().size(), 1u);
        agent.kill();
        QVERIFY(agent.waitForFinished()); // reaped: the pid no longer exists
        QVERIFY(scanner.scan().result().empty());
        QVERIFY(!std::filesystem::exists(sessions / "s.json"));
    }
};

QTEST_GUILESS_MAIN(TestPosixProcessProbe)
#include "tst_posixprocessprobe.moc"
