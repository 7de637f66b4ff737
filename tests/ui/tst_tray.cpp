#include "XvfbServer.h"
#include "platform/MockService.h"
#include "platform/PrivateBus.h"
#include "platform/TrayHostWatcher.h"
#include "support/ModelRig.h"
#include "ui/Icons.h"
#include "ui/TrayIcon.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace lullwatch;
using namespace lullwatch::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");

QString watcherTemplate()
{
    return QStringLiteral(LULLWATCH_TEST_SOURCE_DIR "/ui/status_notifier_watcher.py");
}

QStringList watcherArguments(bool host)
{
    return {QStringLiteral("-t"), watcherTemplate(), QStringLiteral("-p"),
            host ? QStringLiteral("{\"host\": true}") : QStringLiteral("{\"host\": false}")};
}

// The mock watcher on the session bus that Qt's tray speaks to: the one
// dbus-run-session gives this test.
class SessionWatcherMock {
public:
    SessionWatcherMock()
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        QStringList {QStringLiteral("-m"), QStringLiteral("dbusmock")} + watcherArguments(true));
    }
    ~SessionWatcherMock()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    bool waitUntilReady()
    {
        auto bus = QDBusConnection::sessionBus();
        return QTest::qWaitFor(
                   [&] {
                       return m_process.state() == QProcess::NotRunning
                           || bus.interface()->isServiceRegistered(watcherName).value();
                   },
                   20000)
            && m_process.state() == QProcess::Running;
    }

    // The names that items registered with, in order.
    QStringList registeredItems() const
    {
        auto message
            = QDBusMessage::createMethodCall(watcherName, watcherPath, QString::fromLatin1(MockService::mockInterface),
                                             QStringLiteral("GetMethodCalls"));
        message.setArguments({QStringLiteral("RegisterStatusNotifierItem")});
        const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 20000);
        QStringList names;
        if (reply.type() != QDBusMessage::ReplyMessage)
            return names;
        const auto records = reply.arguments().value(0).value<QDBusArgument>();
        records.beginArray();
        while (!records.atEnd()) {
            quint64 time = 0;
            QVariantList arguments;
            records.beginStructure();
            records >> time >> arguments;
            records.endStructure();
            names << arguments.value(0).toString();
        }
        records.endArray();
        return names;
    }

private:
    QProcess m_process;
};

// One call over the session bus that the event loop answers, so that this
// process can call its own tray item.
QDBusMessage ask(const QDBusMessage &message)
{
    QDBusPendingCall call = QDBusConnection::sessionBus().asyncCall(message, 20000);
    if (!QTest::qWaitFor([&] { return call.isFinished(); }, 25000))
        return {};
    return call.reply();
}

QVariant itemProperty(const QString &service, const QString &name)
{
    auto message = QDBusMessage::createMethodCall(service, itemPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                  QStringLiteral("Get"));
    message.setArguments({itemInterface, name});
    const QDBusMessage reply = ask(message);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {};
    return reply.arguments().value(0).value<QDBusVariant>().variant();
}

struct ItemImage {
    int width = 0;
    int height = 0;
    QByteArray argb;
};

// a(iiay), pixels in network byte order.
QList<ItemImage> readImages(const QDBusArgument &argument)
{
    QList<ItemImage> images;
    argument.beginArray();
    while (!argument.atEnd()) {
        ItemImage image;
        argument.beginStructure();
        argument >> image.width >> image.height >> image.argb;
        argument.endStructure();
        images << image;
    }
    argument.endArray();
    return images;
}

QList<ItemImage> itemImages(const QString &service)
{
    return readImages(itemProperty(service, QStringLiteral("IconPixmap")).value<QDBusArgument>());
}

// (sa(iiay)ss): icon name, images, title, description.
QString itemToolTipTitle(const QString &service)
{
    const auto argument = itemProperty(service, QStringLiteral("ToolTip")).value<QDBusArgument>();
    QString iconName;
    QString title;
    QString description;
    argument.beginStructure();
    argument >> iconName;
    readImages(argument);
    argument >> title >> description;
    argument.endStructure();
    return title;
}

