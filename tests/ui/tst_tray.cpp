#include "platform/MockService.h"
#include "platform/PortalAppearance.h"
#include "platform/PrivateBus.h"
#include "platform/StatusNotifierItem.h"
#include "platform/TrayHostWatcher.h"
#include "support/ModelRig.h"
#include "ui/Icons.h"
#include "ui/TrayPresenter.h"

#include <QApplication>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace std::chrono_literals;

namespace {

const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString portalName = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QList<int> sides {16, 22, 24, 32, 48, 64};

QStringList watcherArguments(bool host)
{
    return {QStringLiteral("-t"), QStringLiteral(LULLWATCH_TEST_SOURCE_DIR "/ui/status_notifier_watcher.py"),
            QStringLiteral("-p"), host ? QStringLiteral("{\"host\": true}") : QStringLiteral("{\"host\": false}")};
}

int opaquePixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            count += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
    }
    return count;
}

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
    QVariantList items;
    QVariantMap map;
    switch (argument.currentType()) {
    case QDBusArgument::StructureType:
        argument.beginStructure();
        while (!argument.atEnd())
            items << plain(argument.asVariant());
        argument.endStructure();
        return items;
    case QDBusArgument::ArrayType:
        argument.beginArray();
        while (!argument.atEnd())
            items << plain(argument.asVariant());
        argument.endArray();
        return items;
    case QDBusArgument::MapType:
        argument.beginMap();
        while (!argument.atEnd()) {
            argument.beginMapEntry();
            const QString key = plain(argument.asVariant()).toString();
            map.insert(key, plain(argument.asVariant()));
            argument.endMapEntry();
        }
        argument.endMap();
        return map;
    default:
        return plain(argument.asVariant());
    }
}

// An image of IconPixmap, (width, height, ARGB bytes in network order), as a QImage.
QImage imageOf(const QVariant &entry)
{
    const QVariantList fields = entry.toList();
    const int width = fields.value(0).toInt();
    const int height = fields.value(1).toInt();
    const QByteArray bytes = fields.value(2).toByteArray();
    if (width <= 0 || height <= 0 || bytes.size() != width * height * 4)
        return {};
    QImage image(width, height, QImage::Format_ARGB32);
    const auto *in = reinterpret_cast<const uchar *>(bytes.constData());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, in += 4)
            image.setPixel(x, y, qRgba(in[1], in[2], in[3], in[0]));
    }
    return image;
}

// Whether the opaque pixels of `image` are light (else dark); none when
// they are neither, or there are none.
std::optional<bool> glyphsAreLight(const QImage &image)
{
    int light = 0;
    int dark = 0;
    int between = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = QColor::fromRgba(image.pixel(x, y));
            if (pixel.alpha() == 255)
                ++(pixel.lightnessF() > 0.7 ? light : pixel.lightnessF() < 0.3 ? dark : between);
        }
    }
    if (between > 0 || (light > 0) == (dark > 0))
        return std::nullopt;
    return light > 0;
}

// Whether `image` is `symbol` alone: the same coverage, pixel for pixel
// within antialiasing, as the symbol's own drawing at that size.
bool isSymbol(const QImage &image, std::string_view symbol)
{
    const QImage drawing = Icons::image(symbol, image.size(), Qt::black).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (std::abs(qAlpha(image.pixel(x, y)) - qAlpha(drawing.pixel(x, y))) > 2)
                return false;
        }
    }
    return opaquePixels(image) > 0;
}

// Signals of the item, in the order a host receives them.
class SignalRecorder : public QObject {
    Q_OBJECT

public:
    QStringList names() const
    {
        QStringList names;
        for (const QDBusMessage &message : received) {
            QStringList arguments;
            for (const QVariant &argument : message.arguments())
                arguments << argument.toString();
            names << message.member() + (arguments.isEmpty() ? QString() : u' ' + arguments.join(u','));
        }
        return names;
    }

    QList<QDBusMessage> received;

public Q_SLOTS:
    void record(const QDBusMessage &message) { received.append(message); }
};

