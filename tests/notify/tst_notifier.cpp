#include "notify/Notifier.h"
#include "support/FakeClock.h"
#include "support/FakeNotificationCenter.h"

#include <QTest>

using namespace lullwatch;
using namespace lullwatch::test;

using Authorization = NotificationCenter::Authorization;

namespace {

constexpr double start = 1'800'000'000.0;

// "a:waiting b:working:stale" as sessions working in /home/dev/a and /home/dev/b.
std::vector<SessionInfo> sessions(const QByteArray &list)
{
    std::vector<SessionInfo> result;
    for (const auto &word : list.split(' ')) {
        const auto parts = word.split(':');
        SessionInfo &session = result.emplace_back();
        session.id = parts[0].toStdString();
        session.state = sessionStateFromRaw(parts[1].toStdString()).value();
        session.cwd = "/home/dev/" + session.id;
        session.isStale = parts.size() > 2;
    }
    return result;
}

struct Rig {
    FakeNotificationCenter center;
    FakeClock clock {start};
    Notifier notifier {center, clock};

    void at(double seconds, const QByteArray &list, bool enabled = true)
    {
        clock.set(start + seconds);
        notifier.update(sessions(list), enabled);
    }
    // "posted a b, withdrawn a; a b": the identifiers posted, and those of each withdrawal.
    QByteArray calls() const
    {
        QByteArray result = "posted";
        for (const auto &post : center.posts)
            result += ' ' + QByteArray::fromStdString(post.identifier);
        result += ", withdrawn";
        for (const auto &call : center.withdrawals) {
            for (const auto &identifier : call)
                result += (&identifier == &call.front() ? " " : ",") + QByteArray::fromStdString(identifier);
        }
        return result;
    }
};

} // namespace

class TestNotifier : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each waiting session is notified once, in list order; one that moves on, goes stale
    // or goes away is withdrawn at once, whatever the preference; one that waits on is
    // notified again 300 s after its last notification.
    void timeline()
    {
        Rig r;
        r.notifier.start();
        r.center.answerStatus(Authorization::Authorized);
        const struct {
            double at;
            const char *list;
            const char *calls;
            bool enabled = true;
        } steps[] = {
            {0, "c:waiting a:waiting b:working d:ended", "posted c a, withdrawn"},
            {10, "a:idle", "posted c a, withdrawn a,c"},
            {30, "a:waiting b:waiting", "posted c a b, withdrawn a,c"},
            {299.999, "a:waiting b:waiting", "posted c a b, withdrawn a,c"},
            {300, "a:waiting b:waiting", "posted c a b a, withdrawn a,c"},
            {600, "a:waiting c:waiting", "posted c a b a a c, withdrawn a,c b"},
            {605, "a:waiting:stale c:waiting", "posted c a b a a c, withdrawn a,c b a"},
            {700, "c:waiting d:waiting", "posted c a b a a c, withdrawn a,c b a", false},
            {1000, "a:waiting:stale", "posted c a b a a c, withdrawn a,c b a c", false},
        };
        for (const auto &step : steps) {
            r.at(step.at, step.list, step.enabled);
            QCOMPARE(QByteArray(QByteArray::number(step.at) + ": " + r.calls()),
                     QByteArray(QByteArray::number(step.at) + ": " + step.calls));
        }
    }

    // Refused notifications are looked at again when a session waits; the
    // test notification says why it cannot be shown.
    void permission()
    {
        Rig r;
        r.notifier.start();
        r.center.answerStatus(Authorization::Denied);
        r.notifier.sendTest();
        r.center.answerStatus(Authorization::Denied);
        QVERIFY(r.notifier.lastError() == "No notification service is running.");
        r.at(0, "a:waiting");
        r.center.answerStatus(Authorization::Authorized);
        r.at(1, "a:waiting");
        r.notifier.sendTest();
        QVERIFY(!r.center.posts.empty());
        r.center.posts.back().completion(std::string("The desktop refused"));
        QCOMPARE(r.calls(), "posted a test-notification, withdrawn");
        QVERIFY(r.notifier.lastError() == "The desktop refused");
    }
};

QTEST_GUILESS_MAIN(TestNotifier)
#include "tst_notifier.moc"
