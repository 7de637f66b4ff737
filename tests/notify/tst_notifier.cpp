#include "notify/Notifier.h"
#include "support/FakeClock.h"
#include "support/FakeNotificationCenter.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace lullwatch;
using namespace lullwatch::test;

using Authorization = NotificationCenter::Authorization;
using Permission = Notifier::Permission;
Q_DECLARE_METATYPE(Authorization)
Q_DECLARE_METATYPE(Permission)

namespace {

constexpr double start = 1'800'000'000.0;

// "a:waiting b:working:stale c:waiting:copilot" as sessions working in
// /home/dev/a, /home/dev/b and /home/dev/c, of Claude Code unless named.
std::vector<SessionInfo> sessions(const QByteArray &list)
{
    std::vector<SessionInfo> result;
    for (const auto &word : list.split(' ')) {
        if (word.isEmpty())
            continue;
        const auto parts = word.split(':');
        SessionInfo session;
        session.id = parts[0].toStdString();
        session.state = sessionStateFromRaw(parts[1].toStdString()).value();
        session.cwd = "/home/dev/" + session.id;
        session.isStale = parts.size() > 2 && parts[2] == "stale";
        if (parts.size() > 2 && !session.isStale)
            session.source = sessionSourceFromRaw(parts[2].toStdString()).value();
        result.push_back(session);
    }
    return result;
}

// The identifiers, space-separated.
QByteArray joined(const std::vector<std::string> &identifiers)
{
    QByteArray text;
    for (const auto &identifier : identifiers)
        text += (text.isEmpty() ? "" : " ") + QByteArray::fromStdString(identifier);
    return text;
}

QByteArray postedIds(const FakeNotificationCenter &center)
{
    std::vector<std::string> ids;
    for (const auto &post : center.posts)
        ids.push_back(post.identifier);
    return joined(ids);
}

QByteArray withdrawn(const FakeNotificationCenter &center)
{
    QByteArray text;
    for (const auto &call : center.withdrawals)
        text += (text.isEmpty() ? "" : "; ") + joined(call);
    return text;
}

QByteArray text(const std::optional<std::string> &value)
{
    return value ? QByteArray::fromStdString(*value) : QByteArray();
}

struct Rig {
    FakeNotificationCenter center;
    FakeClock clock {start};
    Notifier notifier {center, clock};

    // Starts and answers the first permission query.
    void grant(Authorization answer = Authorization::Authorized)
    {
        notifier.start();
        center.answerStatus(answer);
    }
    void at(double seconds, const QByteArray &list, bool enabled = true)
    {
        clock.set(start + seconds);
        notifier.update(sessions(list), enabled);
    }
};

} // namespace

