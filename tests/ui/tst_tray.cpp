#include "platform/MockService.h"
#include "platform/PortalAppearance.h"
#include "platform/PrivateBus.h"
#include "platform/StatusNotifierItem.h"
#include "platform/TrayHostWatcher.h"
#include "support/ModelRig.h"
#include "ui/TrayPresenter.h"

#include <QApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <set>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const QString itemPath = u"/StatusNotifierItem"_s;
const QString itemInterface = u"org.kde.StatusNotifierItem"_s;

// A value as a host reads it off the bus: every D-Bus structure and array
// opened into lists by its signature alone, whatever types the item declares.
QVariant plain(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        return plain(value.value<QDBusVariant>().variant());
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    if (value.metaType() != QMetaType::fromType<QDBusArgument>())
        return value;
    const auto argument = value.value<QDBusArgument>();
    const bool array = argument.currentType() == QDBusArgument::ArrayType;
    if (!array && argument.currentType() != QDBusArgument::StructureType)
        return plain(argument.asVariant());
    QVariantList items;
    array ? argument.beginArray() : argument.beginStructure();
    while (!argument.atEnd())
        items << plain(argument.asVariant());
    array ? argument.endArray() : argument.endStructure();
    return items;
}

// Whether the opaque pixels of an IconPixmap image (width, height, ARGB
// bytes in network order) are all light or all dark; none when neither.
std::optional<bool> lightGlyphs(const QVariant &image)
{
    const QByteArray argb = image.toList().value(2).toByteArray();
    std::set<bool> light;
    for (qsizetype i = 0; i + 3 < argb.size(); i += 4) {
        if (uchar(argb[i]) == 255)
            light.insert(QColor(uchar(argb[i + 1]), uchar(argb[i + 2]), uchar(argb[i + 3])).lightnessF() > 0.5);
    }
    return light.size() == 1 ? std::optional(*light.begin()) : std::nullopt;
}

// The item's signals as a host receives them: "NewStatus NeedsAttention".
class SignalRecorder : public QObject {
    Q_OBJECT

public:
    QStringList names;

public Q_SLOTS:
    void record(const QDBusMessage &message)
    {
        QStringList arguments;
        for (const QVariant &argument : message.arguments())
            arguments << argument.toString();
        names << QString(message.member() + u' ' + arguments.join(u',')).trimmed();
    }
};

// The tray as main() puts it together, on a private bus with stand-ins of
// the panel's watcher and the portal, and a host's own connection to that bus.
struct TrayRig {
    QTemporaryDir folder;
    PrivateBus bus {u"tray-rig"_s};
    bool busStarted = bus.start(folder.path());
    std::optional<MockService> watcher;
    std::optional<MockService> portal;
    ModelRig models;
    QTemporaryDir themes;
    std::unique_ptr<PortalAppearance> appearance;
    std::unique_ptr<TrayPresenter> presenter;
    std::unique_ptr<StatusNotifierItem> item;
    SignalRecorder signalsSeen;

    ~TrayRig()
    {
        item.reset();
        QDBusConnection::disconnectFromBus(u"tray-host"_s);
    }

    QDBusConnection host() const { return QDBusConnection::connectToBus(bus.address(), u"tray-host"_s); }

    bool startWatcher()
    {
        watcher.emplace(
            bus, bus.address(), bus.address(), u"org.kde.StatusNotifierWatcher"_s, u"/StatusNotifierWatcher"_s,
            QStringList {u"-t"_s, QStringLiteral(LULLWATCH_TEST_SOURCE_DIR "/ui/status_notifier_watcher.py")});
        return watcher->waitUntilReady();
    }

    // A portal whose Settings answer `method` ("ReadOne", or "Read" alone as
    // before version 2, which wraps the value once more) with `scheme`.
    bool startPortal(const QString &method, uint scheme)
    {
        const QString name = u"org.freedesktop.portal.Desktop"_s, path = u"/org/freedesktop/portal/desktop"_s;
        const QString settings = u"org.freedesktop.portal.Settings"_s;
        portal.emplace(bus, bus.address(), bus.address(), name, path, QStringList {name, path, settings});
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
            && host().connect(item->serviceName(), itemPath, itemInterface, {}, &signalsSeen,
                              SLOT(record(QDBusMessage)));
    }

