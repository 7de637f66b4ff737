#include "platform/DBusPowerAssertions.h"
#include "platform/X11ScreenSaver.h"

#include <QCoreApplication>
#include <QTest>

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

using namespace lullwatch;

// Where no screen saver service runs on the bus, keeping the display awake
// suspends the X server's own screen saver. Run on an X server of its own
// (Xvfb), whose screen saver starts after one idle second.
class TestX11ScreenSaver : public QObject {
    Q_OBJECT

    Display *m_observer = nullptr;

    // The server's screen saver after the idle time has passed its timeout.
    bool saverStartsWhenIdle()
    {
        XScreenSaverInfo info {};
        const auto idleFor = [&] {
            XScreenSaverQueryInfo(m_observer, DefaultRootWindow(m_observer), &info);
            return info.idle;
        };
        if (!QTest::qWaitFor([&] { return idleFor() >= 1500; }, 30000))
            return false;
        return info.state == ScreenSaverOn;
    }

    void wake() { XResetScreenSaver(m_observer), XSync(m_observer, False); }

private Q_SLOTS:
    void initTestCase()
    {
        m_observer = XOpenDisplay(nullptr);
        QVERIFY2(m_observer, "needs an X server: run under xvfb-run");
        XSetScreenSaver(m_observer, 1, 0, DefaultBlanking, DefaultExposures);
        XSync(m_observer, False);
    }

    void cleanupTestCase()
    {
        if (m_observer)
            XCloseDisplay(m_observer);
    }

    void displayAssertionHoldsTheSaverOff()
    {
        X11ScreenSaver screenSaver;
        // Buses without any service: nothing on them accepts.
        DBusPowerAssertions assertions(QDBusConnection(QStringLiteral("none")), QDBusConnection(QStringLiteral("none")),
                                       &screenSaver);
        QVERIFY(!assertions.create(PowerAssertions::Type::PreventUserIdleSystemSleep, "work"));

        const auto first = assertions.create(PowerAssertions::Type::NoDisplaySleep, "work");
        const auto second = assertions.create(PowerAssertions::Type::NoDisplaySleep, "more work");
        QVERIFY(first && second);
        wake();
        QVERIFY(!saverStartsWhenIdle());

        // Held while any is held.
        assertions.release(*first);
        wake();
        QVERIFY(!saverStartsWhenIdle());

        assertions.release(*second);
        wake();
        QVERIFY(saverStartsWhenIdle());
    }

    void aDisplayWithoutAServerIsNoFallback()
    {
        const QByteArray display = qgetenv("DISPLAY");
        qputenv("DISPLAY", ":4711");
        X11ScreenSaver screenSaver;
        DBusPowerAssertions assertions(QDBusConnection(QStringLiteral("none")), QDBusConnection(QStringLiteral("none")),
                                       &screenSaver);
        QVERIFY(!assertions.create(PowerAssertions::Type::NoDisplaySleep, "work"));
        qputenv("DISPLAY", display);
    }
};

QTEST_GUILESS_MAIN(TestX11ScreenSaver)
#include "tst_x11screensaver.moc"