class TestNotifier : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void whoIsNotified_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QByteArray>("posted");
        QTest::addColumn<QByteArray>("titles");
        QTest::newRow("one waiting") << QByteArray("a:waiting") << QByteArray("a") << QByteArray("Claude needs you");
        QTest::newRow("each agent by its name, in list order")
            << QByteArray("c:waiting:copilot a:idle b:waiting") << QByteArray("c b")
            << QByteArray("Copilot needs you,Claude needs you");
        QTest::newRow("other states") << QByteArray("a:working b:idle c:ended") << QByteArray() << QByteArray();
        QTest::newRow("stale waiting") << QByteArray("a:waiting:stale") << QByteArray() << QByteArray();
    }

    void whoIsNotified()
    {
        QFETCH(QByteArray, list);
        QFETCH(QByteArray, posted);
        QFETCH(QByteArray, titles);
        Rig r;
        r.grant();
        r.at(0, list);
        QCOMPARE(postedIds(r.center), posted);
        QByteArrayList seen;
        for (const auto &post : r.center.posts) {
            seen.append(QByteArray::fromStdString(post.title));
            QCOMPARE(post.body, post.identifier + " is waiting for your input.");
            QCOMPARE(post.defaultAction, std::optional<std::string>("Show"));
        }
        QCOMPARE(seen.join(','), titles);
    }

    // Posting needs the preference on, someone waiting and the permission;
    // without the permission it is asked for again.
    void gate_data()
    {
        QTest::addColumn<Permission>("permission");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<int>("posts");
        QTest::addColumn<int>("queries");
        QTest::newRow("granted") << Permission::Granted << true << QByteArray("a:waiting") << 1 << 0;
        QTest::newRow("granted, switched off") << Permission::Granted << false << QByteArray("a:waiting") << 0 << 0;
        QTest::newRow("denied") << Permission::Denied << true << QByteArray("a:waiting") << 0 << 1;
        QTest::newRow("denied, switched off") << Permission::Denied << false << QByteArray("a:waiting") << 0 << 0;
        QTest::newRow("denied, nobody waiting") << Permission::Denied << true << QByteArray("a:idle") << 0 << 0;
        QTest::newRow("unanswered") << Permission::Unknown << true << QByteArray("a:waiting") << 0 << 1;
    }

    void gate()
    {
        QFETCH(Permission, permission);
        QFETCH(bool, enabled);
        QFETCH(QByteArray, list);
        QFETCH(int, posts);
        QFETCH(int, queries);
        Rig r;
        r.notifier.start();
        if (permission != Permission::Unknown)
            r.center.answerStatus(permission == Permission::Granted ? Authorization::Authorized
                                                                    : Authorization::Denied);
        r.at(0, list, enabled);
        QCOMPARE(static_cast<int>(r.center.posts.size()), posts);
        QCOMPARE(r.center.statusQueries - 1, queries);
    }

    // Sessions over time: a session that moves on, goes stale or goes away is
    // withdrawn at once, whatever the preference and the permission; one that
    // waits on is notified again 300 s after its last notification.
    void timeline()
    {
        Rig r;
        r.grant();
        struct Step {
            double at;
            const char *list;
            const char *posted;
            const char *withdrawn;
            bool enabled = true;
        };
        const Step steps[] = {
            {0, "a:waiting", "a", ""},
            {10, "a:idle", "a", "a"},
            {30, "a:waiting b:waiting", "a b", "a"},
            {299.999, "a:waiting b:waiting", "a b", "a"},
            {300, "a:waiting b:waiting", "a b a", "a"},
            {329.9, "a:waiting b:waiting", "a b a", "a"},
            {330, "a:waiting b:waiting", "a b a b", "a"},
            {340, "b:ended", "a b a b", "a; a b"},
            {599.9, "a:waiting", "a b a b", "a; a b"},
            {600, "a:waiting c:waiting", "a b a b a c", "a; a b"},
            {605, "a:waiting:stale c:waiting", "a b a b a c", "a; a b; a"},
            {1000, "a:waiting:stale", "a b a b a c", "a; a b; a; c", false},
        };
        for (const auto &step : steps) {
            r.at(step.at, step.list, step.enabled);
            const QByteArray seen = "at " + QByteArray::number(step.at) + ": posted \"" + postedIds(r.center)
                + "\", withdrawn \"" + withdrawn(r.center) + '"';
            QVERIFY2(postedIds(r.center) == step.posted && withdrawn(r.center) == step.withdrawn, seen.constData());
        }
        QVERIFY(r.notifier.delivered().empty());
    }

    // A question still open is not asked again; its answer sets the
    // permission and the error, and clears an earlier error.
    void permission_data()
    {
        QTest::addColumn<Authorization>("status");
        QTest::addColumn<Permission>("first");
        QTest::addColumn<bool>("granted");
        QTest::addColumn<QByteArray>("error");
        QTest::addColumn<Permission>("last");
        QTest::newRow("denied, then granted")
            << Authorization::Denied << Permission::Denied << true << QByteArray() << Permission::Granted;
        QTest::newRow("not determined: asks, refused with a reason")
            << Authorization::NotDetermined << Permission::Unknown << false << QByteArray("No bus")
            << Permission::Denied;
        QTest::newRow("authorized, asked again")
            << Authorization::Authorized << Permission::Granted << true << QByteArray() << Permission::Granted;
    }

    void permission()
    {
        QFETCH(Authorization, status);
        QFETCH(Permission, first);
        QFETCH(bool, granted);
        QFETCH(QByteArray, error);
        QFETCH(Permission, last);
        Rig r;
        r.notifier.requestPermission();
        r.center.answerRequest(false, std::string("earlier"));
        r.notifier.start();
        r.center.answerStatus(status);
        QCOMPARE(r.notifier.permission(), first);
        r.notifier.requestPermission();
        r.notifier.requestPermission();
        r.notifier.refreshPermission();
        r.center.answerStatus(Authorization::NotDetermined);
        QCOMPARE(r.center.requests, 2);
        QVERIFY(r.notifier.isRequesting());
        r.center.answerRequest(granted, error.isNull() ? std::nullopt : std::optional(error.toStdString()));
        QVERIFY(!r.notifier.isRequesting());
        QCOMPARE(r.notifier.permission(), last);
        QCOMPARE(text(r.notifier.lastError()), error);
    }

    void sendTest_data()
    {
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<Authorization>("status");
        QTest::addColumn<bool>("posted");
        QTest::addColumn<QByteArray>("error");
        const QByteArray none;
        const QByteArray denied("No notification service is running.");
        QTest::newRow("granted") << none << Authorization::Authorized << true << none;
        QTest::newRow("not asked yet, earlier error")
            << QByteArray("No bus") << Authorization::NotDetermined << false << none;
        QTest::newRow("denied") << none << Authorization::Denied << false << denied;
    }

    void sendTest()
    {
        QFETCH(QByteArray, earlier);
        QFETCH(Authorization, status);
        QFETCH(bool, posted);
        QFETCH(QByteArray, error);
        Rig r;
        if (!earlier.isNull()) {
            r.notifier.requestPermission();
            r.center.answerRequest(false, earlier.toStdString());
        }
        r.notifier.refreshPermission();
        r.center.answerStatus(status);
        const int queries = r.center.statusQueries;
        r.notifier.sendTest();
        QCOMPARE(text(r.notifier.lastError()), error);
        QCOMPARE(r.center.statusQueries, queries + (posted ? 0 : 1));
        QCOMPARE(r.center.posts.size(), posted ? 1u : 0u);
        if (posted) {
            QCOMPARE(r.center.posts[0].defaultAction, std::nullopt); // nothing to show
            r.center.activate(r.center.posts[0].identifier);
            r.center.posts[0].completion(std::string("The desktop refused"));
            QCOMPARE(text(r.notifier.lastError()), QByteArray("The desktop refused"));
        }
    }

    void unavailableCenterIsNeverTouched()
    {
        Rig r;
        r.grant();
        r.at(0, "a:waiting");
        const int calls = r.center.calls();
        r.center.available = false;
        r.notifier.start();
        r.notifier.requestPermission();
        r.at(400, "b:waiting");
        r.notifier.sendTest();
        QCOMPARE(r.center.calls(), calls);
        QVERIFY(!r.notifier.isRequesting() && !r.notifier.lastError());
    }

    // Answers that arrive after the notifier is gone are dropped.
    void answersAfterTheNotifierIsGone()
    {
        FakeNotificationCenter center;
        FakeClock clock {start};
        auto notifier = std::make_unique<Notifier>(center, clock);
        notifier->start();
        center.answerStatus(Authorization::Authorized);
        notifier->update(sessions("a:waiting"), true);
        notifier->refreshPermission();
        notifier->requestPermission();
        notifier.reset();
        center.answerStatus(Authorization::NotDetermined); // would ask again if it reached a notifier
        center.answerRequest(true, std::string("late"));
        center.posts[0].completion(std::string("late"));
        center.activate("a");
        QCOMPARE(center.requests, 1);
    }
};

QTEST_GUILESS_MAIN(TestNotifier)
#include "tst_notifier.moc"
