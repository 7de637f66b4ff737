#include "platform/DBusPowerAssertions.h"
#include "platform/FreedesktopNotificationCenter.h"
#include "platform/MockService.h"
#include "platform/PrivateBus.h"
#include "platform/TestHome.h"
#include "platform/UPowerPowerSource.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>

using namespace lullwatch;
using namespace lullwatch::test;
using Type = PowerAssertions::Type;
namespace fs = std::filesystem;

namespace {

const QString reason = QStringLiteral("Claude Code is working");

struct Inhibitor {
    QString what;
    QString who;
    QString why;
    QString mode;
};

// logind's inhibitors as its ListInhibitors gives them.
QList<Inhibitor> logindInhibitors(const MockService &logind)
{
    const QDBusMessage reply
        = logind.call(QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
                      QStringLiteral("ListInhibitors"));
    QList<Inhibitor> inhibitors;
    const auto records = reply.arguments().value(0).value<QDBusArgument>();
    records.beginArray();
    while (!records.atEnd()) {
        Inhibitor inhibitor;
        uint uid = 0;
        uint pid = 0;
        records.beginStructure();
        records >> inhibitor.what >> inhibitor.who >> inhibitor.why >> inhibitor.mode >> uid >> pid;
        records.endStructure();
        inhibitors << inhibitor;
    }
    records.endArray();
    return inhibitors;
}

// One power-supply folder as the kernel shows it.
void writeSupply(const fs::path &root, const std::string &name, const std::map<std::string, std::string> &attributes)
{
    fs::create_directories(root / name);
    for (const auto &[attribute, value] : attributes)
        writeFile(root / name / attribute, value + "\n");
}

} // namespace

class TestDBusServices : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<PrivateBus> m_session;
    std::unique_ptr<PrivateBus> m_system;
    std::vector<std::unique_ptr<MockService>> m_mocks;
    int m_run = 0;

    QDBusConnection sessionBus() const { return m_session->connection(); }
    QDBusConnection systemBus() const { return m_system->connection(); }

    // A dbusmock service, up and owning its name; null when it did not start.
    MockService *startMock(bool onSystemBus, const QString &name, const QString &path, const QStringList &arguments)
    {
        auto mock = std::make_unique<MockService>(onSystemBus ? *m_system : *m_session, m_session->address(),
                                                  m_system->address(), name, path, arguments);
        if (!mock->waitUntilReady())
            return nullptr;
        m_mocks.push_back(std::move(mock));
        return m_mocks.back().get();
    }

    MockService *startObject(const QString &name, const QString &path, const QString &interface)
    {
        return startMock(false, name, path, {name, path, interface});
    }

    MockService *startLogind()
    {
        return startMock(true, QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                         {QStringLiteral("-t"), QStringLiteral("logind")});
    }

    // A cookie-handing inhibit service; `inhibit` is the Python of its Inhibit.
    MockService *startCookieService(const QString &name, const QString &path, const QString &interface,
                                    const QString &inhibitSignature, const QString &uninhibit, const QString &inhibit)
    {
        MockService *mock = startObject(name, path, interface);
        if (!mock || !mock->addMethod({}, QStringLiteral("Inhibit"), inhibitSignature, QStringLiteral("u"), inhibit)
            || !mock->addMethod({}, uninhibit, QStringLiteral("u"), {}, {}))
            return nullptr;
        return mock;
    }

    MockService *startGnomeSession(const QString &inhibit = QStringLiteral("ret = 42"))
    {
        return startCookieService(
            QStringLiteral("org.gnome.SessionManager"), QStringLiteral("/org/gnome/SessionManager"),
            QStringLiteral("org.gnome.SessionManager"), QStringLiteral("susu"), QStringLiteral("Uninhibit"), inhibit);
    }

    MockService *startPowerManagement(const QString &inhibit = QStringLiteral("ret = 5"))
    {
        return startCookieService(QStringLiteral("org.freedesktop.PowerManagement"),
                                  QStringLiteral("/org/freedesktop/PowerManagement/Inhibit"),
                                  QStringLiteral("org.freedesktop.PowerManagement.Inhibit"), QStringLiteral("ss"),
                                  QStringLiteral("UnInhibit"), inhibit);
    }

    MockService *startScreenSaver()
    {
        return startCookieService(QStringLiteral("org.freedesktop.ScreenSaver"),
                                  QStringLiteral("/org/freedesktop/ScreenSaver"),
                                  QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("ss"),
                                  QStringLiteral("UnInhibit"), QStringLiteral("ret = 9"));
    }

    // The portal hands out a request object, whose Close ends the inhibition.
    static inline const QString portalRequest = QStringLiteral("/org/freedesktop/portal/desktop/request/1_1/lullwatch");
    MockService *startPortal()
    {
        MockService *portal = startObject(QStringLiteral("org.freedesktop.portal.Desktop"),
                                          QStringLiteral("/org/freedesktop/portal/desktop"),
                                          QStringLiteral("org.freedesktop.portal.Inhibit"));
        const QString inhibit = QStringLiteral("self.AddObject('%1', 'org.freedesktop.portal.Request', {}, "
                                               "[('Close', '', '', '')])\n"
                                               "ret = '%1'")
                                    .arg(portalRequest);
        if (!portal
            || !portal->addMethod({}, QStringLiteral("Inhibit"), QStringLiteral("sua{sv}"), QStringLiteral("o"),
                                  inhibit))
            return nullptr;
        return portal;
    }

    MockService *startProvider(const QString &name)
    {
        return name == QLatin1String("logind")         ? startLogind()
            : name == QLatin1String("gnome")           ? startGnomeSession()
            : name == QLatin1String("powerManagement") ? startPowerManagement()
            : name == QLatin1String("portal")          ? startPortal()
                                                       : startScreenSaver();
    }

    MockService *startNotificationServer()
    {
        return startMock(false, QStringLiteral("org.freedesktop.Notifications"),
                         QStringLiteral("/org/freedesktop/Notifications"),
                         {QStringLiteral("-t"), QStringLiteral("notification_daemon")});
    }

