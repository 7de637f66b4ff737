#include "platform/DBusPowerAssertions.h"
#include "platform/FreedesktopNotificationCenter.h"
#include "platform/MockService.h"
#include "platform/UPowerPowerSource.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <map>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace Qt::StringLiterals;
using Type = PowerAssertions::Type;
using Calls = QList<QVariantList>;
namespace fs = std::filesystem;

namespace {

const QString reason = u"Claude Code is working"_s;
const QString portalRequest = u"/org/freedesktop/portal/desktop/request/1_1/lullwatch"_s;

// Key, name, object, interface, Inhibit's signature, the call that ends it and its cookie.
const QStringList providers {
    u"gnome org.gnome.SessionManager /org/gnome/SessionManager org.gnome.SessionManager susu Uninhibit 42"_s,
    u"powerManagement org.freedesktop.PowerManagement /org/freedesktop/PowerManagement/Inhibit "
    "org.freedesktop.PowerManagement.Inhibit ss UnInhibit 5"_s,
    u"screenSaver org.freedesktop.ScreenSaver /org/freedesktop/ScreenSaver org.freedesktop.ScreenSaver ss UnInhibit 9"_s,
    u"portal org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop org.freedesktop.portal.Inhibit sua{sv}"_s,
};

// A provider by its key, marked "!" to refuse or "~" to answer after two seconds.
QStringList provider(const QString &key)
{
    for (const QString &provider : providers)
        if (key.startsWith(provider.section(u' ', 0, 0)))
            return provider.split(u' ');
    return {};
}

QVariantList plain(QVariantList arguments)
{
    for (QVariant &argument : arguments)
        if (argument.metaType() == QMetaType::fromType<QDBusArgument>())
            argument = qdbus_cast<QVariantMap>(argument.value<QDBusArgument>());
    return arguments;
}

bool released(const QString &key, const MockService &mock)
{
    if (const QStringList found = provider(key); found.size() > 5)
        return mock.methodCalls(found[5]) == Calls {{found[6].toUInt()}};
    return key != "portal"_L1 || mock.methodCalls(u"Close"_s, portalRequest).size() == 1; // logind's: end to end
}

} // namespace

class TestDBusServices : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<PrivateBus> m_session, m_system;
    std::vector<std::unique_ptr<MockService>> m_mocks;
    int m_run = 0;

    MockService *startMock(bool onSystemBus, const QString &name, const QString &path, const QStringList &arguments)
    {
        m_mocks.push_back(std::make_unique<MockService>(onSystemBus ? *m_system : *m_session, name, path, arguments));
        return m_mocks.back()->waitUntilReady() ? m_mocks.back().get() : nullptr;
    }

    MockService *startProvider(const QString &key)
    {
        if (key == "logind"_L1)
            return startMock(true, u"org.freedesktop.login1"_s, u"/org/freedesktop/login1"_s, {u"-t"_s, key});
        const QStringList found = provider(key);
        MockService *mock = startMock(false, found[1], found[2], found.mid(1, 3));
        QString inhibit = found.size() > 5 ? u"ret = "_s + found[6]
                                           : u"self.AddObject('%1', 'org.freedesktop.portal.Request', {}, "
                                             "[('Close', '', '', '')])\nret = '%1'"_s.arg(portalRequest);
        if (key.endsWith(u'!'))
            inhibit = u"raise dbus.exceptions.DBusException('Not now')"_s;
        if (key.endsWith(u'~'))
            inhibit.prepend(u"time.sleep(2)\n"_s);
        const bool added
            = mock && mock->addMethod({}, u"Inhibit"_s, found[4], found.size() > 5 ? u"u"_s : u"o"_s, inhibit);
        return added && (found.size() < 6 || mock->addMethod({}, found[5], u"u"_s, {}, {})) ? mock : nullptr;
    }

