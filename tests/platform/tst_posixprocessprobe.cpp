#include "platform/PosixProcessProbe.h"

#include <QTest>

#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

using namespace lullwatch;

class TestPosixProcessProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A record's owner is alive while it runs; a reaped one, or a pid that
    // would address a process group, is gone.
    void probe_data()
    {
        QTest::addColumn<int>("pid");
        QTest::addColumn<int>("error");
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        ::waitpid(child, nullptr, 0);
        QTest::newRow("this process") << int(::getpid()) << 0;
        QTest::newRow("reaped") << int(child) << ESRCH;
        QTest::newRow("our process group") << 0 << ESRCH;
        QTest::newRow("every process") << -1 << ESRCH;
    }
    void probe()
    {
        QFETCH(int, pid);
        QFETCH(int, error);
        QCOMPARE(PosixProcessProbe().probe(pid), error);
    }
};

QTEST_GUILESS_MAIN(TestPosixProcessProbe)
#include "tst_posixprocessprobe.moc"
