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
    void waitingBody_data()
    {
        QTest::addColumn<QByteArray>("cwd");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("folder") << QByteArray("/home/dev/site") << QByteArray("site is waiting for your input.");
        QTest::newRow("trailing slash") << QByteArray("/home/dev/site/")
                                        << QByteArray("site is waiting for your input.");
        QTest::newRow("two trailing slashes")
            << QByteArray("/srv/api//") << QByteArray("api is waiting for your input.");
        QTest::newRow("relative") << QByteArray("docs") << QByteArray("docs is waiting for your input.");
        QTest::newRow("empty") << QByteArray() << QByteArray("Unknown is waiting for your input.");
    }

    void waitingBody()
    {
        QFETCH(QByteArray, cwd);
        QFETCH(QByteArray, body);
        SessionInfo session;
        session.cwd = cwd.toStdString();
        QCOMPARE(QByteArray::fromStdString(Notifier::waitingBody(session)), body);
    }

    void whoIsNotified_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QByteArray>("posted");
        QTest::addColumn<QByteArray>("titles");
        const auto row = [](const char *name, const char *list, const char *posted, const char *titles = nullptr) {
            QByteArrayList claude;
            for (const auto &id : QByteArray(posted).split(' '))
                claude.append(id.isEmpty() ? QByteArray() : QByteArray("Claude needs you"));
            QTest::newRow(name) << QByteArray(list) << QByteArray(posted)
                                << (titles ? QByteArray(titles) : claude.join(','));
        };
        row("one waiting", "a:waiting", "a");
        row("each agent by its name", "a:waiting:copilot b:waiting", "a b", "Copilot needs you,Claude needs you");
        row("other states", "a:working b:idle c:ended", "");
        row("stale waiting", "a:waiting:stale", "");
        row("in list order", "c:waiting a:idle b:waiting", "c b");
        row("nobody", "", "");
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
        for (const auto &post : r.center.posts)
            seen.append(QByteArray::fromStdString(post.title));
        QCOMPARE(seen.join(','), titles);
        for (const auto &post : r.center.posts) {
            QCOMPARE(post.body, post.identifier + " is waiting for your input.");
            QCOMPARE(post.defaultAction, std::optional<std::string>("Show"));
            QVERIFY(r.notifier.delivered().contains(post.identifier));
        }
        QCOMPARE(r.notifier.delivered().size(), r.center.posts.size());
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
        QTest::newRow("granted, nobody waiting") << Permission::Granted << true << QByteArray("a:working") << 0 << 0;
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
        QCOMPARE(r.notifier.permission(), permission);
        r.at(0, list, enabled);
        QCOMPARE(static_cast<int>(r.center.posts.size()), posts);
        QCOMPARE(r.center.statusQueries - 1, queries);
    }

    void renotify_data()
    {
        QTest::addColumn<double>("later");
        QTest::addColumn<int>("posts");
        QTest::newRow("10 s") << 10.0 << 1;
        QTest::newRow("299.9 s") << 299.9 << 1;
        QTest::newRow("299.999 s") << 299.999 << 1;
        QTest::newRow("300 s") << 300.0 << 2;
        QTest::newRow("300.5 s") << 300.5 << 2;
        QTest::newRow("an hour") << 3600.0 << 2;
    }

    void renotify()
    {
        QFETCH(double, later);
        QFETCH(int, posts);
        Rig r;
        r.grant();
        r.at(0, "a:waiting");
        r.at(later, "a:waiting");
        QCOMPARE(static_cast<int>(r.center.posts.size()), posts);
        QVERIFY(r.center.withdrawals.empty());
    }

    // Two sessions over time: stopping withdraws at once, waiting again soon
    // after does not notify again before 300 s have passed since the last one.
    void timeline()
    {
        Rig r;
        r.grant();
        struct Step {
            double at;
            const char *list;
            const char *posted;
            const char *withdrawn;
        };
        const Step steps[] = {
            {0, "a:waiting", "a", ""},
            {10, "a:idle", "a", "a"},
            {30, "a:waiting b:waiting", "a b", "a"},
            {299.5, "a:waiting b:waiting", "a b", "a"},
            {300, "a:waiting b:waiting", "a b a", "a"},
            {329.9, "a:waiting b:waiting", "a b a", "a"},
            {330, "a:waiting b:waiting", "a b a b", "a"},
            {340, "b:ended", "a b a b", "a; a b"},
            {599.9, "a:waiting", "a b a b", "a; a b"},
            {600, "a:waiting", "a b a b a", "a; a b"},
        };
        for (const auto &step : steps) {
            r.at(step.at, step.list);
            const QByteArray seen = "at " + QByteArray::number(step.at) + ": posted \"" + postedIds(r.center)
                + "\", withdrawn \"" + withdrawn(r.center) + '"';
            QVERIFY2(postedIds(r.center) == step.posted && withdrawn(r.center) == step.withdrawn, seen.constData());
        }
    }

    void staleSessionIsWithdrawn()
    {
        Rig r;
        r.grant();
        r.at(0, "a:waiting");
        r.at(5, "a:waiting:stale");
        QCOMPARE(withdrawn(r.center), QByteArray("a"));
        r.at(400, "a:waiting:stale");
        QCOMPARE(postedIds(r.center), QByteArray("a"));
        QVERIFY(r.notifier.delivered().empty());
    }

    // Withdrawing does not depend on the preference or the permission.
    void withdrawnWhateverTheSettings()
    {
        Rig r;
        r.grant();
        r.at(0, "a:waiting b:waiting c:waiting");
        r.at(1, "a:waiting b:waiting c:waiting");
        QVERIFY(r.center.withdrawals.empty()); // nothing left: no call
        r.at(2, "a:waiting c:waiting", false);
        r.notifier.refreshPermission();
        r.center.answerStatus(Authorization::Denied);
        r.at(3, "c:waiting");
        QCOMPARE(withdrawn(r.center), QByteArray("b; a"));
        QCOMPARE(r.notifier.delivered(), std::set<std::string> {"c"});
    }

    void permissionFromStatus_data()
    {
        QTest::addColumn<Authorization>("status");
        QTest::addColumn<Permission>("permission");
        QTest::addColumn<int>("requests");
        QTest::newRow("denied") << Authorization::Denied << Permission::Denied << 0;
        QTest::newRow("not determined: asks") << Authorization::NotDetermined << Permission::Unknown << 1;
        QTest::newRow("authorized") << Authorization::Authorized << Permission::Granted << 0;
    }

    void permissionFromStatus()
    {
        QFETCH(Authorization, status);
        QFETCH(Permission, permission);
        QFETCH(int, requests);
        Rig r;
        QSignalSpy changed(&r.notifier, &Notifier::permissionChanged);
        r.notifier.start();
        QCOMPARE(r.center.statusQueries, 1);
        r.center.answerStatus(status);
        QCOMPARE(r.notifier.permission(), permission);
        QCOMPARE(r.center.requests, requests);
        QCOMPARE(r.notifier.isRequesting(), requests == 1);
        QCOMPARE(changed.count(), permission == Permission::Unknown ? 0 : 1);
    }

    void requestCompletion_data()
    {
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<bool>("granted");
        QTest::addColumn<QByteArray>("error");
        QTest::addColumn<Permission>("permission");
        const QByteArray none;
        QTest::newRow("granted") << none << true << none << Permission::Granted;
        QTest::newRow("refused") << none << false << none << Permission::Denied;
        QTest::newRow("refused with a reason") << none << false << QByteArray("No bus") << Permission::Denied;
        QTest::newRow("granted with a remark") << none << true << QByteArray("Odd") << Permission::Granted;
        QTest::newRow("clears an earlier error") << QByteArray("No bus") << true << none << Permission::Granted;
    }

    void requestCompletion()
    {
        QFETCH(QByteArray, earlier);
        QFETCH(bool, granted);
        QFETCH(QByteArray, error);
        QFETCH(Permission, permission);
        const auto optional = [](const QByteArray &bytes) {
            return bytes.isNull() ? std::nullopt : std::optional(bytes.toStdString());
        };
        Rig r;
        if (!earlier.isNull()) {
            r.notifier.requestPermission();
            r.center.answerRequest(false, optional(earlier));
            QCOMPARE(text(r.notifier.lastError()), earlier);
        }
        r.notifier.requestPermission();
        QVERIFY(r.notifier.isRequesting());
        r.center.answerRequest(granted, optional(error));
        QVERIFY(!r.notifier.isRequesting());
        QCOMPARE(r.notifier.permission(), permission);
        QCOMPARE(text(r.notifier.lastError()), error);
    }

    // "Allow" twice quickly, or a refresh that finds the question still
    // open, asks the desktop once.
    void oneRequestAtATime()
    {
        Rig r;
        QSignalSpy requesting(&r.notifier, &Notifier::isRequestingChanged);
        r.notifier.requestPermission();
        r.notifier.requestPermission();
        r.notifier.refreshPermission();
        r.center.answerStatus(Authorization::NotDetermined);
        r.at(0, "a:waiting");
        r.center.answerStatus(Authorization::NotDetermined);
        QCOMPARE(r.center.requests, 1);
        r.center.answerRequest(true);
        QCOMPARE(requesting.count(), 2);
        r.notifier.requestPermission();
        QCOMPARE(r.center.requests, 2);
    }

    void sendTest_data()
    {
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<Authorization>("status");
        QTest::addColumn<bool>("posted");
        QTest::addColumn<QByteArray>("error");
        const QByteArray none;
        const QByteArray denied("No notification service is running.");
        const QByteArray earlier("No bus");
        QTest::newRow("granted") << none << Authorization::Authorized << true << none;
        QTest::newRow("not asked yet") << none << Authorization::NotDetermined << false << none;
        QTest::newRow("not asked yet, earlier error") << earlier << Authorization::NotDetermined << false << none;
        QTest::newRow("denied") << none << Authorization::Denied << false << denied;
        QTest::newRow("denied, earlier error") << earlier << Authorization::Denied << false << denied;
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
            const auto &post = r.center.posts[0];
            QCOMPARE(post.identifier, std::string("test-notification"));
            QCOMPARE(post.title, std::string("Lullwatch"));
            QCOMPARE(post.body, std::string("Notifications are working. You'll be alerted when Claude needs you."));
            QCOMPARE(post.defaultAction, std::nullopt); // nothing to show
            post.completion(std::string("The desktop refused"));
            QCOMPARE(text(r.notifier.lastError()), QByteArray("The desktop refused"));
        }
    }

    void postErrorBecomesLastError()
    {
        Rig r;
        r.grant();
        QSignalSpy changed(&r.notifier, &Notifier::lastErrorChanged);
        r.at(0, "a:waiting b:waiting");
        r.center.posts[0].completion(std::nullopt);
        QCOMPARE(changed.count(), 0);
        r.center.posts[1].completion(std::string("Too many notifications"));
        QCOMPARE(text(r.notifier.lastError()), QByteArray("Too many notifications"));
        QCOMPARE(changed.count(), 1);
    }

    void unavailableCenterIsNeverTouched()
    {
        Rig r;
        r.grant();
        r.at(0, "a:waiting");
        const int calls = r.center.calls();
        r.center.available = false;
        r.notifier.start();
        r.notifier.refreshPermission();
        r.notifier.requestPermission();
        r.at(1, "");
        r.at(400, "b:waiting");
        r.notifier.sendTest();
        QCOMPARE(r.center.calls(), calls);
        QVERIFY(!r.notifier.isRequesting());
        QVERIFY(!r.notifier.lastError());

        Rig fresh;
        fresh.center.available = false;
        fresh.notifier.start();
        fresh.notifier.update(sessions("a:waiting"), true);
        QCOMPARE(fresh.center.calls(), 0);
        QCOMPARE(fresh.notifier.permission(), Permission::Unknown);
    }

    void openSystemSettings()
    {
        Rig r;
        r.notifier.openSystemSettings();
        QCOMPARE(r.center.settingsOpened, 1);
        // Opening the settings needs no notification service.
        r.center.available = false;
        r.notifier.openSystemSettings();
        QCOMPARE(r.center.settingsOpened, 2);
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
        QCOMPARE(center.requests, 1);
    }
};

QTEST_GUILESS_MAIN(TestNotifier)
#include "tst_notifier.moc"
