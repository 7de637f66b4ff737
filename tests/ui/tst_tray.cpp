#include "platform/MockService.h"
#include "platform/PortalAppearance.h"
#include "platform/PrivateBus.h"
#include "platform/StatusNotifierItem.h"
#include "platform/TrayHostWatcher.h"
#include "support/ModelRig.h"
#include "ui/TrayPresenter.h"

#include <QApplication>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const QString watcherName = u"org.kde.StatusNotifierWatcher"_s;
const QString watcherPath = u"/StatusNotifierWatcher"_s;
const QString itemPath = u"/StatusNotifierItem"_s;
const QString itemInterface = u"org.kde.StatusNotifierItem"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;
const QString settingsInterface = u"org.freedesktop.portal.Settings"_s;

// A value as a host reads it off the bus: every D-Bus structure opened into
// lists and maps by its signature alone, whatever types the item declares.
QVariant plain(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        return plain(value.value<QDBusVariant>().variant());
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    if (value.metaType() != QMetaType::fromType<QDBusArgument>())
        return value;
    const auto argument = value.value<QDBusArgument>();
    const auto type = argument.currentType();
    if (type == QDBusArgument::MapType) {
        QVariantMap map;
        argument.beginMap();
        while (!argument.atEnd()) {
            argument.beginMapEntry();
            const QString key = plain(argument.asVariant()).toString();
            map.insert(key, plain(argument.asVariant()));
            argument.endMapEntry();
        }
        argument.endMap();
        return map;
    }
    if (type != QDBusArgument::StructureType && type != QDBusArgument::ArrayType)
        return plain(argument.asVariant());
    QVariantList items;
    type == QDBusArgument::ArrayType ? argument.beginArray() : argument.beginStructure();
    while (!argument.atEnd())
        items << plain(argument.asVariant());
    type == QDBusArgument::ArrayType ? argument.endArray() : argument.endStructure();
    return items;
}

// Whether the glyphs of an image of IconPixmap, (width, height, ARGB bytes
// in network order), are light (else dark); none when the image is
// malformed or blank, or its opaque pixels are of both or neither.
std::optional<bool> lightGlyphs(const QVariant &image)
{
    const QVariantList fields = image.toList();
    const QByteArray bytes = fields.value(2).toByteArray();
    if (fields.value(0).toInt() <= 0 || bytes.size() != fields.value(0).toInt() * fields.value(1).toInt() * 4)
        return std::nullopt;
    int counts[3] = {}; // dark, between, light
    for (qsizetype i = 0; i < bytes.size(); i += 4) {
        const auto *pixel = reinterpret_cast<const uchar *>(bytes.constData() + i);
        const qreal lightness = QColor(pixel[1], pixel[2], pixel[3]).lightnessF();
        if (pixel[0] == 255)
            ++counts[lightness > 0.7 ? 2 : lightness < 0.3 ? 0 : 1];
    }
    if (counts[1] > 0 || (counts[0] > 0) == (counts[2] > 0))
        return std::nullopt;
    return counts[2] > 0;
}

// Signals of the item as a host receives them: "NewStatus NeedsAttention".
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

