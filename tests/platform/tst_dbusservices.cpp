#include "platform/DBusPowerAssertions.h"
#include "platform/FreedesktopNotificationCenter.h"
#include "platform/MockService.h"
#include "platform/TestHome.h"
#include "platform/UPowerPowerSource.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace Qt::StringLiterals;
using Type = PowerAssertions::Type;
using Calls = QList<QVariantList>;
namespace fs = std::filesystem;

namespace {

const QString reason = u"Claude Code is working"_s;
const QString portalRequest = u"/org/freedesktop/portal/desktop/request/1_1/lullwatch"_s;

// The desktop's inhibit services as their interfaces have them: name, object,
// interface, Inhibit's signature, the call that ends an inhibition and the
// cookie that it takes. The portal ends one with its request object's Close.
const std::map<QString, QStringList> providers {
    {u"gnome"_s,
     {u"org.gnome.SessionManager"_s, u"/org/gnome/SessionManager"_s, u"org.gnome.SessionManager"_s, u"susu"_s,
      u"Uninhibit"_s, u"42"_s}},
    {u"powerManagement"_s,
     {u"org.freedesktop.PowerManagement"_s, u"/org/freedesktop/PowerManagement/Inhibit"_s,
      u"org.freedesktop.PowerManagement.Inhibit"_s, u"ss"_s, u"UnInhibit"_s, u"5"_s}},
    {u"screenSaver"_s,
     {u"org.freedesktop.ScreenSaver"_s, u"/org/freedesktop/ScreenSaver"_s, u"org.freedesktop.ScreenSaver"_s, u"ss"_s,
      u"UnInhibit"_s, u"9"_s}},
    {u"portal"_s,
     {u"org.freedesktop.portal.Desktop"_s, u"/org/freedesktop/portal/desktop"_s, u"org.freedesktop.portal.Inhibit"_s,
      u"sua{sv}"_s}},
};

// A provider's name in the tables without its marks: "!" refuses, "~" answers after two seconds.
QString baseName(QString name)
{
    return name.remove(u'!').remove(u'~');
}

// A call's arguments, with dictionaries as maps.
QVariantList plain(QVariantList arguments)
{
    for (QVariant &argument : arguments) {
        if (argument.metaType() == QMetaType::fromType<QDBusArgument>())
            argument = qdbus_cast<QVariantMap>(argument.value<QDBusArgument>());
    }
    return arguments;
}

bool released(const QString &name, const MockService &mock)
{
    if (name == "portal"_L1)
        return mock.methodCalls(u"Close"_s, portalRequest).size() == 1;
    if (name != "logind"_L1)
        return mock.methodCalls(providers.at(baseName(name))[4]) == Calls {{providers.at(baseName(name))[5].toUInt()}};
    const QDBusMessage reply = mock.call(mock.path(), u"org.freedesktop.login1.Manager"_s, u"ListInhibitors"_s);
    const auto inhibitors = reply.arguments().value(0).value<QDBusArgument>();
    inhibitors.beginArray();
    const bool none = inhibitors.atEnd();
    inhibitors.endArray(); // frees what beginArray took
    return reply.type() == QDBusMessage::ReplyMessage && none;
}

} // namespace

class TestDBusServices : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<PrivateBus> m_session;
    std::unique_ptr<PrivateBus> m_system;
    std::vector<std::unique_ptr<MockService>> m_mocks;
    int m_run = 0;

    // A dbusmock service, up and owning its name; null when it did not start.
    MockService *startMock(bool onSystemBus, const QString &name, const QString &path, const QStringList &arguments)
    {
        m_mocks.push_back(std::make_unique<MockService>(onSystemBus ? *m_system : *m_session, m_session->address(),
                                                        m_system->address(), name, path, arguments));
        return m_mocks.back()->waitUntilReady() ? m_mocks.back().get() : nullptr;
    }

    MockService *startProvider(const QString &name)
    {
        if (name == "logind"_L1)
            return startMock(true, u"org.freedesktop.login1"_s, u"/org/freedesktop/login1"_s, {u"-t"_s, name});
        const QStringList provider = providers.at(baseName(name));
        MockService *mock = startMock(false, provider[0], provider[1], provider.mid(0, 3));
        QString inhibit = u"ret = %1"_s.arg(provider.value(5));
        if (provider.size() == 4)
            inhibit = u"self.AddObject('%1', 'org.freedesktop.portal.Request', {}, [('Close', '', '', '')])\n"
                      "ret = '%1'"_s.arg(portalRequest);
        if (name.endsWith(u'!'))
            inhibit = u"raise dbus.exceptions.DBusException('Not now')"_s;
        if (name.endsWith(u'~'))
            inhibit.prepend(u"time.sleep(2)\n"_s);
        if (!mock || !mock->addMethod({}, u"Inhibit"_s, provider[3], provider.size() > 4 ? u"u"_s : u"o"_s, inhibit)
            || (provider.size() > 4 && !mock->addMethod({}, provider[4], u"u"_s, {}, {})))
            return nullptr;
        return mock;
    }

    MockService *startNotificationServer()
    {
        return startMock(false, u"org.freedesktop.Notifications"_s, u"/org/freedesktop/Notifications"_s,
                         {u"-t"_s, u"notification_daemon"_s});
    }