private Q_SLOTS:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
        ++m_run;
        m_session = std::make_unique<PrivateBus>(QStringLiteral("lullwatch-session-%1").arg(m_run));
        m_system = std::make_unique<PrivateBus>(QStringLiteral("lullwatch-system-%1").arg(m_run));
        QVERIFY(QDir(m_folder->path()).mkpath(QStringLiteral("session")));
        QVERIFY(QDir(m_folder->path()).mkpath(QStringLiteral("system")));
        QVERIFY(m_session->start(m_folder->filePath(QStringLiteral("session"))));
        QVERIFY(m_system->start(m_folder->filePath(QStringLiteral("system"))));
    }

    void cleanup()
    {
        m_mocks.clear();
        m_session.reset();
        m_system.reset();
        m_folder.reset();
    }

    // ---- Power assertions

    // With only logind on the system bus, the desktop's providers are skipped.
    void systemAssertionGoesToLogindAlone()
    {
        MockService *logind = startLogind();
        QVERIFY(logind);
        DBusPowerAssertions assertions(sessionBus(), systemBus());

        const auto identifier = assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString());
        QVERIFY(identifier);
        QVERIFY(*identifier != 0);
        const auto inhibitors = logindInhibitors(*logind);
        QCOMPARE(inhibitors.size(), 1);
        QCOMPARE(inhibitors[0].what, QStringLiteral("idle"));
        QCOMPARE(inhibitors[0].who, QStringLiteral("Lullwatch"));
        QCOMPARE(inhibitors[0].why, reason);
        QCOMPARE(inhibitors[0].mode, QStringLiteral("block"));

        assertions.release(*identifier);
        QTRY_VERIFY_WITH_TIMEOUT(logindInhibitors(*logind).isEmpty(), 10000);
    }

    // The first provider in the desktop's order takes the inhibition, with
    // its own arguments, and gets the cookie back on release; the others
    // are not asked.
    void cookieProviderOrder_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QStringList>("started");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QVariantList>("inhibit");
        QTest::addColumn<QString>("uninhibit");
        QTest::addColumn<uint>("cookie");
        const auto idle = int(Type::PreventUserIdleSystemSleep);
        const auto display = int(Type::NoDisplaySleep);
        const auto gnome = QStringLiteral("gnome");
        QTest::newRow("GNOME before PowerManagement and logind")
            << idle << QStringList {QStringLiteral("logind"), gnome, QStringLiteral("powerManagement")} << gnome
            << QVariantList {QStringLiteral("lullwatch"), 0u, reason, 4u} << QStringLiteral("Uninhibit") << 42u;
        QTest::newRow("PowerManagement before the portal")
            << idle << QStringList {QStringLiteral("powerManagement"), QStringLiteral("portal")}
            << QStringLiteral("powerManagement") << QVariantList {QStringLiteral("Lullwatch"), reason}
            << QStringLiteral("UnInhibit") << 5u;
        QTest::newRow("display: the screen saver before GNOME")
            << display << QStringList {QStringLiteral("screenSaver"), gnome} << QStringLiteral("screenSaver")
            << QVariantList {QStringLiteral("Lullwatch"), reason} << QStringLiteral("UnInhibit") << 9u;
        QTest::newRow("display: GNOME's idle flag")
            << display << QStringList {gnome} << gnome << QVariantList {QStringLiteral("lullwatch"), 0u, reason, 8u}
            << QStringLiteral("Uninhibit") << 42u;
    }
    void cookieProviderOrder()
    {
        QFETCH(int, type);
        QFETCH(QStringList, started);
        QFETCH(QString, chosen);
        QFETCH(QVariantList, inhibit);
        QFETCH(QString, uninhibit);
        QFETCH(uint, cookie);
        std::map<QString, MockService *> providers;
        for (const QString &name : started) {
            MockService *mock = startProvider(name);
            QVERIFY2(mock, qPrintable(name));
            providers[name] = mock;
        }
        DBusPowerAssertions assertions(sessionBus(), systemBus());

        const auto identifier = assertions.create(Type(type), reason.toStdString());
        QVERIFY(identifier);
        QCOMPARE(providers[chosen]->methodCalls(QStringLiteral("Inhibit")), QList<QVariantList> {inhibit});
        for (const auto &[name, mock] : providers) {
            if (name == QLatin1String("logind"))
                QVERIFY(logindInhibitors(*mock).isEmpty());
            else if (name != chosen)
                QVERIFY2(mock->methodCalls(QStringLiteral("Inhibit")).isEmpty(), qPrintable(name));
        }

        assertions.release(*identifier);
        QTRY_COMPARE_WITH_TIMEOUT(providers[chosen]->methodCalls(uninhibit), QList<QVariantList> {{cookie}}, 10000);
    }

    void portalComesBeforeLogind()
    {
        MockService *logind = startLogind();
        MockService *portal = startPortal();
        QVERIFY(logind && portal);
        DBusPowerAssertions assertions(sessionBus(), systemBus());

        const auto identifier = assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString());
        QVERIFY(identifier);
        const auto calls = portal->methodCalls(QStringLiteral("Inhibit"));
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].size(), 3);
        QCOMPARE(calls[0][0], QVariant(QString()));
        QCOMPARE(calls[0][1], QVariant(4u));
        QCOMPARE(toVariantMap(calls[0][2]), (QVariantMap {{QStringLiteral("reason"), reason}}));
        QVERIFY(logindInhibitors(*logind).isEmpty());

        assertions.release(*identifier);
        QTRY_COMPARE_WITH_TIMEOUT(portal->methodCalls(QStringLiteral("Close"), portalRequest).size(), 1, 10000);
    }

    void errorFallsThroughToTheNextProvider()
    {
        MockService *gnome = startGnomeSession(QStringLiteral(
            "raise dbus.exceptions.DBusException('Not now', name='org.gnome.SessionManager.GeneralError')"));
        MockService *powerManagement = startPowerManagement();
        QVERIFY(gnome && powerManagement);
        DBusPowerAssertions assertions(sessionBus(), systemBus());

        QVERIFY(assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString()));
        QCOMPARE(gnome->methodCalls(QStringLiteral("Inhibit")).size(), 1);
        QCOMPARE(powerManagement->methodCalls(QStringLiteral("Inhibit")).size(), 1);
    }

    void creationFailsWhenNobodyAccepts()
    {
        DBusPowerAssertions alone(sessionBus(), systemBus());
        QVERIFY(!alone.create(Type::PreventUserIdleSystemSleep, reason.toStdString()));
        QVERIFY(!alone.create(Type::NoDisplaySleep, reason.toStdString()));

        MockService *gnome = startGnomeSession(QStringLiteral("raise dbus.exceptions.DBusException('No')"));
        MockService *powerManagement
            = startPowerManagement(QStringLiteral("raise dbus.exceptions.DBusException('No')"));
        QVERIFY(gnome && powerManagement);
        DBusPowerAssertions refused(sessionBus(), systemBus());
        QVERIFY(!refused.create(Type::PreventUserIdleSystemSleep, reason.toStdString()));
        QCOMPARE(powerManagement->methodCalls(QStringLiteral("Inhibit")).size(), 1);
    }

    // A provider that answers only after the creation gave up: its late
    // acceptance is undone, and nothing stays inhibited.
    void lateAcceptanceIsReleased()
    {
        MockService *gnome = startGnomeSession(QStringLiteral("time.sleep(2)\nret = 7"));
        QVERIFY(gnome);
        DBusPowerAssertions assertions(sessionBus(), systemBus());

        QVERIFY(!assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString()));
        QTRY_COMPARE_WITH_TIMEOUT(gnome->methodCalls(QStringLiteral("Uninhibit")), QList<QVariantList> {{7u}}, 20000);
    }

    void providerThatAppearsLaterIsUsed()
    {
        DBusPowerAssertions assertions(sessionBus(), systemBus());
        QVERIFY(!assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString()));
        MockService *gnome = startGnomeSession();
        QVERIFY(gnome);
        // QTRY evaluates its condition more than once: create only until one is made.
        std::optional<std::uint32_t> identifier;
        const auto created = [&] {
            if (!identifier)
                identifier = assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString());
            return identifier.has_value();
        };
        QTRY_VERIFY_WITH_TIMEOUT(created(), 10000);
        QCOMPARE(gnome->methodCalls(QStringLiteral("Inhibit")).size(), 1);
    }

    void providerThatDisappearsIsSkipped()
    {
        MockService *logind = startLogind();
        MockService *gnome = startGnomeSession();
        QVERIFY(logind && gnome);
        DBusPowerAssertions assertions(sessionBus(), systemBus());
        const auto first = assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString());
        QVERIFY(first);

        gnome->kill();
        QTRY_VERIFY_WITH_TIMEOUT(!m_session->hasOwner(gnome->name()), 10000);
        assertions.release(*first); // to a service that is gone

        const auto second = assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString());
        QVERIFY(second);
        QVERIFY(*second > *first);
        QCOMPARE(logindInhibitors(*logind).size(), 1);
        assertions.release(*second);
        QTRY_VERIFY_WITH_TIMEOUT(logindInhibitors(*logind).isEmpty(), 10000);
    }

    // A provider that goes away takes its inhibitor along: the loss is told.
    // The provider back under a new owner before that news arrived gives a
    // new inhibitor, which the old owner's going does not touch.
    void providerThatGoesAwayReportsTheLoss_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("provider");
        const auto idle = int(Type::PreventUserIdleSystemSleep);
        QTest::newRow("PowerManagement") << idle << QStringLiteral("powerManagement");
        QTest::newRow("portal") << idle << QStringLiteral("portal");
        QTest::newRow("logind's descriptor") << idle << QStringLiteral("logind");
        QTest::newRow("display: the screen saver") << int(Type::NoDisplaySleep) << QStringLiteral("screenSaver");
    }
    void providerThatGoesAwayReportsTheLoss()
    {
        QFETCH(int, type);
        QFETCH(QString, provider);
        MockService *first = startProvider(provider);
        QVERIFY(first);
        DBusPowerAssertions assertions(sessionBus(), systemBus());
        std::vector<std::uint32_t> lost;
        assertions.setLossHandler([&lost](std::uint32_t identifier) { lost.push_back(identifier); });
        const auto identifier = assertions.create(Type(type), reason.toStdString());
        QVERIFY(identifier);

        first->kill();
        // Asked without the event loop: the signals about the name wait.
        const PrivateBus &bus = provider == QLatin1String("logind") ? *m_system : *m_session;
        const QDeadlineTimer deadline(10000);
        while (bus.hasOwner(first->name()))
            QVERIFY(!deadline.hasExpired());
        QVERIFY(startProvider(provider));
        const auto again = assertions.create(Type(type), reason.toStdString());
        QVERIFY(again);
        QTRY_VERIFY_WITH_TIMEOUT(!lost.empty(), 10000);
        QVERIFY(lost == std::vector {*identifier});
    }

    void identifiersAreUniqueAndIncreasing()
    {
        MockService *logind = startLogind();
        QVERIFY(logind);
        DBusPowerAssertions assertions(sessionBus(), systemBus());
        const auto first = assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString());
        const auto second = assertions.create(Type::PreventUserIdleSystemSleep, "Copilot is working");
        QVERIFY(first && second);
        QVERIFY(*first > 0 && *second > *first);
        QCOMPARE(logindInhibitors(*logind).size(), 2);

        assertions.release(*first);
        assertions.release(*first); // twice, and an unknown one: nothing happens
        assertions.release(12345);
        QTRY_COMPARE_WITH_TIMEOUT(logindInhibitors(*logind).size(), 1, 10000);
        QCOMPARE(logindInhibitors(*logind)[0].why, QStringLiteral("Copilot is working"));
    }

    void destructionReleasesWhatIsHeld()
    {
        MockService *gnome = startGnomeSession();
        QVERIFY(gnome);
        {
            DBusPowerAssertions assertions(sessionBus(), systemBus());
            QVERIFY(assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString()));
        }
        QTRY_COMPARE_WITH_TIMEOUT(gnome->methodCalls(QStringLiteral("Uninhibit")).size(), 1, 10000);
    }

    void displayAssertionNeverGoesToLogind()
    {
        MockService *logind = startLogind();
        QVERIFY(logind);
        DBusPowerAssertions assertions(sessionBus(), systemBus());
        QVERIFY(!assertions.create(Type::NoDisplaySleep, reason.toStdString()));
        QVERIFY(logindInhibitors(*logind).isEmpty());
    }

    void withoutBusesNothingIsCreated()
    {
        DBusPowerAssertions assertions(QDBusConnection(QStringLiteral("lullwatch-absent")),
                                       QDBusConnection(QStringLiteral("lullwatch-absent")));
        QVERIFY(!assertions.create(Type::PreventUserIdleSystemSleep, reason.toStdString()));
        assertions.release(1);
    }

    // ---- Power source

    void upowerDisplayDeviceIsTheBattery()
    {
        MockService *upower
            = startMock(true, QStringLiteral("org.freedesktop.UPower"), QStringLiteral("/org/freedesktop/UPower"),
                        {QStringLiteral("-t"), QStringLiteral("upower"), QStringLiteral("-p"),
                         QStringLiteral("{\"OnBattery\": true}")});
        QVERIFY(upower);
        const QDBusMessage setUp = upower->call(
            upower->path(), QString::fromLatin1(MockService::mockInterface), QStringLiteral("SetupDisplayDevice"),
            {2u, 2u, 12.7, 30.0, 60.0, 10.0, qlonglong(3600), qlonglong(0), true, QStringLiteral("battery-low"), 1u});
        QCOMPARE(setUp.type(), QDBusMessage::ReplyMessage);

        UPowerPowerSource source(systemBus(), m_folder->filePath(QStringLiteral("no-sysfs")).toStdString());
        auto sources = source.read();
        QVERIFY(sources);
        QCOMPARE(sources->size(), 1u);
        QCOMPARE(sources->at(0).type, std::optional<std::string>("InternalBattery"));
        QCOMPARE(sources->at(0).currentCapacity, std::optional<long long>(12));
        QCOMPARE(sources->at(0).maxCapacity, std::optional<long long>(100));
        QCOMPARE(sources->at(0).state, std::optional<std::string>("Battery Power"));

        const QDBusMessage set
            = upower->call(upower->path(), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
                           {QStringLiteral("org.freedesktop.UPower"), QStringLiteral("OnBattery"),
                            QVariant::fromValue(QDBusVariant(false))});
        QCOMPARE(set.type(), QDBusMessage::ReplyMessage);
        sources = source.read();
        QVERIFY(sources && sources->size() == 1);
        QCOMPARE(sources->at(0).state, std::optional<std::string>("AC Power"));
    }

    // UPower running without a battery is the last word, whatever the kernel's folder shows.
    void upowerWithoutBatteryGivesNoSources()
    {
        MockService *upower
            = startMock(true, QStringLiteral("org.freedesktop.UPower"), QStringLiteral("/org/freedesktop/UPower"),
                        {QStringLiteral("-t"), QStringLiteral("upower")});
        QVERIFY(upower);
        const fs::path sysfs = m_folder->filePath(QStringLiteral("sysfs")).toStdString();
        writeSupply(sysfs, "BAT0", {{"type", "Battery"}, {"capacity", "50"}, {"status", "Discharging"}});

        UPowerPowerSource source(systemBus(), sysfs);
        const auto sources = source.read();
        QVERIFY(sources);
        QVERIFY(sources->empty());
    }

    void withoutUPowerTheKernelFolderIsRead()
    {
        const fs::path sysfs = m_folder->filePath(QStringLiteral("sysfs")).toStdString();
        writeSupply(sysfs, "AC", {{"type", "Mains"}, {"online", "0"}});
        writeSupply(sysfs, "BAT0", {{"type", "Battery"}, {"capacity", "57"}, {"status", "Discharging"}});
        writeSupply(sysfs, "hidpp_battery_0",
                    {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "5"}, {"status", "Discharging"}});

        for (const auto &bus : {systemBus(), QDBusConnection(QStringLiteral("lullwatch-absent"))}) {
            UPowerPowerSource source(bus, sysfs);
            const auto sources = source.read();
            QVERIFY(sources && sources->size() == 1);
            QCOMPARE(sources->at(0).type, std::optional<std::string>("InternalBattery"));
            QCOMPARE(sources->at(0).currentCapacity, std::optional<long long>(57));
            QCOMPARE(sources->at(0).maxCapacity, std::optional<long long>(100));
            QCOMPARE(sources->at(0).state, std::optional<std::string>("Battery Power"));
        }

        writeSupply(sysfs, "AC", {{"type", "Mains"}, {"online", "1"}});
        UPowerPowerSource source(systemBus(), sysfs);
        QCOMPARE(source.read()->at(0).state, std::optional<std::string>("AC Power"));
    }

    void kernelFolderWithoutMainsGoesByStatus()
    {
        const fs::path sysfs = m_folder->filePath(QStringLiteral("sysfs")).toStdString();
        writeSupply(sysfs, "BAT1", {{"type", "Battery"}, {"capacity", "80"}, {"status", "Charging"}});
        UPowerPowerSource source(systemBus(), sysfs);
        QCOMPARE(source.read()->at(0).state, std::optional<std::string>("AC Power"));
        writeSupply(sysfs, "BAT1", {{"type", "Battery"}, {"capacity", "80"}, {"status", "Discharging"}});
        QCOMPARE(source.read()->at(0).state, std::optional<std::string>("Battery Power"));
    }

    void kernelFolderCombinesBatteriesBySize()
    {
        const fs::path sysfs = m_folder->filePath(QStringLiteral("sysfs")).toStdString();
        writeSupply(sysfs, "BAT0", {{"type", "Battery"}, {"capacity", "20"}, {"energy_full", "30000000"}});
        writeSupply(sysfs, "BAT1", {{"type", "Battery"}, {"capacity", "100"}, {"energy_full", "10000000"}});
        UPowerPowerSource source(systemBus(), sysfs);
        const auto sources = source.read();
        QVERIFY(sources && sources->size() == 1);
        QCOMPARE(sources->at(0).currentCapacity, std::optional<long long>(40));
    }

    void kernelFolderWithoutBattery()
    {
        const fs::path sysfs = m_folder->filePath(QStringLiteral("sysfs")).toStdString();
        writeSupply(sysfs, "AC", {{"type", "Mains"}, {"online", "1"}});
        UPowerPowerSource desktop(systemBus(), sysfs);
        QVERIFY(desktop.read() && desktop.read()->empty());

        UPowerPowerSource nothing(systemBus(), sysfs / "missing");
        QVERIFY(!nothing.read());
    }

    // ---- Notifications

    void postSendsTheNotification()
    {
        MockService *server = startNotificationServer();
        QVERIFY(server);
        FreedesktopNotificationCenter center(sessionBus());
        QVERIFY(center.isAvailable());

        std::optional<std::optional<std::string>> result;
        center.post("session-1", "Claude needs you", "site is waiting for your input.", std::nullopt,
                    [&](std::optional<std::string> error) { result = std::move(error); });
        QVERIFY(!result); // never from within the call
        QTRY_VERIFY_WITH_TIMEOUT(result, 10000);
        QCOMPARE(*result, std::nullopt);

        const auto calls = server->methodCalls(QStringLiteral("Notify"));
        QCOMPARE(calls.size(), 1);
        const QVariantList &notify = calls[0];
        QCOMPARE(notify.size(), 8);
        QCOMPARE(notify[0], QVariant(QStringLiteral("Lullwatch")));
        QCOMPARE(notify[1], QVariant(0u));
        QCOMPARE(notify[2], QVariant(QStringLiteral("lullwatch")));
        QCOMPARE(notify[3], QVariant(QStringLiteral("Claude needs you")));
        QCOMPARE(notify[4], QVariant(QStringLiteral("site is waiting for your input.")));
        QVERIFY(notify[5].toStringList().isEmpty());
        const QVariantMap hints = toVariantMap(notify[6]);
        QCOMPARE(hints.value(QStringLiteral("urgency")), QVariant::fromValue(uchar(1)));
        QCOMPARE(hints.value(QStringLiteral("desktop-entry")), QVariant(QStringLiteral("lullwatch")));
        QCOMPARE(hints.value(QStringLiteral("sound-name")), QVariant(QStringLiteral("message-new-instant")));
        QCOMPARE(notify[7], QVariant(-1));
    }

    void postingAgainReplacesAndWithdrawCloses()
    {
        MockService *server = startNotificationServer();
        QVERIFY(server);
        FreedesktopNotificationCenter center(sessionBus());
        int answered = 0;
        const auto count = [&](std::optional<std::string>) { ++answered; };

        center.post("session-1", "Claude needs you", "first", std::nullopt, count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 1, 10000);
        center.post("session-1", "Claude needs you", "again", std::nullopt, count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 2, 10000);
        const auto notifies = server->methodCalls(QStringLiteral("Notify"));
        QCOMPARE(notifies.size(), 2);
        QCOMPARE(notifies[1][1], QVariant(1u)); // the server's id of the first

        center.withdraw({"session-1", "never-posted"});
        QTRY_COMPARE_WITH_TIMEOUT(server->methodCalls(QStringLiteral("CloseNotification")).size(), 1, 10000);
        QCOMPARE(server->methodCalls(QStringLiteral("CloseNotification"))[0][0].toUInt(), 1u);

        // Withdrawn, the identifier starts afresh.
        center.post("session-1", "Claude needs you", "third", std::nullopt, count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 3, 10000);
        QCOMPARE(server->methodCalls(QStringLiteral("Notify"))[2][1], QVariant(0u));
    }

    void withdrawBeforeTheIdArrivedStillCloses()
    {
        MockService *server = startNotificationServer();
        QVERIFY(server);
        FreedesktopNotificationCenter center(sessionBus());
        bool answered = false;
        center.post("session-1", "Claude needs you", "body", std::nullopt,
                    [&](std::optional<std::string>) { answered = true; });
        center.withdraw({"session-1"});
        QTRY_VERIFY_WITH_TIMEOUT(answered, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server->methodCalls(QStringLiteral("CloseNotification")).size(), 1, 10000);
        QCOMPARE(server->methodCalls(QStringLiteral("CloseNotification"))[0][0].toUInt(), 1u);
    }

    // Two posts before the first id came: the second notification stays,
    // the first does not linger beside it.
    void quickRepostLeavesOneNotification()
    {
        MockService *server = startNotificationServer();
        QVERIFY(server);
        FreedesktopNotificationCenter center(sessionBus());
        int answered = 0;
        const auto count = [&](std::optional<std::string>) { ++answered; };
        center.post("session-1", "Claude needs you", "one", std::nullopt, count);
        center.post("session-1", "Claude needs you", "two", std::nullopt, count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 2, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server->methodCalls(QStringLiteral("CloseNotification")).size(), 1, 10000);
        QCOMPARE(server->methodCalls(QStringLiteral("CloseNotification"))[0][0].toUInt(), 1u);

        center.post("session-1", "Claude needs you", "three", std::nullopt, count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 3, 10000);
        QCOMPARE(server->methodCalls(QStringLiteral("Notify"))[2][1], QVariant(2u));
    }

    // A notification the server closed (the user dismissed it) is not replaced.
    void closedByTheServerIsForgotten()
    {
        MockService *server = startNotificationServer();
        QVERIFY(server);
        FreedesktopNotificationCenter center(sessionBus());
        int answered = 0;
        const auto count = [&](std::optional<std::string>) { ++answered; };
        center.post("session-1", "Claude needs you", "one", std::nullopt, count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 1, 10000);

        // The template's CloseNotification emits NotificationClosed.
        server->call(server->path(), QStringLiteral("org.freedesktop.Notifications"),
                     QStringLiteral("CloseNotification"), {1});
        // Signals and replies come in order: once this answer is in, so is the signal.
        center.post("session-2", "Claude needs you", "other", std::nullopt, count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 2, 10000);

        center.post("session-1", "Claude needs you", "again", std::nullopt, count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 3, 10000);
        QCOMPARE(server->methodCalls(QStringLiteral("Notify"))[2][1], QVariant(0u));
    }

    // A click on the notification ("default") reaches the handler with what
    // was posted, until the server says the notification closed.
    void clickReachesTheHandler()
    {
        MockService *server = startNotificationServer();
        QVERIFY(server);
        FreedesktopNotificationCenter center(sessionBus());
        QStringList clicked;
        center.setActivationHandler(
            [&](const std::string &identifier) { clicked << QString::fromStdString(identifier); });
        int answered = 0;
        const auto count = [&](std::optional<std::string>) { ++answered; };
        const auto emitSignal = [&](const QString &name, const QVariantList &arguments) {
            server->call(server->path(), QString::fromLatin1(MockService::mockInterface), QStringLiteral("EmitSignal"),
                         {server->name(), name,
                          name == QLatin1String("ActionInvoked") ? QStringLiteral("us") : QStringLiteral("uu"),
                          arguments});
        };
        center.post("session-1", "Claude needs you", "one", "Show", count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 1, 10000);
        QCOMPARE(server->methodCalls(QStringLiteral("Notify"))[0][5].toStringList(),
                 QStringList({QStringLiteral("default"), QStringLiteral("Show")}));

        // The template numbers its notifications from 1.
        emitSignal(QStringLiteral("ActionInvoked"), {1u, QStringLiteral("other")});
        emitSignal(QStringLiteral("ActionInvoked"), {1u, QStringLiteral("default")});
        emitSignal(QStringLiteral("NotificationClosed"), {1u, 2u});
        emitSignal(QStringLiteral("ActionInvoked"), {1u, QStringLiteral("default")});
        center.post("session-2", "Claude needs you", "two", "Show", count);
        QTRY_COMPARE_WITH_TIMEOUT(answered, 2, 10000);
        emitSignal(QStringLiteral("ActionInvoked"), {2u, QStringLiteral("default")});
        // Signals come in order: once the last is in, so are the others.
        QTRY_COMPARE_WITH_TIMEOUT(clicked.size(), 2, 10000);
        QCOMPARE(clicked, QStringList({QStringLiteral("session-1"), QStringLiteral("session-2")}));
    }

    void postErrorReachesTheCompletion()
    {
        MockService *server = startObject(QStringLiteral("org.freedesktop.Notifications"),
                                          QStringLiteral("/org/freedesktop/Notifications"),
                                          QStringLiteral("org.freedesktop.Notifications"));
        QVERIFY(server);
        QVERIFY(server->addMethod({}, QStringLiteral("Notify"), QStringLiteral("susssasa{sv}i"), QStringLiteral("u"),
                                  QStringLiteral("raise dbus.exceptions.DBusException('Too many notifications', "
                                                 "name='org.freedesktop.Notifications.Error.Excess')")));
        FreedesktopNotificationCenter center(sessionBus());
        std::optional<std::optional<std::string>> result;
        center.post("session-1", "Claude needs you", "body", std::nullopt,
                    [&](std::optional<std::string> error) { result = std::move(error); });
        QTRY_VERIFY_WITH_TIMEOUT(result, 10000);
        QVERIFY(*result);
        QVERIFY2(result->value().find("Too many notifications") != std::string::npos, result->value().c_str());

        // Nothing to replace after a failure.
        result.reset();
        center.post("session-1", "Claude needs you", "body", std::nullopt,
                    [&](std::optional<std::string> error) { result = std::move(error); });
        QTRY_VERIFY_WITH_TIMEOUT(result, 10000);
        QCOMPARE(server->methodCalls(QStringLiteral("Notify"))[1][1], QVariant(0u));
    }

    void authorizedWhenAServerRuns()
    {
        QVERIFY(startNotificationServer());
        FreedesktopNotificationCenter center(sessionBus());
        std::optional<NotificationCenter::Authorization> status;
        center.authorizationStatus([&](NotificationCenter::Authorization answer) { status = answer; });
        QVERIFY(!status);
        QTRY_VERIFY_WITH_TIMEOUT(status, 10000);
        QCOMPARE(*status, NotificationCenter::Authorization::Authorized);

        std::optional<std::pair<bool, std::optional<std::string>>> request;
        center.requestAuthorization(
            [&](bool granted, std::optional<std::string> error) { request = std::pair(granted, std::move(error)); });
        QVERIFY(!request);
        QTRY_VERIFY_WITH_TIMEOUT(request, 10000);
        QCOMPARE(request->first, true);
        QCOMPARE(request->second, std::nullopt);
    }

    void deniedWithoutAServer()
    {
        FreedesktopNotificationCenter center(sessionBus());
        QVERIFY(center.isAvailable());
        std::optional<NotificationCenter::Authorization> status;
        center.authorizationStatus([&](NotificationCenter::Authorization answer) { status = answer; });
        QTRY_VERIFY_WITH_TIMEOUT(status, 10000);
        QCOMPARE(*status, NotificationCenter::Authorization::Denied);

        std::optional<bool> granted;
        center.requestAuthorization([&](bool answer, std::optional<std::string>) { granted = answer; });
        QTRY_VERIFY_WITH_TIMEOUT(granted, 10000);
        QCOMPARE(*granted, false);
    }

    void withoutSessionBusEverythingIsSilent()
    {
        FreedesktopNotificationCenter center(QDBusConnection(QStringLiteral("lullwatch-absent")));
        QVERIFY(!center.isAvailable());
        bool called = false;
        center.post("session-1", "Claude needs you", "body", std::nullopt,
                    [&](std::optional<std::string>) { called = true; });
        center.withdraw({"session-1"});
        center.authorizationStatus([&](NotificationCenter::Authorization) { called = true; });
        center.requestAuthorization([&](bool, std::optional<std::string>) { called = true; });
        QVERIFY(!called);
    }

    void openSettingsStartsTheDesktopsSettings_data()
    {
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QString>("expected");
        QTest::newRow("GNOME") << QStringList {QStringLiteral("gnome-control-center")} << QStringLiteral("GNOME")
                               << QStringLiteral("gnome-control-center notifications");
        QTest::newRow("Plasma") << QStringList {QStringLiteral("systemsettings")} << QStringLiteral("KDE")
                                << QStringLiteral("systemsettings kcm_notifications");
        QTest::newRow("both, on Plasma") << QStringList {QStringLiteral("gnome-control-center"),
                                                         QStringLiteral("systemsettings")}
                                         << QStringLiteral("KDE") << QStringLiteral("systemsettings kcm_notifications");
        QTest::newRow("both, elsewhere") << QStringList {QStringLiteral("gnome-control-center"),
                                                         QStringLiteral("systemsettings")}
                                         << QStringLiteral("XFCE")
                                         << QStringLiteral("gnome-control-center notifications");
    }

    void openSettingsStartsTheDesktopsSettings()
    {
        QFETCH(QStringList, installed);
        QFETCH(QString, desktop);
        QFETCH(QString, expected);
        const QString bin = m_folder->filePath(QStringLiteral("bin"));
        const QString record = m_folder->filePath(QStringLiteral("started"));
        QVERIFY(QDir().mkpath(bin));
        for (const QString &program : installed) {
            const QString path = bin + QLatin1Char('/') + program;
            writeFile(path.toStdString(),
                      "#!/bin/sh\necho \"" + program.toStdString() + " $*\" > \"" + record.toStdString() + "\"\n");
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        const QByteArray oldPath = qgetenv("PATH");
        const QByteArray oldDesktop = qgetenv("XDG_CURRENT_DESKTOP");
        qputenv("PATH", QFile::encodeName(bin));
        qputenv("XDG_CURRENT_DESKTOP", desktop.toUtf8());

        FreedesktopNotificationCenter center(sessionBus());
        center.openSettings();
        qputenv("PATH", oldPath);
        qputenv("XDG_CURRENT_DESKTOP", oldDesktop);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(readFile(record.toStdString())).trimmed(), expected, 10000);
    }

    void openSettingsWithNeitherDoesNothing()
    {
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(m_folder->path()));
        FreedesktopNotificationCenter center(sessionBus());
        center.openSettings();
        qputenv("PATH", oldPath);
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
