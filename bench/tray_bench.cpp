// The tray application's start in isolation: the model over the real Linux
// services, the wait for a tray host and the icon, nothing else. The
// start-to-icon benchmark (bench/tray_start.py) times it.
#include "app/AppModel.h"
#include "notify/Notifier.h"
#include "platform/AutostartLoginItem.h"
#include "platform/DBusPowerAssertions.h"
#include "platform/FreedesktopNotificationCenter.h"
#include "platform/PosixProcessProbe.h"
#include "platform/SettingsPreferenceStore.h"
#include "platform/TerminationSignals.h"
#include "platform/TrayHostWatcher.h"
#include "platform/UPowerPowerSource.h"
#include "sessions/Clock.h"
#include "sessions/Locations.h"
#include "ui/TrayIcon.h"

#include <QApplication>
#include <QDBusConnection>

#include <cstdio>
#include <memory>

using namespace std::chrono_literals;

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    const lullwatch::SystemClock clock;
    const lullwatch::PosixProcessProbe probe;
    lullwatch::SettingsPreferenceStore preferences(lullwatch::SettingsPreferenceStore::defaultFilePath());
    lullwatch::AutostartLoginItem loginItem(lullwatch::AutostartLoginItem::defaultDesktopFile(),
                                            QCoreApplication::applicationFilePath().toStdString());
    lullwatch::DBusPowerAssertions assertions(QDBusConnection::sessionBus(), QDBusConnection::systemBus());
    lullwatch::UPowerPowerSource powerSource(QDBusConnection::systemBus());
    lullwatch::FreedesktopNotificationCenter notificationCenter(QDBusConnection::sessionBus());
    lullwatch::Notifier notifier(notificationCenter, clock);
    lullwatch::AppModel model(
        {preferences, loginItem, assertions, powerSource, notifier, clock, probe, lullwatch::sessionsDirectory(),
         lullwatch::HookLocations::forCurrentUser(QCoreApplication::applicationDirPath().toStdString())});

    std::unique_ptr<lullwatch::TrayIcon> tray;
    lullwatch::TrayHostWatcher hostWatcher(QDBusConnection::sessionBus());
    QObject::connect(&hostWatcher, &lullwatch::TrayHostWatcher::hostAvailable, &application, [&] {
        tray = std::make_unique<lullwatch::TrayIcon>(model);
        std::fputs("Running in the tray.\n", stderr);
    });
    QObject::connect(&hostWatcher, &lullwatch::TrayHostWatcher::noHost, &application,
                     [] { std::fputs("No tray found; running headless.\n", stderr); });
    hostWatcher.waitFor(5s);

    lullwatch::TerminationSignals termination;
    QObject::connect(&termination, &lullwatch::TerminationSignals::terminationRequested, &application,
                     [&application] { application.exit(0); });
    const int status = application.exec();
    tray.reset();
    return status;
}
