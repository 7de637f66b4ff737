#include "platform/DBusPowerAssertions.h"
#include "platform/X11ScreenSaver.h"

#include <QTest>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

using namespace lullwatch;
using Type = PowerAssertions::Type;

// Without a service on the bus, the X server's own screen saver is suspended
// while any display assertion is held. Run on an X server of its own (Xvfb).
class TestX11ScreenSaver : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void displayAssertionsHoldTheSaverOff()
    {
        Display *observer = XOpenDisplay(nullptr);
        QVERIFY2(observer, "needs an X server: run under xvfb-run");
        XSetScreenSaver(observer, 1, 0, DefaultBlanking, DefaultExposures);
        // Whether the saver, with its timeout of one second, comes on from now: it must have by 1.5 s
        // of idle time, and when it should, a server slow to start it has 30 s.
        const auto saverStarts = [observer](bool should) {
            XResetScreenSaver(observer);
            XScreenSaverInfo info {};
            const auto settled = [&] {
                return XScreenSaverQueryInfo(observer, DefaultRootWindow(observer), &info)
                    && (info.state == ScreenSaverOn || (!should && info.idle >= 1500));
            };
            return QTest::qWaitFor(settled, 30000) && info.state == ScreenSaverOn;
        };
        const QDBusConnection none(QStringLiteral("none"));
        const QByteArray display = qgetenv("DISPLAY");
        qputenv("DISPLAY", ":4711"); // out of reach
        X11ScreenSaver unreachable;
        QVERIFY(!DBusPowerAssertions(none, none, &unreachable).create(Type::NoDisplaySleep, "work"));
        qputenv("DISPLAY", display);
        X11ScreenSaver screenSaver;
        DBusPowerAssertions assertions(none, none, &screenSaver);
        const auto first = assertions.create(Type::NoDisplaySleep, "work");
        const auto second = assertions.create(Type::NoDisplaySleep, "more work");
        QVERIFY(first && second && !saverStarts(false));
        assertions.release(*first);
        QVERIFY(!saverStarts(false));
        assertions.release(*second);
        QVERIFY(saverStarts(true));
    }
};

QTEST_GUILESS_MAIN(TestX11ScreenSaver)
#include "tst_x11screensaver.moc"
