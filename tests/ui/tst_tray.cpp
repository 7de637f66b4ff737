#include "platform/MockService.h"
#include "platform/PortalAppearance.h"
#include "platform/PrivateBus.h"
#include "platform/StatusNotifierItem.h"
#include "support/ModelRig.h"
#include "ui/TrayPresenter.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <utility>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace Qt::StringLiterals;

namespace {

const QString itemPath = u"/StatusNotifierItem"_s;
const QString itemInterface = u"org.kde.StatusNotifierItem"_s;

// The tray as main() puts it together, on a private bus with stand-ins of
// the panel's watcher and the portal, and a host's own connection to that bus.
class TrayRig : public QObject {
    Q_OBJECT

public:
    QTemporaryDir folder;
    PrivateBus bus {u"tray-rig"_s};
    bool busStarted = bus.start(folder.path());
    std::optional<MockService> portal;
    ModelRig models;
    QTemporaryDir themes;
    std::unique_ptr<PortalAppearance> appearance;
    std::unique_ptr<TrayPresenter> presenter;
    std::unique_ptr<StatusNotifierItem> item;
    QStringList signalsSeen; // as a host receives them: "NewStatus NeedsAttention"

    ~TrayRig() override { QDBusConnection::disconnectFromBus(u"tray-host"_s); }

    QDBusConnection host() const { return QDBusConnection::connectToBus(bus.address(), u"tray-host"_s); }

    // A portal whose Settings answer `method` ("ReadOne", or "Read" alone as
    // before version 2, which wraps the value once more) with `scheme`.
    bool startPortal(const QString &method, uint scheme)
    {
        const QString name = u"org.freedesktop.portal.Desktop"_s, path = u"/org/freedesktop/portal/desktop"_s;
        const QString settings = u"org.freedesktop.portal.Settings"_s;
        portal.emplace(bus, name, path, QStringList {name, path, settings});
        const QString level = method == "Read"_L1 ? u", variant_level=1"_s : QString();
        return portal->waitUntilReady()
            && portal->addMethod(settings, method, u"ss"_s, u"v"_s,
                                 u"ret = dbus.UInt32(%1%2)"_s.arg(scheme).arg(level));
    }

    // The presenter over the model and the item on the bus, wired as main() wires them.
    bool start()
    {
        AppModel &model = models.model ? *models.model : models.start();
        appearance = std::make_unique<PortalAppearance>(bus.connection());
        presenter = std::make_unique<TrayPresenter>(model, themes.path());
        presenter->setDesktopPrefersDark(appearance->prefersDark());
        QObject::connect(appearance.get(), &PortalAppearance::prefersDarkChanged, presenter.get(),
                         [this] { presenter->setDesktopPrefersDark(appearance->prefersDark()); });
        item = std::make_unique<StatusNotifierItem>(bus.connection(), presenter->menuEntries());
        item->setLook(presenter->look());
        QObject::connect(presenter.get(), &TrayPresenter::lookChanged, item.get(),
                         [this] { item->setLook(presenter->look()); });
        QObject::connect(item.get(), &StatusNotifierItem::contextMenuRequested, presenter.get(),
                         &TrayPresenter::popUpMenu);
        QObject::connect(item.get(), &StatusNotifierItem::menuEntryClicked, presenter.get(),
                         &TrayPresenter::triggerMenuEntry);
        // An empty name: every signal of the interface.
        return busStarted && item->start()
            && host().connect(item->serviceName(), itemPath, itemInterface, {}, this, SLOT(record(QDBusMessage)));
    }

    // A call as a host makes it, answered while this thread's events run.
    QVariantList call(const QString &path, const QString &interface, const QString &method,
                      const QVariantList &arguments = {}) const
    {
        auto message = QDBusMessage::createMethodCall(item->serviceName(), path, interface, method);
        message.setArguments(arguments);
        const QDBusMessage reply = host().call(message, QDBus::BlockWithGui, 20000);
        return reply.type() == QDBusMessage::ErrorMessage ? QVariantList {reply.errorName()} : reply.arguments();
    }

    QVariant property(const QString &name) const
    {
        const QVariantList reply
            = call(itemPath, u"org.freedesktop.DBus.Properties"_s, u"Get"_s, {itemInterface, name});
        return reply.value(0).value<QDBusVariant>().variant();
    }

public Q_SLOTS:
    void record(const QDBusMessage &message)
    {
        QStringList arguments;
        for (const QVariant &argument : message.arguments())
            arguments << argument.toString();
        signalsSeen << QString(message.member() + u' ' + arguments.join(u',')).trimmed();
    }
};

} // namespace

