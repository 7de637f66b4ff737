#include "platform/PosixProcessProbe.h"

#include <QTest>

#include <sys/wait.h>
#include <unistd.h>

using namespace lullwatch;

class TestPosixProcessProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A record's owner is alive while it runs; a reaped one, or a pid that
    // would address a process group, is gone.
    void probe()
    {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        ::waitpid(child, nullptr, 0);
        for (const auto &[pid, error] : {std::pair {::getpid(), 0}, {child, ESRCH}, {0, ESRCH}, {-1, ESRCH}})
            QVERIFY2(PosixProcessProbe().probe(pid) == error, qPrintable(QString::number(pid)));
    }
};

QTEST_GUILESS_MAIN(TestPosixProcessProbe)
#include "tst_posixprocessprobe.moc"
