#include "platform/MockService.h"
#include "platform/PrivateBus.h"
#include "platform/TrayHostWatcher.h"
#include "support/ModelRig.h"
#include "ui/Icons.h"
#include "ui/TrayIcon.h"

#include <QApplication>
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

QString watcherTemplate()
{
    return QStringLiteral(LULLWATCH_TEST_SOURCE_DIR "/ui/status_notifier_watcher.py");
}

QStringList watcherArguments(bool host)
{
    return {QStringLiteral("-t"), watcherTemplate(), QStringLiteral("-p"),
            host ? QStringLiteral("{\"host\": true}") : QStringLiteral("{\"host\": false}")};
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

    void contextMenu()
    {
        ModelRig rig;
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