QByteArray networkOrderArgb(const QImage &image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    QByteArray bytes;
    for (int y = 0; y < argb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb pixel = line[x];
            bytes += char(qAlpha(pixel));
            bytes += char(qRed(pixel));
            bytes += char(qGreen(pixel));
            bytes += char(qBlue(pixel));
        }
    }
    return bytes;
}

// Every image the tray was given reaches the host as it is.
bool hasImages(const QList<ItemImage> &sent, const QList<QImage> &shown)
{
    return std::all_of(shown.begin(), shown.end(), [&](const QImage &image) {
        const QByteArray bytes = networkOrderArgb(image);
        return std::any_of(sent.begin(), sent.end(), [&](const ItemImage &item) {
            return item.width == image.width() && item.height == image.height() && item.argb == bytes;
        });
    });
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

// The tray's states follow from records written anew each time.
struct Rig : ModelRig {
    void write(const QByteArray &list)
    {
        fs::remove_all(sessions());
        ModelRig::write(list);
    }
};

} // namespace

class TestTray : public QObject {
    Q_OBJECT

private Q_SLOTS:
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

    void stateSymbols()
    {
        QCOMPARE(Icons::symbolName(SessionState::Idle), "cup.and.saucer");
        QCOMPARE(Icons::symbolName(SessionState::Working), "cup.and.saucer.fill");
        QCOMPARE(Icons::symbolName(SessionState::Waiting), "exclamationmark.bubble.fill");
        QCOMPARE(Icons::symbolName(SessionState::Ended), "moon.zzz");
    }

    void labelTexts()
    {
        QCOMPARE(TrayLabel {}.toolTip(), "No sessions");
        QCOMPARE((TrayLabel {SessionState::Working, true, "45k"}.toolTip()), "Working \u00b7 45k");
        QCOMPARE((TrayLabel {SessionState::Waiting, true, ""}.toolTip()), "Needs you");
        QCOMPARE((TrayLabel {SessionState::Idle, true, "0"}.toolTip()), "Idle \u00b7 0");
    }