// The tray as main() puts it together, on a private bus with a stand-in of
// the panel's watcher, and a host's own connection to that bus.
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

    bool startWatcher(bool host = true)
    {
        watcher.emplace(bus, bus.address(), bus.address(), watcherName, watcherPath,
                        QStringList {u"-t"_s,
                                     QStringLiteral(LULLWATCH_TEST_SOURCE_DIR "/ui/status_notifier_watcher.py"),
                                     u"-p"_s, host ? u"{\"host\": true}"_s : u"{\"host\": false}"_s});
        return watcher->waitUntilReady();
    }

    // A portal whose Settings answer `method` ("ReadOne", or "Read" alone as
    // before version 2, which wraps the value once more) with `scheme`.
    bool startPortal(const QString &method, uint scheme)
    {
        const QString name = u"org.freedesktop.portal.Desktop"_s;
        portal.emplace(bus, bus.address(), bus.address(), name, portalPath,
                       QStringList {name, portalPath, settingsInterface});
        const QString level = method == "Read"_L1 ? u", variant_level=1"_s : QString();
        return portal->waitUntilReady()
            && portal->addMethod(settingsInterface, method, u"ss"_s, u"v"_s,
                                 u"ret = dbus.UInt32(%1%2)"_s.arg(scheme).arg(level));
    }

    bool portalSays(uint scheme)
    {
        const QVariantList arguments {u"org.freedesktop.appearance"_s, u"color-scheme"_s,
                                      QVariant::fromValue(QDBusVariant(scheme))};
        return portal
                   ->call(portalPath, QString::fromLatin1(MockService::mockInterface), u"EmitSignal"_s,
                          {settingsInterface, u"SettingChanged"_s, u"ssv"_s, QVariant::fromValue(arguments)})
                   .type()
            == QDBusMessage::ReplyMessage;
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
        if (!busStarted || !item->start())
            return false;
        for (const char *name :
             {"NewTitle", "NewIcon", "NewAttentionIcon", "NewToolTip", "NewStatus", "XAyatanaNewLabel"}) {
            if (!host().connect(item->serviceName(), itemPath, itemInterface, QString::fromLatin1(name), &signalsSeen,
                                SLOT(record(QDBusMessage))))
                return false;
        }
        return true;
    }

    // A call as a host makes it, answered while this thread's events run;
    // the reply's values as a host reads them.
    QVariantList call(const QString &path, const QString &interface, const QString &method,
                      const QVariantList &arguments = {}) const
    {
        auto message = QDBusMessage::createMethodCall(item->serviceName(), path, interface, method);
        message.setArguments(arguments);
        QDBusPendingCallWatcher answer(host().asyncCall(message, 20000));
        QSignalSpy finished(&answer, &QDBusPendingCallWatcher::finished);
        if (!answer.isFinished())
            finished.wait(25000);
        QVariantList values;
        for (const QVariant &value : answer.reply().arguments())
            values << plain(value);
        return answer.isError() ? QVariantList {answer.error().name()} : values;
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

    // The item registers its own name with the watcher, whether the watcher
    // was there first or came after it, and again with a watcher that
    // restarts, as a panel does. A host is seen at once, or after the
    // bounded wait ran out, when the watcher comes.
    void registration_data()
    {
        QTest::addColumn<bool>("watcherFirst");
        QTest::newRow("watcher first") << true;
        QTest::newRow("watcher after the item") << false;
    }
    void registration()
    {
        QFETCH(bool, watcherFirst);
        TrayRig r;
        QVERIFY(!watcherFirst || r.startWatcher());
        TrayHostWatcher hosts(r.bus.connection());
        QSignalSpy available(&hosts, &TrayHostWatcher::hostAvailable);
        QSignalSpy none(&hosts, &TrayHostWatcher::noHost);
        hosts.waitFor(watcherFirst ? 60s : 100ms);
        QVERIFY(r.start());
        QVERIFY(r.item->serviceName().startsWith(u"org.kde.StatusNotifierItem-"_s));
        QVERIFY(watcherFirst || (none.wait(20000) && !hosts.isHostAvailable() && r.startWatcher()));
        QVERIFY(available.count() == 1 || available.wait(20000));
        QCOMPARE(none.count(), watcherFirst ? 0 : 1);
        const QList<QVariantList> registered {{r.item->serviceName()}};
        const auto registrations = [&r] { return r.watcher->methodCalls(u"RegisterStatusNotifierItem"_s); };
        QTRY_COMPARE_WITH_TIMEOUT(registrations(), registered, 20000);
        r.watcher->kill();
        QVERIFY(r.startWatcher());
        QTRY_COMPARE_WITH_TIMEOUT(registrations(), registered, 20000);
    }

    // The properties a host reads once the sessions become these: the
    // state's icon, named in the exported theme and drawn in dark glyphs at
    // several sizes, NeedsAttention (told once) while a session waits, and
    // the metric as the label.
    void propertiesFollowTheSessions_data()
    {
        QTest::addColumn<QByteArray>("records");
        QTest::addColumn<MenuBarMetric>("metric");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("icon");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("guide");
        const auto row = [](const char *records, MenuBarMetric metric, const QString &status, const QString &icon,
                            const QString &toolTip, const QString &label, const QString &guide) {
            QTest::newRow(*records ? records : "no sessions")
                << QByteArray(records) << metric << status << icon << toolTip << label << guide;
        };
        using M = MenuBarMetric;
        const QString waiting = u"lullwatch-waiting-dark"_s;
        row("", M::Context, u"Active"_s, u"lullwatch-ended-dark"_s, u"No sessions"_s, {}, {});
        row("site:working", M::Context, u"Active"_s, u"lullwatch-working-dark"_s, u"Working \u00b7 0"_s, u"0"_s,
            u"999k"_s);
        row("site:idle", M::None, u"Active"_s, u"lullwatch-idle-dark"_s, u"Idle"_s, {}, {});
        row("site:waiting", M::SessionTotal, u"NeedsAttention"_s, waiting, u"Needs you \u00b7 0"_s, u"0"_s, u"999k"_s);
        row("site:working api:waiting", M::Context, u"NeedsAttention"_s, u"lullwatch-working-dark"_s,
            u"Working \u00b7 0"_s, u"0"_s, u"999k"_s);
    }
    void propertiesFollowTheSessions()
    {
        QFETCH(QByteArray, records);
        QFETCH(MenuBarMetric, metric);
        QFETCH(QString, status);
        QFETCH(QString, icon);
        QFETCH(QString, toolTip);
        QFETCH(QString, label);
        QFETCH(QString, guide);
        TrayRig r;
        r.models.write({});
        r.models.start();
        QVERIFY(r.models.refreshed());
        QVERIFY(r.start());
        r.models.write(records);
        r.models.model->setMenuBarMetric(metric);
        QVERIFY(r.models.refresh());

        const QString waiting = u"lullwatch-waiting-dark"_s;
        const QVariantMap expected {{u"Status"_s, status},
                                    {u"IconName"_s, icon},
                                    {u"AttentionIconName"_s, waiting},
                                    {u"ToolTip"_s, QVariantList {icon, QVariantList(), u"Lullwatch"_s, toolTip}},
                                    {u"XAyatanaLabel"_s, label},
                                    {u"XAyatanaLabelGuide"_s, guide},
                                    {u"ItemIsMenu"_s, false}};
        QVariantMap seen;
        for (const QString &name : expected.keys())
            seen.insert(name, r.property(name));
        QCOMPARE(seen, expected);
        for (const QString &name : QStringList {icon, icon + u"-symbolic"_s, waiting}) {
            QFile svg(r.property(u"IconThemePath"_s).toString() + u"/hicolor/scalable/status/"_s + name + u".svg"_s);
            QVERIFY2(svg.open(QIODevice::ReadOnly) && svg.readAll().contains("<svg"), qPrintable(name));
        }
        const QVariantList images = r.property(u"IconPixmap"_s).toList();
        const QVariantList attention = r.property(u"AttentionIconPixmap"_s).toList();
        QVERIFY(images.size() > 1);
        for (const QVariant &image : images + attention)
            QCOMPARE(lightGlyphs(image), std::optional(false));
        QCOMPARE(images == attention, icon == waiting);
        QTRY_COMPARE(r.signalsSeen.names.filter(u"NewStatus"_s).size(), status == "NeedsAttention"_L1 ? 1 : 0);
    }

    // Each part of the look tells the host of itself, only when it really
    // changes; the tooltip's new text closes each row, so that a signal
    // that should not have come would have arrived before it.
    void signalsOnlyOnChange_data()
    {
        QTest::addColumn<QString>("part");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("nothing") << QString() << QStringList();
        QTest::newRow("icon name") << u"icon name"_s << QStringList {u"NewIcon"_s, u"NewToolTip"_s};
        QTest::newRow("icon images") << u"icon images"_s << QStringList {u"NewIcon"_s};
        QTest::newRow("attention icon") << u"attention icon"_s << QStringList {u"NewAttentionIcon"_s};
        QTest::newRow("needs attention") << u"needs attention"_s << QStringList {u"NewStatus NeedsAttention"_s};
        QTest::newRow("no longer") << u"no longer"_s << QStringList {u"NewStatus Active"_s};
        QTest::newRow("label") << u"label"_s << QStringList {u"XAyatanaNewLabel 46k,999k"_s};
        QTest::newRow("label guide") << u"label guide"_s << QStringList {u"XAyatanaNewLabel 45k,9999k"_s};
    }
    void signalsOnlyOnChange()
    {
        QFETCH(QString, part);
        QFETCH(QStringList, expected);
        TrayRig r;
        QVERIFY(r.start());
        TrayLook look {.needsAttention = part == "no longer"_L1,
                       .icon = {u"a"_s, {{1, 1, QByteArray(4, '\xff')}}},
                       .attentionIcon = {u"b"_s, {}},
                       .iconThemePath = r.themes.path(),
                       .toolTip = u"Working \u00b7 45k"_s,
                       .label = u"45k"_s,
                       .labelGuide = u"999k"_s};
        r.item->setLook(look);
        QCOMPARE(r.call(itemPath, itemInterface, u"Scroll"_s, {1, u"vertical"_s}), QVariantList());
        r.signalsSeen.names.clear();

        r.item->setLook(look);
        if (part == "icon name"_L1)
            look.icon.name = u"c"_s;
        else if (part == "icon images"_L1)
            look.icon.images = {{1, 1, QByteArray(4, '\0')}};
        else if (part == "attention icon"_L1)
            look.attentionIcon.images = {{1, 1, QByteArray(4, '\xff')}};
        else if (part == "needs attention"_L1 || part == "no longer"_L1)
            look.needsAttention = !look.needsAttention;
        else if (part == "label"_L1)
            look.label = u"46k"_s;
        else if (part == "label guide"_L1)
            look.labelGuide = u"9999k"_s;
        r.item->setLook(look);
        r.item->setLook(look);
        look.toolTip = u"closing"_s;
        r.item->setLook(look);
        expected << u"NewToolTip"_s;
        QTRY_COMPARE_WITH_TIMEOUT(r.signalsSeen.names.size(), expected.size(), 20000);
        QCOMPARE(r.signalsSeen.names, expected);
    }

    // A host's calls: clicks ask the application to open at the point
    // clicked, the menu button shows the menu there; the menu (at the path
    // the item names) answers with its layout as asked for, and a click on
    // an entry does what the entry says. `heard`: what reached the application.
    void hostCalls_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QVariantList>("reply");
        QTest::addColumn<QString>("heard");
        const QVariantMap root {{u"children-display"_s, u"submenu"_s}};
        const QVariantMap open {{u"label"_s, u"Open Lullwatch"_s}};
        const QVariantMap quit {{u"label"_s, u"Quit"_s}};
        const QVariantList none;
        const QVariantList entries {QVariantList {1, open, none}, QVariantList {2, quit, none}};
        const QVariant nothing = QVariant::fromValue(QDBusVariant(0));
        const auto row
            = [](const char *name, const QString &method, const QVariantList &arguments, const QVariantList &reply,
                 const QString &heard) { QTest::newRow(name) << method << arguments << reply << heard; };
        row("Activate", u"Activate"_s, {640, 0}, {}, u"open at 640,0"_s);
        row("SecondaryActivate", u"SecondaryActivate"_s, {640, 0}, {}, u"open at 640,0"_s);
        row("ContextMenu", u"ContextMenu"_s, {100, 200}, {}, u"menu at 100,200"_s);
        row("Scroll", u"Scroll"_s, {120, u"vertical"_s}, {}, {});
        row("whole tree", u"GetLayout"_s, {0, -1, QStringList()}, {1u, QVariantList {0, root, entries}}, {});
        row("root alone", u"GetLayout"_s, {0, 0, QStringList()}, {1u, QVariantList {0, root, none}}, {});
        row("labels only", u"GetLayout"_s, {0, 1, QStringList {u"label"_s}},
            {1u, QVariantList {0, QVariantMap(), entries}}, {});
        row("one entry", u"GetLayout"_s, {2, -1, QStringList()}, {1u, QVariantList {2, quit, none}}, {});
        row("group", u"GetGroupProperties"_s, {QVariant::fromValue(QList<int> {1, 2}), QStringList()},
            {QVariant(QVariantList {QVariantList {1, open}, QVariantList {2, quit}})}, {});
        row("property", u"GetProperty"_s, {1, u"label"_s}, {u"Open Lullwatch"_s}, {});
        row("about to show", u"AboutToShow"_s, {0}, {false}, {});
        row("Open Lullwatch clicked", u"Event"_s, {1, u"clicked"_s, nothing, 0u}, {}, u"panel"_s);
        row("Quit clicked", u"Event"_s, {2, u"clicked"_s, nothing, 0u}, {}, u"quit"_s);
        row("Quit hovered", u"Event"_s, {2, u"hovered"_s, nothing, 0u}, {}, {});
        row("root clicked", u"Event"_s, {0, u"clicked"_s, nothing, 0u}, {}, {});
        row("no such entry", u"Event"_s, {3, u"clicked"_s, nothing, 0u}, {}, {});
    }
    void hostCalls()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, arguments);
        QFETCH(QVariantList, reply);
        QFETCH(QString, heard);
        TrayRig r;
        QVERIFY(r.start());
        QStringList seen;
        const auto at = [&seen](const char *what, QPoint point) {
            seen << QString::fromLatin1(what) + u" at %1,%2"_s.arg(point.x()).arg(point.y());
        };
        QObject::connect(r.item.get(), &StatusNotifierItem::activateRequested, r.item.get(),
                         [&](QPoint point) { at("open", point); });
        QObject::connect(r.presenter.get(), &TrayPresenter::openPanelRequested, r.presenter.get(),
                         [&] { seen << u"panel"_s; });
        QObject::connect(r.presenter.get(), &TrayPresenter::quitRequested, r.presenter.get(),
                         [&] { seen << u"quit"_s; });
        const bool onMenu = method.startsWith(u"Get"_s) || method == "AboutToShow"_L1 || method == "Event"_L1;
        QCOMPARE(onMenu ? r.call(r.property(u"Menu"_s).toString(), u"com.canonical.dbusmenu"_s, method, arguments)
                        : r.call(itemPath, itemInterface, method, arguments),
                 reply);
        if (r.presenter->menu().isVisible())
            at("menu", r.presenter->menu().pos());
        QCOMPARE(seen.join(u' '), heard);
    }

    // Dark glyphs on light panels and light ones on dark panels, in the
    // images and the icon's name alike: from the preference, else the
    // portal's colour scheme, else the palette; and again when the portal's
    // setting changes.
    void glyphsFollowTheDesktop_data()
    {
        QTest::addColumn<TrayIconStyle>("style");
        QTest::addColumn<QString>("portal"); // the method it answers, or none
        QTest::addColumn<uint>("scheme"); // 1 prefers dark, 2 light, 0 neither
        QTest::addColumn<bool>("darkPalette");
        QTest::addColumn<bool>("light");
        QTest::addColumn<bool>("lightAfterChange"); // to the other scheme
        using S = TrayIconStyle;
        const QString none;
        const QString readOne = u"ReadOne"_s;
        QTest::newRow("portal prefers dark") << S::Automatic << readOne << 1u << false << true << false;
        QTest::newRow("portal prefers light") << S::Automatic << readOne << 2u << true << false << true;
        QTest::newRow("older portal prefers dark") << S::Automatic << u"Read"_s << 1u << false << true << false;
        QTest::newRow("no preference, dark palette") << S::Automatic << readOne << 0u << true << true << true;
        QTest::newRow("no portal, dark palette") << S::Automatic << none << 0u << true << true << true;
        QTest::newRow("no portal, light palette") << S::Automatic << none << 0u << false << false << false;
        QTest::newRow("light chosen") << S::Light << readOne << 2u << false << true << true;
        QTest::newRow("dark chosen") << S::Dark << readOne << 1u << true << false << false;
    }
    void glyphsFollowTheDesktop()
    {
        QFETCH(TrayIconStyle, style);
        QFETCH(QString, portal);
        QFETCH(uint, scheme);
        QFETCH(bool, darkPalette);
        QFETCH(bool, light);
        QFETCH(bool, lightAfterChange);
        TrayRig r;
        QVERIFY(portal.isEmpty() || r.startPortal(portal, scheme));
        QApplication::setPalette(QPalette(darkPalette ? Qt::black : Qt::white));
        r.models.start().setTrayIconStyle(style);
        QVERIFY(r.start());
        const auto glyphs = [&r]() -> std::optional<bool> {
            const auto light = lightGlyphs(r.property(u"IconPixmap"_s).toList().value(1));
            const bool named = light
                && r.property(u"IconName"_s) == (*light ? u"lullwatch-ended-light"_s : u"lullwatch-ended-dark"_s);
            return named ? light : std::nullopt;
        };
        QTRY_COMPARE_WITH_TIMEOUT(glyphs(), std::optional(light), 20000);
        if (portal.isEmpty())
            return;
        QVERIFY(r.portalSays(scheme == 1 ? 2 : 1));
        QTRY_COMPARE_WITH_TIMEOUT(glyphs(), std::optional(lightAfterChange), 20000);
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