    // A call as a host makes it, answered while this thread's events run;
    // the reply's values as a host reads them.
    QVariantList call(const QString &path, const QString &interface, const QString &method,
                      const QVariantList &arguments = {}) const
    {
        auto message = QDBusMessage::createMethodCall(item->serviceName(), path, interface, method);
        message.setArguments(arguments);
        const QDBusMessage reply = host().call(message, QDBus::BlockWithGui, 20000);
        QVariantList values;
        for (const QVariant &value : reply.arguments())
            values << plain(value);
        return reply.type() == QDBusMessage::ErrorMessage ? QVariantList {reply.errorName()} : values;
    }

    QVariant property(const QString &name) const
    {
        return call(itemPath, u"org.freedesktop.DBus.Properties"_s, u"Get"_s, {itemInterface, name}).value(0);
    }
};

} // namespace

class TestTray : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QApplication::setPalette(QPalette(Qt::white)); }

    // The item registers its name with the panel's watcher, and again with
    // one that restarts.
    void registration()
    {
        TrayRig r;
        QVERIFY(r.startWatcher() && r.start());
        QVERIFY(r.item->serviceName().startsWith(u"org.kde.StatusNotifierItem-"_s));
        const QList<QVariantList> registered {{r.item->serviceName()}};
        const auto registrations = [&r] { return r.watcher->methodCalls(u"RegisterStatusNotifierItem"_s); };
        QTRY_COMPARE_WITH_TIMEOUT(registrations(), registered, 20000);
        r.watcher->kill();
        QVERIFY(r.startWatcher());
        QTRY_COMPARE_WITH_TIMEOUT(registrations(), registered, 20000);
    }

    // What a host reads once the sessions become these: "Status state |
    // tooltip | label guide", the state's icon exported in the theme, and
    // NeedsAttention told once while a session waits.
    void propertiesFollowTheSessions_data()
    {
        QTest::addColumn<QByteArray>("records");
        QTest::addColumn<MenuBarMetric>("metric");
        QTest::addColumn<QString>("read");
        QTest::newRow("idle") << QByteArray("site:idle") << MenuBarMetric::None << u"Active idle | Idle |"_s;
        QTest::newRow("waiting") << QByteArray("site:waiting") << MenuBarMetric::SessionTotal
                                 << u"NeedsAttention waiting | Needs you \u00b7 0 | 0 999k"_s;
        QTest::newRow("working, another waiting") << QByteArray("site:working api:waiting") << MenuBarMetric::Context
                                                  << u"NeedsAttention working | Working \u00b7 0 | 0 999k"_s;
    }
    void propertiesFollowTheSessions()
    {
        QFETCH(QByteArray, records);
        QFETCH(MenuBarMetric, metric);
        QFETCH(QString, read);
        TrayRig r;
        r.models.write({});
        r.models.start();
        QVERIFY(r.models.refreshed());
        QVERIFY(r.start());
        r.models.write(records);
        r.models.model->setMenuBarMetric(metric);
        QVERIFY(r.models.refresh());

        const QString icon = r.property(u"IconName"_s).toString();
        const QString waiting = r.property(u"AttentionIconName"_s).toString();
        const QVariantList toolTip = r.property(u"ToolTip"_s).toList(); // icon name, images, title, text
        QCOMPARE(u"%1 %2 | %3 | %4 %5"_s
                     .arg(r.property(u"Status"_s).toString(), icon.section(u'-', 1, 1), toolTip.value(3).toString(),
                          r.property(u"XAyatanaLabel"_s).toString(), r.property(u"XAyatanaLabelGuide"_s).toString())
                     .trimmed(),
                 read);
        QCOMPARE(toolTip.mid(0, 3), (QVariantList {icon, QVariantList(), u"Lullwatch"_s}));
        QCOMPARE(r.property(u"ItemIsMenu"_s), QVariant(false));
        QVERIFY(icon.endsWith(u"-dark"_s) && waiting == u"lullwatch-waiting-dark"_s);
        for (const QString &name : QStringList {icon, icon + u"-symbolic"_s, waiting}) {
            QFile svg(r.property(u"IconThemePath"_s).toString() + u"/hicolor/scalable/status/"_s + name + u".svg"_s);
            QVERIFY2(svg.open(QIODevice::ReadOnly) && svg.readAll().contains("<svg"), qPrintable(name));
        }
        QTRY_COMPARE(r.signalsSeen.names.filter(u"NewStatus"_s).size(), read.startsWith("Needs"_L1) ? 1 : 0);
    }

    // Each part of the look tells the host of itself, only when it really
    // changes; a new tooltip closes each step, so that a signal that should
    // not have come arrives before it.
    void signalsOnlyOnChange()
    {
        TrayRig r;
        QVERIFY(r.start());
        TrayLook look {.needsAttention = false,
                       .icon = {u"a"_s, {{1, 1, QByteArray(4, '\xff')}}},
                       .attentionIcon = {u"b"_s, {}},
                       .iconThemePath = r.themes.path(),
                       .toolTip = {},
                       .label = u"45k"_s,
                       .labelGuide = u"999k"_s};
        r.item->setLook(look);
        QCOMPARE(r.call(itemPath, itemInterface, u"Scroll"_s, {1, u"vertical"_s}), QVariantList());
        const QList<TrayImage> white {{1, 1, QByteArray(4, '\xff')}}, black {{1, 1, QByteArray(4, '\0')}};
        const std::pair<std::function<void()>, QStringList> steps[] {
            {[] {}, {}},
            {[&] { look.icon.name = u"c"_s; }, {u"NewIcon"_s, u"NewToolTip"_s}},
            {[&] { look.icon.images = black; }, {u"NewIcon"_s}},
            {[&] { look.attentionIcon.images = white; }, {u"NewAttentionIcon"_s}},
            {[&] { look.needsAttention = true; }, {u"NewStatus NeedsAttention"_s}},
            {[&] { look.needsAttention = false; }, {u"NewStatus Active"_s}},
            {[&] { look.label = u"46k"_s; }, {u"XAyatanaNewLabel 46k,999k"_s}},
            {[&] { look.labelGuide = u"9999k"_s; }, {u"XAyatanaNewLabel 46k,9999k"_s}},
        };
        for (const auto &[change, expected] : steps) {
            r.signalsSeen.names.clear();
            change();
            r.item->setLook(look);
            r.item->setLook(look);
            look.toolTip += u'.';
            r.item->setLook(look);
            QTRY_COMPARE_WITH_TIMEOUT(r.signalsSeen.names.size(), expected.size() + 1, 20000);
            QCOMPARE(r.signalsSeen.names, expected + QStringList {u"NewToolTip"_s});
        }
    }

    // A host's calls: clicks ask the application to open at the point
    // clicked, the menu button shows the menu there, and a click on an entry
    // of the menu, at the path the item names, does what the entry says.
    void hostCalls()
    {
        TrayRig r;
        QVERIFY(r.start());
        QStringList heard;
        const auto at = [&heard](const char *what, QPoint point) {
            heard << QString::fromLatin1(what) + u" at %1,%2"_s.arg(point.x()).arg(point.y());
        };
        QObject::connect(r.item.get(), &StatusNotifierItem::activateRequested, r.item.get(),
                         [&](QPoint point) { at("open", point); });
        QObject::connect(r.presenter.get(), &TrayPresenter::openPanelRequested, r.presenter.get(),
                         [&] { heard << u"panel"_s; });
        QObject::connect(r.presenter.get(), &TrayPresenter::quitRequested, r.presenter.get(),
                         [&] { heard << u"quit"_s; });
        const QVariant nothing = QVariant::fromValue(QDBusVariant(0));
        struct Call {
            QString method;
            QVariantList arguments, reply;
            QString heard;
        };
        const Call calls[] {
            {u"Activate"_s, {640, 0}, {}, u"open at 640,0"_s},
            {u"SecondaryActivate"_s, {640, 0}, {}, u"open at 640,0"_s},
            {u"ContextMenu"_s, {100, 200}, {}, u"menu at 100,200"_s},
            {u"AboutToShow"_s, {0}, {false}, {}},
            {u"Event"_s, {1, u"clicked"_s, nothing, 0u}, {}, u"panel"_s},
            {u"Event"_s, {2, u"hovered"_s, nothing, 0u}, {}, {}},
            {u"Event"_s, {3, u"clicked"_s, nothing, 0u}, {}, {}},
            {u"Event"_s, {2, u"clicked"_s, nothing, 0u}, {}, u"quit"_s},
        };
        const QString menu = r.property(u"Menu"_s).toString();
        for (const auto &call : calls) {
            heard.clear();
            const bool onItem = call.method.endsWith(u"Activate"_s) || call.method == "ContextMenu"_L1;
            QCOMPARE(onItem ? r.call(itemPath, itemInterface, call.method, call.arguments)
                            : r.call(menu, u"com.canonical.dbusmenu"_s, call.method, call.arguments),
                     call.reply);
            if (r.presenter->menu().isVisible())
                at("menu", r.presenter->menu().pos());
            r.presenter->menu().hide();
            QCOMPARE(heard.join(u' '), call.heard);
        }
    }

    // Dark glyphs on light panels and light ones on dark panels, in the
    // images and the icon's name alike: as chosen, else as the portal's
    // colour scheme says, else as the palette is.
    void glyphsFollowTheDesktop_data()
    {
        QTest::addColumn<TrayIconStyle>("style");
        QTest::addColumn<QString>("portal"); // the method it answers, or none
        QTest::addColumn<uint>("scheme"); // 1 prefers dark, 2 light, 0 neither
        QTest::addColumn<bool>("darkPalette");
        QTest::addColumn<bool>("light");
        using S = TrayIconStyle;
        QTest::newRow("portal prefers dark") << S::Automatic << u"ReadOne"_s << 1u << false << true;
        QTest::newRow("older portal prefers light") << S::Automatic << u"Read"_s << 2u << true << false;
        QTest::newRow("no preference, dark palette") << S::Automatic << u"ReadOne"_s << 0u << true << true;
        QTest::newRow("no portal, dark palette") << S::Automatic << QString() << 0u << true << true;
        QTest::newRow("no portal, light palette") << S::Automatic << QString() << 0u << false << false;
        QTest::newRow("light chosen") << S::Light << u"ReadOne"_s << 2u << false << true;
        QTest::newRow("dark chosen") << S::Dark << u"ReadOne"_s << 1u << true << false;
    }
    void glyphsFollowTheDesktop()
    {
        QFETCH(TrayIconStyle, style);
        QFETCH(QString, portal);
        QFETCH(uint, scheme);
        QFETCH(bool, darkPalette);
        QFETCH(bool, light);
        TrayRig r;
        QVERIFY(portal.isEmpty() || r.startPortal(portal, scheme));
        QApplication::setPalette(QPalette(darkPalette ? Qt::black : Qt::white));
        r.models.start().setTrayIconStyle(style);
        QVERIFY(r.start());
        QTRY_VERIFY_WITH_TIMEOUT(!scheme || r.appearance->prefersDark(), 20000);
        const auto named = light ? u"lullwatch-ended-light"_s : u"lullwatch-ended-dark"_s;
        QCOMPARE(r.property(u"IconName"_s).toString(), named);
        QCOMPARE(lightGlyphs(r.property(u"IconPixmap"_s).toList().value(1)), std::optional(light));
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