private Q_SLOTS:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        m_session = std::make_unique<PrivateBus>(u"lullwatch-session-%1"_s.arg(++m_run));
        m_system = std::make_unique<PrivateBus>(u"lullwatch-system-%1"_s.arg(m_run));
        QVERIFY(QDir(m_folder->path()).mkpath(u"session"_s) && QDir(m_folder->path()).mkpath(u"system"_s));
        QVERIFY(m_session->start(m_folder->filePath(u"session"_s)));
        QVERIFY(m_system->start(m_folder->filePath(u"system"_s)));
    }

    void cleanup()
    {
        m_mocks.clear();
        m_session.reset();
        m_system.reset();
    }

    // The first provider in the desktop's order that accepts takes the
    // inhibition; the others are not asked. Its service going away takes the
    // inhibition along: the loss is told. Back under a new owner before that
    // news arrived, it takes a new one, which the old owner's going leaves be.
    void powerAssertion_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("started");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QVariantList>("inhibit");
        const int idle = int(Type::PreventUserIdleSystemSleep);
        const int display = int(Type::NoDisplaySleep);
        const QVariantList named {u"Lullwatch"_s, reason};
        QTest::newRow("logind alone") << idle << u"logind"_s << u"logind"_s
                                      << QVariantList {u"idle"_s, u"Lullwatch"_s, reason, u"block"_s};
        QTest::newRow("GNOME before PowerManagement and logind")
            << idle << u"logind gnome powerManagement"_s << u"gnome"_s << QVariantList {u"lullwatch"_s, 0u, reason, 4u};
        QTest::newRow("PowerManagement before the portal")
            << idle << u"powerManagement portal"_s << u"powerManagement"_s << named;
        QTest::newRow("the portal before logind") << idle << u"logind portal"_s << u"portal"_s
                                                  << QVariantList {QString(), 4u, QVariantMap {{u"reason"_s, reason}}};
        QTest::newRow("a refusal falls through")
            << idle << u"gnome! powerManagement"_s << u"powerManagement"_s << named;
        QTest::newRow("display: the screen saver before GNOME")
            << display << u"screenSaver gnome"_s << u"screenSaver"_s << named;
        QTest::newRow("display: GNOME's idle flag")
            << display << u"gnome"_s << u"gnome"_s << QVariantList {u"lullwatch"_s, 0u, reason, 8u};
        QTest::newRow("display: never logind") << display << u"logind"_s << QString() << QVariantList();
        QTest::newRow("everyone refuses") << idle << u"gnome! powerManagement!"_s << QString() << QVariantList();
        QTest::newRow("nobody there") << idle << QString() << QString() << QVariantList();
        // Too late for the creation: the acceptance is undone when it comes.
        QTest::newRow("a late acceptance") << idle << u"gnome~"_s << QString() << QVariantList();
    }
    void powerAssertion()
    {
        QFETCH(int, type);
        QFETCH(QString, started);
        QFETCH(QString, chosen);
        QFETCH(QVariantList, inhibit);
        std::map<QString, MockService *> mocks;
        for (const QString &name : started.split(u' ', Qt::SkipEmptyParts))
            QVERIFY2((mocks[name] = startProvider(name)), qPrintable(name));
        DBusPowerAssertions assertions(m_session->connection(), m_system->connection());
        QList<uint> lost;
        assertions.setLossHandler([&lost](std::uint32_t identifier) { lost << identifier; });

        const auto first = assertions.create(Type(type), reason.toStdString());
        QCOMPARE(first.has_value(), !chosen.isEmpty());
        for (const auto &[name, mock] : mocks) {
            const Calls calls = mock->methodCalls(u"Inhibit"_s);
            QCOMPARE(calls.size(), name == chosen || name != baseName(name) ? 1 : 0);
            if (name == chosen)
                QCOMPARE(plain(calls[0]), inhibit);
            if (name.endsWith(u'~'))
                QTRY_VERIFY_WITH_TIMEOUT(released(name, *mock), 20000);
        }
        if (chosen.isEmpty())
            return;

        mocks[chosen]->kill();
        // Asked without the event loop: the bus's signals about the name wait.
        const QDeadlineTimer deadline(10000);
        while ((chosen == "logind"_L1 ? m_system : m_session)->hasOwner(mocks[chosen]->name()))
            QVERIFY(!deadline.hasExpired());
        QVERIFY((mocks[chosen] = startProvider(chosen)));
        const auto second = assertions.create(Type(type), reason.toStdString());
        QVERIFY(second);
        QTRY_COMPARE_WITH_TIMEOUT(lost, QList<uint> {*first}, 10000);
        assertions.release(*second);
        assertions.release(*second);
        assertions.release(*first);
        QTRY_VERIFY_WITH_TIMEOUT(released(chosen, *mocks[chosen]), 10000);
    }

    // UPower's display device while UPower runs, else the kernel's folder.
    void powerSource_data()
    {
        QTest::addColumn<QString>("upower"); // none, no bus, no battery, on battery, on mains
        QTest::addColumn<QStringList>("supplies"); // FOLDER attribute=value...
        QTest::addColumn<QString>("expected");
        const QString battery = u"BAT0 type=Battery capacity=57 status=Discharging"_s;
        const QString mouse = u"hidpp_battery_0 type=Battery scope=Device capacity=5 status=Discharging"_s;
        QTest::newRow("UPower on battery") << u"on battery"_s << QStringList {battery} << u"12 Battery Power"_s;
        QTest::newRow("UPower on mains") << u"on mains"_s << QStringList {battery} << u"12 AC Power"_s;
        QTest::newRow("UPower without a battery") << u"no battery"_s << QStringList {battery} << QString();
        QTest::newRow("mains off, a mouse aside")
            << u"none"_s << QStringList {u"AC type=Mains online=0"_s, battery, mouse} << u"57 Battery Power"_s;
        QTest::newRow("mains on, no bus")
            << u"no bus"_s << QStringList {u"AC type=Mains online=1"_s, battery} << u"57 AC Power"_s;
        QTest::newRow("no mains, discharging") << u"none"_s << QStringList {battery} << u"57 Battery Power"_s;
        QTest::newRow("no mains, charging")
            << u"none"_s << QStringList {u"BAT1 type=Battery capacity=80 status=Charging"_s} << u"80 AC Power"_s;
        QTest::newRow("batteries weighed by size") << u"none"_s
                                                   << QStringList {u"BAT0 type=Battery capacity=20 energy_full=3000"_s,
                                                                   u"BAT1 type=Battery capacity=100 energy_full=1000"_s}
                                                   << u"40 AC Power"_s;
        QTest::newRow("a desktop") << u"none"_s << QStringList {u"AC type=Mains online=1"_s} << QString();
        QTest::newRow("no kernel folder") << u"none"_s << QStringList() << u"unreadable"_s;
    }
    void powerSource()
    {
        QFETCH(QString, upower);
        QFETCH(QStringList, supplies);
        QFETCH(QString, expected);
        const fs::path sysfs = m_folder->filePath(u"sysfs"_s).toStdString();
        for (const QString &supply : supplies) {
            const QStringList words = supply.split(u' ');
            fs::create_directories(sysfs / words[0].toStdString());
            for (const QString &attribute : words.mid(1))
                writeFile(sysfs / words[0].toStdString() / attribute.section(u'=', 0, 0).toStdString(),
                          attribute.section(u'=', 1).toStdString() + "\n");
        }
        if (upower.startsWith("on"_L1) || upower == "no battery"_L1) {
            MockService *mock
                = startMock(true, u"org.freedesktop.UPower"_s, u"/org/freedesktop/UPower"_s,
                            {u"-t"_s, u"upower"_s, u"-p"_s,
                             u"{\"OnBattery\": %1}"_s.arg(upower == "on battery"_L1 ? "true"_L1 : "false"_L1)});
            QVERIFY(mock);
            if (upower.startsWith("on"_L1))
                QCOMPARE(mock->call(mock->path(), QString::fromLatin1(MockService::mockInterface),
                                    u"SetupDisplayDevice"_s,
                                    {2u, 2u, 12.7, 30.0, 60.0, 10.0, qlonglong(3600), qlonglong(0), true,
                                     u"battery-low"_s, 1u})
                             .type(),
                         QDBusMessage::ReplyMessage);
        }
        UPowerPowerSource source(upower == "no bus"_L1 ? QDBusConnection(u"absent"_s) : m_system->connection(), sysfs);
        const auto sources = source.read();
        QStringList read;
        for (const auto &battery : sources.value_or(std::vector<PowerSourceDescription> {})) {
            QCOMPARE(battery.type, std::optional<std::string>("InternalBattery"));
            QCOMPARE(battery.maxCapacity, std::optional<long long>(100));
            read << u"%1 %2"_s.arg(battery.currentCapacity.value_or(-1))
                        .arg(QString::fromStdString(battery.state.value_or("?")));
        }
        QCOMPARE(sources ? read.join(u';') : u"unreadable"_s, expected);
    }

    // A running server is the desktop's grant; without one, posts fail, never
    // from within the call.
    void postAndAuthorization_data()
    {
        QTest::addColumn<bool>("server");
        QTest::newRow("a server") << true;
        QTest::newRow("no server") << false;
    }
    void postAndAuthorization()
    {
        QFETCH(bool, server);
        MockService *mock = server ? startNotificationServer() : nullptr;
        QCOMPARE(bool(mock), server);
        FreedesktopNotificationCenter center(m_session->connection());
        std::optional<std::optional<std::string>> result;
        std::optional<NotificationCenter::Authorization> status;
        std::optional<std::pair<bool, std::optional<std::string>>> request;
        center.post("session-1", "Claude needs you", "site is waiting for your input.", "Show",
                    [&](std::optional<std::string> error) { result = std::move(error); });
        center.authorizationStatus([&](NotificationCenter::Authorization answer) { status = answer; });
        center.requestAuthorization(
            [&](bool granted, std::optional<std::string> error) { request = std::pair(granted, std::move(error)); });
        QVERIFY(!result && !status && !request);
        QTRY_VERIFY_WITH_TIMEOUT(result && status && request, 10000);
        QCOMPARE(*status,
                 server ? NotificationCenter::Authorization::Authorized : NotificationCenter::Authorization::Denied);
        QCOMPARE(request->first, server);
        QVERIFY(!request->second);
        if (!server) {
            QVERIFY(result->value_or("").find("org.freedesktop.Notifications") != std::string::npos);
            return;
        }
        QCOMPARE(*result, std::nullopt);
        const QVariantMap hints {{u"urgency"_s, QVariant::fromValue(uchar(1))},
                                 {u"desktop-entry"_s, u"lullwatch"_s},
                                 {u"sound-name"_s, u"message-new-instant"_s}};
        QCOMPARE(
            plain(mock->methodCalls(u"Notify"_s).value(0)),
            (QVariantList {u"Lullwatch"_s, 0u, u"lullwatch"_s, u"Claude needs you"_s,
                           u"site is waiting for your input."_s, QStringList {u"default"_s, u"Show"_s}, hints, -1}));
    }

    // Steps: "post ID" waits for the answer, "post ID now" does not;
    // "withdraw ID..."; the server's "closed N" and "click N ACTION".
    void notifications_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("replaced"); // each Notify's replaces_id
        QTest::addColumn<QString>("closed"); // each CloseNotification's id
        QTest::addColumn<QString>("clicked");
        QTest::newRow("posting again replaces; withdrawn, it starts afresh")
            << u"post a, post a, withdraw a never-posted, post a"_s << u"0 1 0"_s << u"1"_s << QString();
        QTest::newRow("withdrawn before its id came") << u"post a now, withdraw a"_s << u"0"_s << u"1"_s << QString();
        QTest::newRow("posted again before the first id came")
            << u"post a now, post a, post a"_s << u"0 0 2"_s << u"1"_s << QString();
        QTest::newRow("closed by the server, not replaced")
            << u"post a, closed 1, post a"_s << u"0 0"_s << QString() << QString();
        QTest::newRow("clicks count until it closed")
            << u"post a, click 1 other, click 1 default, closed 1, click 1 default, post b, click 2 default"_s
            << u"0 0"_s << QString() << u"a b"_s;
    }
    void notifications()
    {
        QFETCH(QString, steps);
        QFETCH(QString, replaced);
        QFETCH(QString, closed);
        QFETCH(QString, clicked);
        MockService *server = startNotificationServer();
        QVERIFY(server);
        FreedesktopNotificationCenter center(m_session->connection());
        QStringList shown;
        center.setActivationHandler(
            [&](const std::string &identifier) { shown << QString::fromStdString(identifier); });
        int posted = 0, answered = 0, asked = 0, told = 0;
        // Replies and signals come in order: once this answer is in, so is all before it.
        const auto settle = [&] {
            center.authorizationStatus([&](NotificationCenter::Authorization) { ++told; });
            return QTest::qWaitFor([&, wanted = ++asked] { return told == wanted && answered == posted; }, 10000);
        };
        for (const QString &step : steps.split(u", "_s)) {
            const QStringList words = step.split(u' ');
            if (words[0] == "post"_L1) {
                center.post(words[1].toStdString(), "Claude needs you", "body", std::nullopt,
                            [&](std::optional<std::string>) { ++answered; });
                ++posted;
                QVERIFY(words.size() > 2 || settle());
            } else if (words[0] == "withdraw"_L1) {
                std::vector<std::string> identifiers;
                for (const QString &identifier : words.mid(1))
                    identifiers.push_back(identifier.toStdString());
                center.withdraw(identifiers);
            } else {
                const bool click = words[0] == "click"_L1;
                server->call(server->path(), QString::fromLatin1(MockService::mockInterface), u"EmitSignal"_s,
                             {server->name(), click ? u"ActionInvoked"_s : u"NotificationClosed"_s,
                              click ? u"us"_s : u"uu"_s,
                              QVariantList {words[1].toUInt(), click ? QVariant(words[2]) : 2u}});
                QVERIFY(click || settle());
            }
        }
        QVERIFY(settle());
        const auto ids = [&](const QString &method, int argument) {
            QStringList values;
            for (const QVariantList &call : server->methodCalls(method))
                values << call.value(argument).toString();
            return values.join(u' ');
        };
        QCOMPARE(ids(u"Notify"_s, 1), replaced);
        QCOMPARE(ids(u"CloseNotification"_s, 0), closed);
        QCOMPARE(shown.join(u' '), clicked);
    }

    // The desktop's own notification settings, Plasma's on Plasma.
    void openSettings_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QString>("expected");
        QTest::newRow("GNOME's") << u"gnome-control-center"_s << u"GNOME"_s << u"gnome-control-center notifications"_s;
        QTest::newRow("Plasma's, elsewhere")
            << u"systemsettings"_s << u"XFCE"_s << u"systemsettings kcm_notifications"_s;
        QTest::newRow("both, on Plasma") << u"gnome-control-center systemsettings"_s << u"KDE"_s
                                         << u"systemsettings kcm_notifications"_s;
        QTest::newRow("both, elsewhere") << u"gnome-control-center systemsettings"_s << u"XFCE"_s
                                         << u"gnome-control-center notifications"_s;
    }
    void openSettings()
    {
        QFETCH(QString, installed);
        QFETCH(QString, desktop);
        QFETCH(QString, expected);
        const std::string bin = m_folder->path().toStdString(), record = bin + "/started";
        for (const QString &program : installed.split(u' ')) {
            const std::string path = bin + '/' + program.toStdString();
            writeFile(path, "#!/bin/sh\necho \"" + program.toStdString() + " $*\" > " + record + "\n");
            fs::permissions(path, fs::perms::owner_all);
        }
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QByteArray::fromStdString(bin));
        qputenv("XDG_CURRENT_DESKTOP", desktop.toUtf8());
        FreedesktopNotificationCenter(m_session->connection()).openSettings();
        qputenv("PATH", path);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(readFile(record)).trimmed(), expected, 10000);
    }
};

int main(int argc, char **argv)
{
    const TestHome home;
    QCoreApplication app(argc, argv);
    TestDBusServices test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dbusservices.moc"
