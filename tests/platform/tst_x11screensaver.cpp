#include "platform/DBusPowerAssertions.h"
#include "platform/X11ScreenSaver.h"

#include <QTest>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

using namespace lullwatch;
using Type = PowerAssertions::Type;

// Where no service on the bus keeps the display awake, the X server's own
// screen saver is suspended. Run on an X server of its own (Xvfb).
class TestX11ScreenSaver : public QObject {
    Q_OBJECT

    Display *m_observer = nullptr;

    // Whether the saver, with its timeout of one second, is on after that much idle time from now.
    bool saverStartsWhenIdle()
    {
        XResetScreenSaver(m_observer);
        XScreenSaverInfo info {};
        return QTest::qWaitFor(
                   [&] {
                       return XScreenSaverQueryInfo(m_observer, DefaultRootWindow(m_observer), &info)
                           && info.idle >= 1500;
                   },
                   30000)
            && info.state == ScreenSaverOn;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_observer = XOpenDisplay(nullptr);
        QVERIFY2(m_observer, "needs an X server: run under xvfb-run");
        XSetScreenSaver(m_observer, 1, 0, DefaultBlanking, DefaultExposures);
    }

    void cleanupTestCase() { XCloseDisplay(m_observer); }

    // Held while any display assertion is held; neither the system's nor a
    // display that cannot be reached take it.
    void displayAssertionsHoldTheSaverOff()
    {
        const QDBusConnection none(QStringLiteral("none"));
        const QByteArray display = qgetenv("DISPLAY");
        qputenv("DISPLAY", ":4711");
        X11ScreenSaver unreachable;
        QVERIFY(!DBusPowerAssertions(none, none, &unreachable).create(Type::NoDisplaySleep, "work"));
        qputenv("DISPLAY", display);

        X11ScreenSaver screenSaver;
        DBusPowerAssertions assertions(none, none, &screenSaver);
        QVERIFY(!assertions.create(Type::PreventUserIdleSystemSleep, "work"));
        const auto first = assertions.create(Type::NoDisplaySleep, "work");
        const auto second = assertions.create(Type::NoDisplaySleep, "more work");
        QVERIFY(first && second);
        QVERIFY(!saverStartsWhenIdle());
        assertions.release(*first);
        QVERIFY(!saverStartsWhenIdle());
        assertions.release(*second);
        QVERIFY(saverStartsWhenIdle());
    }
};

QTEST_GUILESS_MAIN(TestX11ScreenSaver)
#include "tst_x11screensaver.moc"