class TestTray : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // What a host reads: "Status state-glyphs | label guide". Glyphs are as
    // chosen, else as the portal's colour scheme says (1 dark, 2 light, 0
    // neither), else light on the dark palette.
    void propertiesFollowTheDesktop()
    {
        using M = MenuBarMetric;
        using S = TrayIconStyle;
        const struct {
            QByteArray records;
            M metric;
            S style;
            QString portal; // the method it answers, or none
            uint scheme;
            QString read;
        } rows[] {
            {"site:idle", M::None, S::Automatic, {}, 0, u"Active idle-light |"_s},
            {"site:working api:waiting", M::Context, S::Automatic, {}, 0, u"NeedsAttention working-light | 999k"_s},
            {"site:idle", M::Context, S::Automatic, u"Read"_s, 2, u"Active idle-dark | 999k"_s},
            {"site:idle", M::Context, S::Automatic, u"ReadOne"_s, 0, u"Active idle-light | 999k"_s},
            {"site:idle", M::Context, S::Dark, u"ReadOne"_s, 1, u"Active idle-dark | 999k"_s},
        };
        QApplication::setPalette(QPalette(Qt::black));
        for (const auto &row : rows) {
            TrayRig r;
            QVERIFY(row.portal.isEmpty() || r.startPortal(row.portal, row.scheme));
            r.models.write(row.records);
            r.models.start().setMenuBarMetric(row.metric);
            r.models.model->setTrayIconStyle(row.style);
            QVERIFY(r.models.refreshed() && r.start());
            QTRY_VERIFY_WITH_TIMEOUT(!row.scheme || r.appearance->prefersDark(), 20000);
            QCOMPARE(u"%1 %2 | %3"_s
                         .arg(r.property(u"Status"_s).toString(), r.property(u"IconName"_s).toString().section(u'-', 1),
                              r.property(u"XAyatanaLabelGuide"_s).toString())
                         .trimmed(),
                     row.read);
        }
    }

    // Each part of the look tells the host of itself, only when it really
    // changes; a new tooltip closes each step, so that a signal that should
    // not have come arrives before it.
    void signalsOnlyOnChange()
    {
        TrayRig r;
        QVERIFY(r.start());
        TrayLook look {.icon = {u"a"_s, {{1, 1, QByteArray(4, '\xff')}}},
                       .attentionIcon = {u"b"_s, {}},
                       .iconThemePath = r.themes.path(),
                       .toolTip = {},
                       .label = u"45k"_s,
                       .labelGuide = u"999k"_s};
        r.item->setLook(look);
        QTRY_VERIFY_WITH_TIMEOUT(r.signalsSeen.contains(u"XAyatanaNewLabel 45k,999k"_s), 20000);
        const QList<TrayImage> white {{1, 1, QByteArray(4, '\xff')}}, black {{1, 1, QByteArray(4, '\0')}};
        const std::pair<std::function<void()>, QStringList> steps[] {
            {[&] { look.icon.images = black; }, {u"NewIcon"_s}},
            {[&] { look.attentionIcon.images = white; }, {u"NewAttentionIcon"_s}},
            {[&] { look.needsAttention = true; }, {u"NewStatus NeedsAttention"_s}},
            {[&] { look.needsAttention = false; }, {u"NewStatus Active"_s}},
            {[&] { look.label = u"46k"_s; }, {u"XAyatanaNewLabel 46k,999k"_s}},
        };
        for (const auto &[change, expected] : steps) {
            r.signalsSeen.clear();
            change();
            r.item->setLook(look);
            r.item->setLook(look);
            look.toolTip += u'.';
            r.item->setLook(look);
            QTRY_COMPARE_WITH_TIMEOUT(r.signalsSeen.size(), expected.size() + 1, 20000);
            QCOMPARE(r.signalsSeen, expected + QStringList {u"NewToolTip"_s});
        }
    }

    // The item registers with a watcher that comes after it (a panel restarted);
    // a middle click opens the application, a host without menus of its own shows ours;
    // a click on a menu entry does what it says, a hover or an unknown entry nothing.
    void hostCalls()
    {
        TrayRig r;
        QVERIFY(r.start());
        MockService watcher(r.bus, u"org.kde.StatusNotifierWatcher"_s, u"/StatusNotifierWatcher"_s,
                            {u"-t"_s, QStringLiteral(LULLWATCH_TEST_SOURCE_DIR "/ui/status_notifier_watcher.py")});
        QVERIFY(watcher.waitUntilReady());
        QTRY_COMPARE_WITH_TIMEOUT(watcher.methodCalls(u"RegisterStatusNotifierItem"_s),
                                  QList<QVariantList> {{r.item->serviceName()}}, 20000);
        QString heard;
        QObject::connect(r.presenter.get(), &TrayPresenter::openPanelRequested, r.presenter.get(),
                         [&] { heard += u"panel"_s; });
        QObject::connect(r.presenter.get(), &TrayPresenter::quitRequested, r.presenter.get(),
                         [&] { heard += u"quit"_s; });
        QObject::connect(r.item.get(), &StatusNotifierItem::activateRequested, r.item.get(),
                         [&](QPoint at) { heard += u"open %1,%2"_s.arg(at.x()).arg(at.y()); });
        QCOMPARE(r.call(itemPath, itemInterface, u"SecondaryActivate"_s, {640, 0}), QVariantList());
        QCOMPARE(std::exchange(heard, {}), u"open 640,0"_s);
        QCOMPARE(r.call(itemPath, itemInterface, u"ContextMenu"_s, {100, 200}), QVariantList());
        QVERIFY(r.presenter->menu().isVisible());
        QCOMPARE(r.presenter->menu().pos(), QPoint(100, 200));
        r.presenter->menu().hide();
        const QString menu = r.property(u"Menu"_s).value<QDBusObjectPath>().path();
        for (const auto &[entry, event, expected] :
             {std::tuple {1, "clicked", "panel"}, {2, "hovered", ""}, {3, "clicked", ""}, {2, "clicked", "quit"}}) {
            const QVariantList arguments {entry, QString::fromLatin1(event), QVariant::fromValue(QDBusVariant(0)), 0u};
            QCOMPARE(r.call(menu, u"com.canonical.dbusmenu"_s, u"Event"_s, arguments), QVariantList());
            QCOMPARE(std::exchange(heard, {}), QString::fromLatin1(expected));
        }
    }
};

int main(int argc, char *argv[])
{
    // The icon must never reach the desktop of whoever runs the tests: no
    // session bus, no display.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestTray test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray.moc"