// The tray as main() puts it together, on a private bus with a stand-in of
// the panel's watcher, and a host's own connection to that bus.
struct TrayRig {
    QTemporaryDir folder;
    PrivateBus bus {QStringLiteral("tray-rig")};
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
        QDBusConnection::disconnectFromBus(QStringLiteral("tray-host"));
    }

    QDBusConnection host() const { return QDBusConnection::connectToBus(bus.address(), QStringLiteral("tray-host")); }

    bool startBus() { return bus.start(folder.path()); }

    bool startWatcher()
    {
        watcher.emplace(bus, bus.address(), bus.address(), watcherName, watcherPath, watcherArguments(true));
        return watcher->waitUntilReady();
    }

    // A portal whose Settings answer `method` ("ReadOne", or "Read" alone as
    // before version 2, which wraps the value once more) with `scheme`.
    bool startPortal(const QString &method, uint scheme)
    {
        portal.emplace(bus, bus.address(), bus.address(), portalName, portalPath,
                       QStringList {portalName, portalPath, settingsInterface});
        const QString level = method == QLatin1String("Read") ? QStringLiteral(", variant_level=1") : QString();
        return portal->waitUntilReady()
            && portal->addMethod(settingsInterface, method, QStringLiteral("ss"), QStringLiteral("v"),
                                 QStringLiteral("ret = dbus.UInt32(%1%2)").arg(scheme).arg(level));
    }

    bool portalSays(uint scheme)
    {
        return portal
                   ->call(portalPath, QString::fromLatin1(MockService::mockInterface), QStringLiteral("EmitSignal"),
                          {settingsInterface, QStringLiteral("SettingChanged"), QStringLiteral("ssv"),
                           QVariant::fromValue(QVariantList {QStringLiteral("org.freedesktop.appearance"),
                                                             QStringLiteral("color-scheme"),
                                                             QVariant::fromValue(QDBusVariant(scheme))})})
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
        if (!item->start())
            return false;
        for (const char *name :
             {"NewTitle", "NewIcon", "NewAttentionIcon", "NewToolTip", "NewStatus", "XAyatanaNewLabel"}) {
            if (!host().connect(item->serviceName(), itemPath, itemInterface, QString::fromLatin1(name), &signalsSeen,
                                SLOT(record(QDBusMessage))))
                return false;
        }
        return true;
    }

    // A call as a host makes it, answered while this thread's events run.
    QDBusMessage call(const QString &path, const QString &interface, const QString &method,
                      const QVariantList &arguments = {}) const
    {
        auto message = QDBusMessage::createMethodCall(item->serviceName(), path, interface, method);
        message.setArguments(arguments);
        QDBusPendingCallWatcher answer(host().asyncCall(message, 20000));
        QSignalSpy finished(&answer, &QDBusPendingCallWatcher::finished);
        if (!answer.isFinished())
            finished.wait(25000);
        return answer.reply();
    }

    QVariant property(const QString &name) const
    {
        const QDBusMessage reply = call(itemPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                        QStringLiteral("Get"), {itemInterface, name});
        return reply.type() == QDBusMessage::ReplyMessage ? plain(reply.arguments().value(0)) : QVariant();
    }

    QList<QImage> images(const QString &name) const
    {
        QList<QImage> result;
        for (const QVariant &entry : property(name).toList())
            result << imageOf(entry);
        return result;
    }

    QList<QVariantList> registrations() const
    {
        return watcher->methodCalls(QStringLiteral("RegisterStatusNotifierItem"));
    }
};

} // namespace