    // Square at every side, so that no host letterboxes them; the title
    // under the symbol from 22 px up, the symbol alone below.
    void imagesAreSquare_data()
    {
        QTest::addColumn<int>("side");
        QTest::addColumn<bool>("titled");
        QTest::newRow("16") << 16 << false;
        QTest::newRow("21") << 21 << false;
        QTest::newRow("22") << 22 << true;
        QTest::newRow("64") << 64 << true;
    }
    void imagesAreSquare()
    {
        QFETCH(int, side);
        QFETCH(bool, titled);
        const QImage bare = TrayIcon::render({SessionState::Working, true, ""}, Qt::white, side);
        const QImage withTitle = TrayIcon::render({SessionState::Working, true, "45.2k"}, Qt::white, side);
        const QImage longTitle = TrayIcon::render({SessionState::Working, true, "123456789012345"}, Qt::white, side);
        for (const QImage &image : {bare, withTitle, longTitle})
            QCOMPARE(image.size(), QSize(side, side));
        QCOMPARE(withTitle != bare, titled);
        // Nothing is cut at the edges: the outermost pixels are dark halo at
        // most, never the white drawing.
        for (const QImage &image : {withTitle, longTitle}) {
            for (int i = 0; i < side; ++i) {
                for (const QPoint point : {QPoint(i, 0), QPoint(i, side - 1), QPoint(0, i), QPoint(side - 1, i)})
                    QVERIFY(qGray(image.pixel(point)) < 128);
            }
        }
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

    // The whole tray on the session bus: the item registers with the
    // watcher, its tooltip and image follow the model, and Activate asks
    // for the panel.
    void trayFollowsModel()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        SessionWatcherMock mock;
        QVERIFY(mock.waitUntilReady());

        TrayHostWatcher hostWatcher(QDBusConnection::sessionBus());
        QSignalSpy available(&hostWatcher, &TrayHostWatcher::hostAvailable);
        QVERIFY(available.wait(20000));

        Rig rig;
        AppModel &model = rig.start();
        QVERIFY(rig.refresh());
        TrayIcon tray(model);
        tray.setForeground(Qt::white);

        QStringList items;
        QTRY_VERIFY_WITH_TIMEOUT(!(items = mock.registeredItems()).isEmpty(), 20000);
        const QString service = items.constFirst();

        QCOMPARE(tray.toolTip(), QStringLiteral("No sessions"));
        QTRY_COMPARE_WITH_TIMEOUT(itemToolTipTitle(service), QStringLiteral("No sessions"), 20000);
        QCOMPARE(tray.images().size(), qsizetype(TrayIcon::sides.size()));
        QTRY_VERIFY_WITH_TIMEOUT(hasImages(itemImages(service), tray.images()), 20000);
        const QList<QImage> asleep = tray.images();

        rig.write("site:working");
        QVERIFY(rig.refresh());
        QCOMPARE(tray.label().state, SessionState::Working);
        QCOMPARE(tray.toolTip(), QStringLiteral("Working \u00b7 0"));
        QTRY_COMPARE_WITH_TIMEOUT(itemToolTipTitle(service), QStringLiteral("Working \u00b7 0"), 20000);
        QVERIFY(tray.images() != asleep);
        QTRY_VERIFY_WITH_TIMEOUT(hasImages(itemImages(service), tray.images()), 20000);

        rig.write("site:waiting other:idle");
        QVERIFY(rig.refresh());
        QTRY_COMPARE_WITH_TIMEOUT(itemToolTipTitle(service), QStringLiteral("Needs you \u00b7 0"), 20000);

        model.setMenuBarMetric(MenuBarMetric::None);
        QCOMPARE(tray.toolTip(), QStringLiteral("Needs you"));
        QTRY_COMPARE_WITH_TIMEOUT(itemToolTipTitle(service), QStringLiteral("Needs you"), 20000);
        QCOMPARE(tray.images().constLast(), TrayIcon::render({SessionState::Waiting, true, ""}, Qt::white, 64));
        QTRY_VERIFY_WITH_TIMEOUT(hasImages(itemImages(service), tray.images()), 20000);

        QSignalSpy open(&tray, &TrayIcon::openPanelRequested);
        auto activate = QDBusMessage::createMethodCall(service, itemPath, itemInterface, QStringLiteral("Activate"));
        activate.setArguments({40, 10});
        QCOMPARE(ask(activate).type(), QDBusMessage::ReplyMessage);
        QVERIFY(open.count() == 1 || open.wait(20000));
        QCOMPARE(open.constFirst().constFirst().toPoint(), QCursor::pos());
    }

    void contextMenu()
    {
        Rig rig;
        AppModel &model = rig.start();
        TrayIcon tray(model);
        const auto actions = tray.contextMenu().actions();
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions.at(0)->text(), QStringLiteral("Open Lullwatch"));
        QCOMPARE(actions.at(1)->text(), QStringLiteral("Quit"));
        QSignalSpy open(&tray, &TrayIcon::openPanelRequested);
        QSignalSpy quit(&tray, &TrayIcon::quitRequested);
        actions.at(0)->trigger();
        QCOMPARE(open.count(), 1);
        QCOMPARE(quit.count(), 0);
        actions.at(1)->trigger();
        QCOMPARE(quit.count(), 1);
    }
};

// The X server comes first: QApplication needs the display it gives.
int main(int argc, char *argv[])
{
    XvfbServer xvfb;
    if (!xvfb.start()) {
        std::fputs("tst_tray: Xvfb did not start\n", stderr);
        return 1;
    }
    qputenv("DISPLAY", xvfb.display());
    qputenv("QT_QPA_PLATFORM", "xcb");
    qunsetenv("WAYLAND_DISPLAY");
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    TestTray test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray.moc"