private Q_SLOTS:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        m_session = std::make_unique<PrivateBus>(u"lullwatch-session-%1"_s.arg(++m_run));
        m_system = std::make_unique<PrivateBus>(u"lullwatch-system-%1"_s.arg(m_run));
        QVERIFY(m_session->start(m_folder->path()) && m_system->start(m_folder->path()));
    }

    void cleanup() { m_mocks.clear(); }

    // The first provider in order that accepts takes it; lost, it is told, and
    // a new owner's inhibition is not undone by the old owner's going.
    void powerAssertion_data()
    {
        QTest::addColumn<QString>("started");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QVariantList>("inhibit");
        const QVariantList named {u"Lullwatch"_s, reason};
        QTest::newRow("logind alone") << u"logind"_s << u"logind"_s
                                      << QVariantList {u"idle"_s, u"Lullwatch"_s, reason, u"block"_s};
        QTest::newRow("GNOME before PowerManagement and logind")
            << u"logind gnome powerManagement"_s << u"gnome"_s << QVariantList {u"lullwatch"_s, 0u, reason, 4u};
        QTest::newRow("the portal before logind")
            << u"logind portal"_s << u"portal"_s << QVariantList {QString(), 4u, QVariantMap {{u"reason"_s, reason}}};
        QTest::newRow("a refusal falls through") << u"gnome! powerManagement portal"_s << u"powerManagement"_s << named;
        QTest::newRow("display: the screen saver before GNOME") << u"screenSaver gnome"_s << u"screenSaver"_s << named;
        QTest::newRow("display: GNOME's idle flag")
            << u"gnome"_s << u"gnome"_s << QVariantList {u"lullwatch"_s, 0u, reason, 8u};
        QTest::newRow("display: never logind") << u"logind"_s << QString() << QVariantList();
        QTest::newRow("a late acceptance is undone") << u"gnome~"_s << QString() << QVariantList();
    }
    void powerAssertion()
    {
        QFETCH(QString, started);
        QFETCH(QString, chosen);
        QFETCH(QVariantList, inhibit);
        const bool display = QByteArray(QTest::currentDataTag()).startsWith("display");
        const Type type = display ? Type::NoDisplaySleep : Type::PreventUserIdleSystemSleep;
        std::map<QString, MockService *> mocks;
        for (const QString &name : started.split(u' '))
            QVERIFY2((mocks[name] = startProvider(name)), qPrintable(name));
        DBusPowerAssertions assertions(m_session->connection(), m_system->connection());
        if (!started.contains(u'~')) // the mocks answer in time, however busy the machine
            assertions.setCreationBudget(std::chrono::seconds(30));
        QList<uint> lost;
        assertions.setLossHandler([&lost](std::uint32_t identifier) { lost << identifier; });

        const auto first = assertions.create(type, reason.toStdString());
        QCOMPARE(first.has_value(), !chosen.isEmpty());
        for (const auto &[name, mock] : mocks) {
            const Calls calls = mock->methodCalls(u"Inhibit"_s);
            QCOMPARE(calls.size(), name == chosen || name.endsWith(u'!') || name.endsWith(u'~') ? 1 : 0);
            if (name == chosen)
                QCOMPARE(plain(calls[0]), inhibit);
            if (name.endsWith(u'~'))
                QTRY_VERIFY_WITH_TIMEOUT(released(name, *mock), 20000);
        }
        if (chosen.isEmpty())
            return;

        mocks[chosen]->kill();
        const QDeadlineTimer deadline(10000);
        while ((chosen == "logind"_L1 ? m_system : m_session)->hasOwner(mocks[chosen]->name()))
            QVERIFY(!deadline.hasExpired());
        QVERIFY((mocks[chosen] = startProvider(chosen)));
        const auto second = assertions.create(type, reason.toStdString());
        QVERIFY(second);
        QTRY_COMPARE_WITH_TIMEOUT(lost, QList<uint> {*first}, 10000);
        for (const auto identifier : {*second, *second, *first})
            assertions.release(identifier);
        QTRY_VERIFY_WITH_TIMEOUT(released(chosen, *mocks[chosen]), 10000);
    }

    // UPower's display device while UPower runs, else the kernel's folder.
    void powerSource()
    {
        const fs::path sysfs = m_folder->filePath(u"sysfs"_s).toStdString();
        const auto read = [&](const QString &supplies) { // FOLDER attribute=value..., ...
            fs::remove_all(sysfs);
            for (const QString &supply : supplies.split(u", "_s, Qt::SkipEmptyParts)) {
                const fs::path folder = sysfs / supply.section(u' ', 0, 0).toStdString();
                fs::create_directories(folder);
                for (const QString &attribute : supply.split(u' ').mid(1))
                    writeFile(folder / attribute.section(u'=', 0, 0).toStdString(),
                              attribute.section(u'=', 1).toStdString() + "\n");
            }
            const auto sources = UPowerPowerSource(m_system->connection(), sysfs).read();
            QStringList read;
            for (const auto &b : sources.value_or(std::vector<PowerSourceDescription> {}))
                if (b.type == "InternalBattery" && b.maxCapacity == 100)
                    read << u"%1 %2"_s.arg(b.currentCapacity.value_or(-1))
                                .arg(QString::fromStdString(b.state.value_or("?")));
            return sources ? read.join(u';') : u"unreadable"_s;
        };
        const QString battery = u"BAT0 type=Battery capacity=57 status=Discharging"_s;
        for (const auto &[supplies, expected] :
             {std::pair {QString(u"AC type=Mains online=0, hidpp_battery_0 type=Battery scope=Device capacity=5, "_s
                                 + battery),
                         u"57 Battery Power"_s},
              {u"BAT0 type=Battery capacity=20 energy_full=3000 status=Discharging, "
               "BAT1 type=Battery capacity=100 energy_full=1000"_s,
               u"40 Battery Power"_s},
              {QString(u"AC type=Mains online=1, "_s + battery), u"57 AC Power"_s},
              {QString(), u"unreadable"_s}})
            QCOMPARE(read(supplies), expected);
        MockService *upower = startMock(true, u"org.freedesktop.UPower"_s, u"/org/freedesktop/UPower"_s,
                                        {u"-t"_s, u"upower"_s, u"-p"_s, u"{\"OnBattery\": true}"_s});
        const QVariantList device {2u, 2u, 12.7, 30.0, 60.0, 10.0, qlonglong(3600), qlonglong(0), true, u"low"_s, 1u};
        QVERIFY(upower && upower->mockCall(u"SetupDisplayDevice"_s, device).type() == QDBusMessage::ReplyMessage);
        QCOMPARE(read(battery), u"12 Battery Power"_s);
    }

    // "post ID [now]" (now: without waiting for the answer), "withdraw ID"; the server's "closed N", "click N ACTION".
    void notifications_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("expected"); // replaces_id and id of each call; sessions shown
        QTest::newRow("posting again replaces; withdrawn, it starts afresh")
            << u"post a, post a, withdraw never-posted, withdraw a, post a"_s << u"replaces 0 1 0 closes 1 shows"_s;
        QTest::newRow("withdrawn before its id came") << u"post a now, withdraw a"_s << u"replaces 0 closes 1 shows"_s;
        QTest::newRow("posted again before the first id came")
            << u"post a now, post a, post a"_s << u"replaces 0 0 2 closes 1 shows"_s;
        QTest::newRow("clicks count until it closed, which ends replacing")
            << u"post a, click 1 other, click 1 default, closed 1, click 1 default, post a, click 2 default"_s
            << u"replaces 0 0 closes shows a a"_s;
    }
    void notifications()
    {
        QFETCH(QString, steps);
        QFETCH(QString, expected);
        MockService *server = startMock(false, u"org.freedesktop.Notifications"_s, u"/org/freedesktop/Notifications"_s,
                                        {u"-t"_s, u"notification_daemon"_s});
        QVERIFY(server);
        FreedesktopNotificationCenter center(m_session->connection()), serverless(m_system->connection());
        std::optional<NotificationCenter::Authorization> denied;
        serverless.authorizationStatus([&](NotificationCenter::Authorization status) { denied = status; });
        QTRY_VERIFY_WITH_TIMEOUT(denied == NotificationCenter::Authorization::Denied, 10000);
        QStringList shown;
        center.setActivationHandler(
            [&](const std::string &identifier) { shown << QString::fromStdString(identifier); });
        int posted = 0, answered = 0, asked = 0, told = 0;
        const auto settle = [&] {
            center.authorizationStatus([&](NotificationCenter::Authorization status) {
                told += status == NotificationCenter::Authorization::Authorized;
            });
            return QTest::qWaitFor([&, wanted = ++asked] { return told == wanted && answered == posted; }, 10000);
        };
        for (const QString &step : steps.split(u", "_s)) {
            const QStringList words = step.split(u' ');
            if (words[0] == "post"_L1) {
                center.post(words[1].toStdString(), "Claude needs you", "site is waiting", "Show",
                            [&](std::optional<std::string> error) { answered += !error; });
                ++posted;
                QVERIFY(words.size() > 2 || settle());
            } else if (words[0] == "withdraw"_L1) {
                center.withdraw({words[1].toStdString()});
            } else {
                const bool click = words[0] == "click"_L1;
                server->mockCall(u"EmitSignal"_s,
                                 {server->name(), click ? u"ActionInvoked"_s : u"NotificationClosed"_s,
                                  click ? u"us"_s : u"uu"_s,
                                  QVariantList {words[1].toUInt(), click ? QVariant(words[2]) : 2u}});
                QVERIFY(click || settle());
            }
        }
        QVERIFY(settle());
        const Calls notified = server->methodCalls(u"Notify"_s);
        const QVariantMap hints {{u"urgency"_s, QVariant::fromValue(uchar(1))},
                                 {u"desktop-entry"_s, u"lullwatch"_s},
                                 {u"sound-name"_s, u"message-new-instant"_s}};
        QCOMPARE(plain(notified.value(0)),
                 (QVariantList {u"Lullwatch"_s, 0u, u"lullwatch"_s, u"Claude needs you"_s, u"site is waiting"_s,
                                QStringList {u"default"_s, u"Show"_s}, hints, -1}));
        QStringList seen {u"replaces"_s};
        for (const QVariantList &call : notified)
            seen << call[1].toString();
        seen << u"closes"_s;
        for (const QVariantList &call : server->methodCalls(u"CloseNotification"_s))
            seen << call[0].toString();
        QCOMPARE((seen << u"shows"_s << shown).join(u' '), expected);
    }
};

QTEST_GUILESS_MAIN(TestDBusServices)
#include "tst_dbusservices.moc"