class TestTray : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QApplication::setPalette(QPalette(Qt::white)); }

    // Every symbol of the design has a drawing that shows at tray sizes, in
    // the colour asked for.
    void symbolsAreDrawn_data()
    {
        QTest::addColumn<QByteArray>("name");
        for (const char *name : {"cup.and.saucer", "cup.and.saucer.fill", "exclamationmark.bubble.fill", "moon.zzz",
                                 "chevron.right", "checkmark.circle.fill", "circle.dashed",
                                 "arrow.triangle.2.circlepath.circle.fill", "exclamationmark.triangle.fill",
                                 "xmark.circle.fill", "powerplug", "square.stack.3d.up", "arrow.up", "bolt"})
            QTest::newRow(name) << QByteArray(name);
    }
    void symbolsAreDrawn()
    {
        QFETCH(QByteArray, name);
        const std::string_view symbol(name.constData(), name.size());
        QVERIFY(Icons::contains(symbol));
        for (const int side : {16, 22, 24}) {
            const QImage image = Icons::image(symbol, QSize(side, side), QColor(0x20, 0x80, 0xff));
            QCOMPARE(image.size(), QSize(side, side));
            QVERIFY2(opaquePixels(image) > side, "the drawing covers next to nothing");
            QVERIFY2(opaquePixels(image) < side * side * 3 / 4, "the drawing is a blot");
            for (int y = 0; y < side; ++y) {
                for (int x = 0; x < side; ++x) {
                    const QColor pixel = QColor::fromRgba(image.pixel(x, y));
                    if (pixel.alpha() == 255)
                        QCOMPARE(pixel.rgb(), QColor(0x20, 0x80, 0xff).rgb());
                }
            }
        }
        QVERIFY(!Icons::icon(symbol).isNull());
    }

    void unknownSymbolIsBlank()
    {
        QVERIFY(!Icons::contains("no.such.symbol"));
        QCOMPARE(opaquePixels(Icons::image("no.such.symbol", QSize(16, 16), Qt::black)), 0);
    }

    void labelTexts()
    {
        QCOMPARE(TrayLabel {}.toolTip(), "No sessions");
        QCOMPARE((TrayLabel {SessionState::Working, true, "45k"}.toolTip()), "Working \u00b7 45k");
        QCOMPARE((TrayLabel {SessionState::Waiting, true, ""}.toolTip()), "Needs you");
        QCOMPARE((TrayLabel {SessionState::Idle, true, "0"}.toolTip()), "Idle \u00b7 0");
    }

    // On a bus without a watcher the bounded wait runs out; a watcher that
    // comes later with a host still brings hostAvailable.
    void hostWatcherWaitsAndKeepsWatching()
    {
        QTemporaryDir folder;
        PrivateBus bus(QStringLiteral("tray-host-late"));
        QVERIFY(bus.start(folder.path()));
        TrayHostWatcher watcher(bus.connection());
        QSignalSpy available(&watcher, &TrayHostWatcher::hostAvailable);
        QSignalSpy none(&watcher, &TrayHostWatcher::noHost);
        watcher.waitFor(100ms);
        QVERIFY(none.wait(20000));
        QCOMPARE(available.count(), 0);
        QVERIFY(!watcher.isHostAvailable());

        MockService mock(bus, bus.address(), bus.address(), watcherName, watcherPath, watcherArguments(true));
        QVERIFY(mock.waitUntilReady());
        QVERIFY(available.wait(20000));
        QVERIFY(watcher.isHostAvailable());
        QCOMPARE(none.count(), 1);
    }

    // A watcher with no host yet: the host's registration signal counts.
    void hostRegistersWithRunningWatcher()
    {
        QTemporaryDir folder;
        PrivateBus bus(QStringLiteral("tray-host-registers"));
        QVERIFY(bus.start(folder.path()));
        MockService mock(bus, bus.address(), bus.address(), watcherName, watcherPath, watcherArguments(false));
        QVERIFY(mock.waitUntilReady());
        TrayHostWatcher watcher(bus.connection());
        QSignalSpy available(&watcher, &TrayHostWatcher::hostAvailable);
        QSignalSpy none(&watcher, &TrayHostWatcher::noHost);
        watcher.waitFor(100ms);
        QVERIFY(none.wait(20000));
        QVERIFY(mock.call(watcherPath, watcherName, QStringLiteral("RegisterStatusNotifierHost"),
                          {QStringLiteral("org.kde.StatusNotifierHost-1")})
                    .type()
                == QDBusMessage::ReplyMessage);
        QVERIFY(available.wait(20000));
        QCOMPARE(available.count(), 1);
    }

    // A host already there is reported without any wait, and a wait started
    // afterwards never reports its absence.
    void hostAlreadyThere()
    {
        QTemporaryDir folder;
        PrivateBus bus(QStringLiteral("tray-host-present"));
        QVERIFY(bus.start(folder.path()));
        MockService mock(bus, bus.address(), bus.address(), watcherName, watcherPath, watcherArguments(true));
        QVERIFY(mock.waitUntilReady());
        TrayHostWatcher watcher(bus.connection());
        QSignalSpy available(&watcher, &TrayHostWatcher::hostAvailable);
        QSignalSpy none(&watcher, &TrayHostWatcher::noHost);
        QVERIFY(available.wait(20000));
        watcher.waitFor(1ms);
        // A second host, and the wait's end, change nothing.
        QVERIFY(mock.call(watcherPath, watcherName, QStringLiteral("RegisterStatusNotifierHost"),
                          {QStringLiteral("org.kde.StatusNotifierHost-2")})
                    .type()
                == QDBusMessage::ReplyMessage);
        QTimer sentinel;
        sentinel.setSingleShot(true);
        QSignalSpy sentinelFired(&sentinel, &QTimer::timeout);
        sentinel.start(20ms);
        QVERIFY(sentinelFired.wait(20000));
        QCOMPARE(available.count(), 1);
        QCOMPARE(none.count(), 0);
    }

    // The item registers its own name with the watcher, whether the watcher
    // was there first or came after it, and again with a watcher that
    // restarts, as a panel does.
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
        QVERIFY(r.startBus());
        if (watcherFirst)
            QVERIFY(r.startWatcher());
        QVERIFY(r.start());
        QVERIFY(r.bus.hasOwner(r.item->serviceName()));
        QVERIFY(r.item->serviceName().startsWith(QStringLiteral("org.kde.StatusNotifierItem-")));
        if (!watcherFirst)
            QVERIFY(r.startWatcher());
        QTRY_COMPARE_WITH_TIMEOUT(r.registrations(), QList<QVariantList> {{r.item->serviceName()}}, 20000);

        r.watcher->kill();
        QVERIFY(r.startWatcher());
        QTRY_COMPARE_WITH_TIMEOUT(r.registrations(), QList<QVariantList> {{r.item->serviceName()}}, 20000);
    }

    // Every property as a host reads it, for what the sessions are: the
    // state's symbol alone at each size, the metric as the label, and
    // NeedsAttention while some session waits.
    void propertiesFollowTheSessions_data()
    {
        QTest::addColumn<QByteArray>("records");
        QTest::addColumn<MenuBarMetric>("metric");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("iconName");
        QTest::addColumn<QByteArray>("symbol");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("guide");
        const auto row = [](const char *name, const char *records, MenuBarMetric metric, const char *status,
                            const char *iconName, const char *symbol, const char *description, const char *label,
                            const char *guide) {
            QTest::newRow(name) << QByteArray(records) << metric << QString::fromUtf8(status)
                                << QString::fromUtf8(iconName) << QByteArray(symbol) << QString::fromUtf8(description)
                                << QString::fromUtf8(label) << QString::fromUtf8(guide);
        };
        using M = MenuBarMetric;
        row("no sessions", "", M::Context, "Active", "lullwatch-ended-dark", "moon.zzz", "No sessions", "", "");
        row("working", "site:working", M::Context, "Active", "lullwatch-working-dark", "cup.and.saucer.fill",
            "Working \u00b7 0", "0", "999k");
        row("idle, metric none", "site:idle", M::None, "Active", "lullwatch-idle-dark", "cup.and.saucer", "Idle", "",
            "");
        row("waiting", "site:waiting", M::SessionTotal, "NeedsAttention", "lullwatch-waiting-dark",
            "exclamationmark.bubble.fill", "Needs you \u00b7 0", "0", "999k");
        row("working while another waits", "site:working api:waiting", M::Context, "NeedsAttention",
            "lullwatch-working-dark", "cup.and.saucer.fill", "Working \u00b7 0", "0", "999k");
    }
    void propertiesFollowTheSessions()
    {
        QFETCH(QByteArray, records);
        QFETCH(MenuBarMetric, metric);
        QFETCH(QString, status);
        QFETCH(QString, iconName);
        QFETCH(QByteArray, symbol);
        QFETCH(QString, description);
        QFETCH(QString, label);
        QFETCH(QString, guide);
        TrayRig r;
        QVERIFY(r.startBus());
        QVERIFY(r.startWatcher());
        r.models.write(records);
        r.models.start().setMenuBarMetric(metric);
        QVERIFY(r.models.refreshed());
        QVERIFY(r.start());

        QCOMPARE(r.property(QStringLiteral("Category")), QStringLiteral("ApplicationStatus"));
        QCOMPARE(r.property(QStringLiteral("Id")), QStringLiteral("lullwatch"));
        QCOMPARE(r.property(QStringLiteral("Title")), QStringLiteral("Lullwatch"));
        QCOMPARE(r.property(QStringLiteral("ItemIsMenu")), false);
        QCOMPARE(r.property(QStringLiteral("Menu")), QStringLiteral("/MenuBar"));
        QCOMPARE(r.property(QStringLiteral("XAyatanaOrderingIndex")), 0u);
        QCOMPARE(r.property(QStringLiteral("Status")), status);
        QCOMPARE(r.property(QStringLiteral("IconName")), iconName);
        QCOMPARE(r.property(QStringLiteral("AttentionIconName")), QStringLiteral("lullwatch-waiting-dark"));
        QCOMPARE(r.property(QStringLiteral("ToolTip")),
                 (QVariantList {iconName, QVariantList(), QStringLiteral("Lullwatch"), description}));
        QCOMPARE(r.property(QStringLiteral("XAyatanaLabel")), label);
        QCOMPARE(r.property(QStringLiteral("XAyatanaLabelGuide")), guide);

        // The names are icons of the theme folder, each with its symbolic variant.
        const QString folder
            = r.property(QStringLiteral("IconThemePath")).toString() + QStringLiteral("/hicolor/scalable/status/");
        QCOMPARE(folder, r.themes.path() + QStringLiteral("/hicolor/scalable/status/"));
        for (const QString &name : {iconName, QStringLiteral("lullwatch-waiting-dark")}) {
            for (const QString &file :
                 {QString(name + QStringLiteral(".svg")), QString(name + QStringLiteral("-symbolic.svg"))}) {
                QFile svg(folder + file);
                QVERIFY2(svg.open(QIODevice::ReadOnly) && svg.readAll().contains("<svg"), qPrintable(file));
            }
        }

        for (const auto &[property, drawn] :
             {std::pair(QStringLiteral("IconPixmap"), symbol),
              std::pair(QStringLiteral("AttentionIconPixmap"), QByteArray("exclamationmark.bubble.fill"))}) {
            const QList<QImage> images = r.images(property);
            QCOMPARE(images.size(), sides.size());
            for (qsizetype i = 0; i < images.size(); ++i) {
                QCOMPARE(images.at(i).size(), QSize(sides.at(i), sides.at(i)));
                QVERIFY2(isSymbol(images.at(i), std::string_view(drawn.constData(), drawn.size())),
                         qPrintable(property + u' ' + QString::number(sides.at(i))));
                QCOMPARE(glyphsAreLight(images.at(i)), std::optional(false));
            }
        }
    }

    // Waiting brings NeedsAttention, and the end of it Active again, each
    // told once.
    void needsAttentionWhileWaiting()
    {
        TrayRig r;
        QVERIFY(r.startBus());
        r.models.write("site:working");
        r.models.start();
        QVERIFY(r.models.refreshed());
        QVERIFY(r.start());
        r.models.write("site:waiting");
        QVERIFY(r.models.refresh());
        QTRY_COMPARE_WITH_TIMEOUT(r.property(QStringLiteral("Status")), QStringLiteral("NeedsAttention"), 20000);
        r.models.write("site:idle");
        QVERIFY(r.models.refresh());
        QTRY_COMPARE_WITH_TIMEOUT(r.property(QStringLiteral("Status")), QStringLiteral("Active"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(
            r.signalsSeen.names().filter(QStringLiteral("NewStatus")),
            (QStringList {QStringLiteral("NewStatus NeedsAttention"), QStringLiteral("NewStatus Active")}), 20000);
    }

    // Each part of the look tells the host of itself, only when it really
    // changes; the tooltip's new text closes each row, so that a signal
    // that should not have come would have arrived before it.
    void signalsOnlyOnChange_data()
    {
        QTest::addColumn<QString>("part");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *part, QStringList expected) {
            QTest::newRow(part) << QString::fromLatin1(part) << expected;
        };
        row("nothing", {});
        row("icon name", {QStringLiteral("NewIcon"), QStringLiteral("NewToolTip")});
        row("icon images", {QStringLiteral("NewIcon")});
        row("attention icon", {QStringLiteral("NewAttentionIcon")});
        row("needs attention", {QStringLiteral("NewStatus NeedsAttention")});
        row("label", {QStringLiteral("XAyatanaNewLabel 46k,999k")});
        row("label guide", {QStringLiteral("XAyatanaNewLabel 45k,9999k")});
    }
    void signalsOnlyOnChange()
    {
        QFETCH(QString, part);
        QFETCH(QStringList, expected);
        TrayRig r;
        QVERIFY(r.startBus());
        QVERIFY(r.start());
        TrayLook look {.needsAttention = false,
                       .icon = {QStringLiteral("a"), {{1, 1, QByteArray(4, '\xff')}}},
                       .attentionIcon = {QStringLiteral("b"), {}},
                       .iconThemePath = r.themes.path(),
                       .toolTip = QStringLiteral("Working \u00b7 45k"),
                       .label = QStringLiteral("45k"),
                       .labelGuide = QStringLiteral("999k")};
        r.item->setLook(look);
        QVERIFY(r.call(itemPath, itemInterface, QStringLiteral("Scroll"), {1, QStringLiteral("vertical")}).type()
                == QDBusMessage::ReplyMessage);
        r.signalsSeen.received.clear();

        r.item->setLook(look);
        if (part == QLatin1String("icon name"))
            look.icon.name = QStringLiteral("c");
        else if (part == QLatin1String("icon images"))
            look.icon.images = {{1, 1, QByteArray(4, '\0')}};
        else if (part == QLatin1String("attention icon"))
            look.attentionIcon.images = {{1, 1, QByteArray(4, '\xff')}};
        else if (part == QLatin1String("needs attention"))
            look.needsAttention = true;
        else if (part == QLatin1String("label"))
            look.label = QStringLiteral("46k");
        else if (part == QLatin1String("label guide"))
            look.labelGuide = QStringLiteral("9999k");
        r.item->setLook(look);
        r.item->setLook(look);
        look.toolTip = QStringLiteral("closing");
        r.item->setLook(look);
        expected << QStringLiteral("NewToolTip");
        QTRY_COMPARE_WITH_TIMEOUT(r.signalsSeen.names().size(), expected.size(), 20000);
        QCOMPARE(r.signalsSeen.names(), expected);
    }

    // Clicks and the menu button ask the application, at the point given.
    void methodsAskTheApplication_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<int>("activations");
        QTest::addColumn<bool>("menuShown");
        QTest::newRow("Activate") << QStringLiteral("Activate") << QVariantList {640, 0} << 1 << false;
        QTest::newRow("SecondaryActivate")
            << QStringLiteral("SecondaryActivate") << QVariantList {640, 0} << 1 << false;
        QTest::newRow("ContextMenu") << QStringLiteral("ContextMenu") << QVariantList {100, 200} << 0 << true;
        QTest::newRow("Scroll") << QStringLiteral("Scroll") << QVariantList {120, QStringLiteral("vertical")} << 0
                                << false;
    }
    void methodsAskTheApplication()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, arguments);
        QFETCH(int, activations);
        QFETCH(bool, menuShown);
        TrayRig r;
        QVERIFY(r.startBus());
        QVERIFY(r.start());
        QSignalSpy activated(r.item.get(), &StatusNotifierItem::activateRequested);
        QCOMPARE(r.call(itemPath, itemInterface, method, arguments).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(activated.count(), activations);
        if (activations > 0)
            QCOMPARE(activated.at(0).at(0).toPoint(), QPoint(640, 0));
        QCOMPARE(r.presenter->menu().isVisible(), menuShown);
        if (menuShown) {
            QCOMPARE(r.presenter->menu().pos(), QPoint(100, 200));
            QCOMPARE(r.presenter->menu().actions().size(), 2);
        }
    }

    // The menu's layout as hosts ask for it: the whole tree, the root
    // alone, or some properties only.
    void menuLayout_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<QVariantList>("expected");
        const QVariantMap root {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
        const QVariantMap open {{QStringLiteral("label"), QStringLiteral("Open Lullwatch")}};
        const QVariantMap quit {{QStringLiteral("label"), QStringLiteral("Quit")}};
        const QVariantList noChildren;
        QTest::newRow("whole tree") << QStringLiteral("GetLayout") << QVariantList {0, -1, QStringList()}
                                    << QVariantList {1u,
                                                     QVariantList {0, root,
                                                                   QVariantList {QVariantList {1, open, noChildren},
                                                                                 QVariantList {2, quit, noChildren}}}};
        QTest::newRow("root alone") << QStringLiteral("GetLayout") << QVariantList {0, 0, QStringList()}
                                    << QVariantList {1u, QVariantList {0, root, noChildren}};
        QTest::newRow("labels only") << QStringLiteral("GetLayout")
                                     << QVariantList {0, 1, QStringList {QStringLiteral("label")}}
                                     << QVariantList {1u,
                                                      QVariantList {0, QVariantMap(),
                                                                    QVariantList {QVariantList {1, open, noChildren},
                                                                                  QVariantList {2, quit, noChildren}}}};
        QTest::newRow("one entry") << QStringLiteral("GetLayout") << QVariantList {2, -1, QStringList()}
                                   << QVariantList {1u, QVariantList {2, quit, noChildren}};
        QTest::newRow("group") << QStringLiteral("GetGroupProperties")
                               << QVariantList {QVariant::fromValue(QList<int> {1, 2}), QStringList()}
                               << QVariantList {QVariantList {QVariantList {1, open}, QVariantList {2, quit}}};
        QTest::newRow("property") << QStringLiteral("GetProperty") << QVariantList {1, QStringLiteral("label")}
                                  << QVariantList {QStringLiteral("Open Lullwatch")};
        QTest::newRow("about to show") << QStringLiteral("AboutToShow") << QVariantList {0} << QVariantList {false};
    }
    void menuLayout()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, arguments);
        QFETCH(QVariantList, expected);
        TrayRig r;
        QVERIFY(r.startBus());
        QVERIFY(r.start());
        const QDBusMessage reply = r.call(QStringLiteral("/MenuBar"), menuInterface, method, arguments);
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QVariantList answer;
        for (const QVariant &value : reply.arguments())
            answer << plain(value);
        QCOMPARE(answer, expected);
    }

    // A click on an entry in the host's menu does what the entry says;
    // other events and unknown entries do nothing.
    void menuEvents_data()
    {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("opens");
        QTest::addColumn<int>("quits");
        QTest::newRow("Open Lullwatch") << 1 << QStringLiteral("clicked") << 1 << 0;
        QTest::newRow("Quit") << 2 << QStringLiteral("clicked") << 0 << 1;
        QTest::newRow("hovered") << 2 << QStringLiteral("hovered") << 0 << 0;
        QTest::newRow("root") << 0 << QStringLiteral("clicked") << 0 << 0;
        QTest::newRow("no such entry") << 3 << QStringLiteral("clicked") << 0 << 0;
    }
    void menuEvents()
    {
        QFETCH(int, id);
        QFETCH(QString, event);
        QFETCH(int, opens);
        QFETCH(int, quits);
        TrayRig r;
        QVERIFY(r.startBus());
        QVERIFY(r.start());
        QSignalSpy opened(r.presenter.get(), &TrayPresenter::openPanelRequested);
        QSignalSpy quit(r.presenter.get(), &TrayPresenter::quitRequested);
        QCOMPARE(r.call(QStringLiteral("/MenuBar"), menuInterface, QStringLiteral("Event"),
                        {id, event, QVariant::fromValue(QDBusVariant(0)), 0u})
                     .type(),
                 QDBusMessage::ReplyMessage);
        QCOMPARE(opened.count(), opens);
        QCOMPARE(quit.count(), quits);
    }

    // Dark glyphs on light panels and light ones on dark panels: from the
    // preference, else the portal's colour scheme, else the palette; and
    // again when the portal's setting changes.
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
        const QString readOne = QStringLiteral("ReadOne");
        const QString read = QStringLiteral("Read");
        QTest::newRow("portal prefers dark") << S::Automatic << readOne << 1u << false << true << false;
        QTest::newRow("portal prefers light") << S::Automatic << readOne << 2u << true << false << true;
        QTest::newRow("older portal prefers dark") << S::Automatic << read << 1u << false << true << false;
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
        QVERIFY(r.startBus());
        if (!portal.isEmpty())
            QVERIFY(r.startPortal(portal, scheme));
        QApplication::setPalette(QPalette(darkPalette ? Qt::black : Qt::white));
        r.models.start().setTrayIconStyle(style);
        QVERIFY(r.start());
        const auto glyphs = [&r]() -> std::optional<bool> {
            const QString name = r.property(QStringLiteral("IconName")).toString();
            const auto light = glyphsAreLight(r.images(QStringLiteral("IconPixmap")).value(1));
            if (!light
                || name != (*light ? QStringLiteral("lullwatch-ended-light") : QStringLiteral("lullwatch-ended-dark")))
                return std::nullopt;
            return light;
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
