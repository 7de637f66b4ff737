#include "Version.h"
#include "agents/Agents.h"
#include "app/AppModel.h"
#include "app/CommandLine.h"
#include "app/StatusReport.h"
#include "app/StatusText.h"
#include "files/XdgPaths.h"
#include "notify/Notifier.h"
#include "platform/AutostartLoginItem.h"
#include "platform/DBusPowerAssertions.h"
#include "platform/DesktopIcon.h"
#include "platform/FreedesktopNotificationCenter.h"
#include "platform/Links.h"
#include "platform/PosixProcessProbe.h"
#include "platform/SettingsPreferenceStore.h"
#include "platform/SingleInstance.h"
#include "platform/TerminationSignals.h"
#include "platform/TrayHostWatcher.h"
#include "platform/UPowerPowerSource.h"
#include "platform/X11ScreenSaver.h"
#include "sessions/Clock.h"
#include "sessions/SessionScanner.h"
#include "ui/Panel.h"
#include "ui/TrayIcon.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFile>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace {

// The application's icon, as built into the executable.
std::string applicationIcon()
{
    QFile file(QStringLiteral(":/lullwatch/lullwatch.svg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

void write(std::FILE *stream, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::filesystem::path executableDirectory()
{
    return QCoreApplication::applicationDirPath().toStdString();
}

int runStatus(bool asJson)
{
    const lullwatch::SystemClock clock;
    const lullwatch::PosixProcessProbe probe;
    lullwatch::SessionScanner scanner(lullwatch::sessionsDirectory(), clock, probe);
    const auto sessions = scanner.scan().result();
    write(stdout, asJson ? lullwatch::formatStatusJson(sessions) : lullwatch::formatStatusTable(sessions));
    return 0;
}

int runHooks(const lullwatch::Command &command)
{
    const auto locations = lullwatch::HookLocations::forCurrentUser(executableDirectory());
    std::vector<std::unique_ptr<lullwatch::HookInstalling>> installers;
    for (const auto &agent : lullwatch::agents())
        installers.push_back(lullwatch::makeHookInstaller(agent, locations));
    std::string output;
    const int exitStatus = lullwatch::runHooksCommand(command, installers, output);
    write(stdout, output);
    return exitStatus;
}

// The whole application: refresh cycle, wake control, notifications and
// preferences, with one line on standard output whenever what it would show
// changes, and the tray icon with its panel once a tray host is there.
int runApplication(QCoreApplication &application, bool withTray)
{
    // First, so that no signal ends the application without its releases.
    lullwatch::TerminationSignals termination;
    QObject::connect(&termination, &lullwatch::TerminationSignals::terminationRequested, &application,
                     [&application] { application.exit(0); });

    lullwatch::SingleInstance instance(lullwatch::SingleInstance::defaultLockFile());
    switch (instance.outcome()) {
    case lullwatch::SingleInstance::Outcome::First:
        break;
    case lullwatch::SingleInstance::Outcome::AlreadyRunning:
        write(stdout, "Lullwatch is already running.\n");
        return 0;
    case lullwatch::SingleInstance::Outcome::Failed:
        write(stderr, "Lullwatch cannot start: " + instance.error() + "\n");
        return 1;
    }

    const lullwatch::SystemClock clock;
    const lullwatch::PosixProcessProbe probe;
    lullwatch::SettingsPreferenceStore preferences(lullwatch::SettingsPreferenceStore::defaultFilePath());
    lullwatch::AutostartLoginItem loginItem(lullwatch::AutostartLoginItem::defaultDesktopFile(),
                                            QCoreApplication::applicationFilePath().toStdString());
    lullwatch::X11ScreenSaver screenSaver;
    lullwatch::DBusPowerAssertions assertions(QDBusConnection::sessionBus(), QDBusConnection::systemBus(),
                                              &screenSaver);
    lullwatch::UPowerPowerSource powerSource(QDBusConnection::systemBus());
    lullwatch::FreedesktopNotificationCenter notificationCenter(QDBusConnection::sessionBus());
    if (const auto icon = lullwatch::installUserIcon(lullwatch::appSupportDirectory().parent_path(), applicationIcon()))
        notificationCenter.setIconFile(QString::fromStdString(icon->string()));
    lullwatch::Notifier notifier(notificationCenter, clock);
    lullwatch::AppModel model({preferences, loginItem, assertions, powerSource, notifier, clock, probe,
                               lullwatch::sessionsDirectory(), lullwatch::temporaryDirectory(),
                               lullwatch::HookLocations::forCurrentUser(executableDirectory())});

    std::string lastLine;
    QObject::connect(&model, &lullwatch::AppModel::refreshed, &model, [&] {
        const auto line = lullwatch::headlessLine(model);
        if (line != lastLine) {
            lastLine = line;
            write(stdout, line + '\n');
        }
    });

    // Declared after the model, so both go before it does.
    std::unique_ptr<lullwatch::ui::Panel> panel;
    std::unique_ptr<lullwatch::TrayIcon> tray;
    lullwatch::TrayHostWatcher hostWatcher(QDBusConnection::sessionBus());
    if (withTray) {
        // No tray call before a host is there: an application started at
        // login before the desktop's panel still gets its icon later.
        QObject::connect(&hostWatcher, &lullwatch::TrayHostWatcher::hostAvailable, &application, [&] {
            panel = std::make_unique<lullwatch::ui::Panel>(model);
            QObject::connect(panel.get(), &lullwatch::ui::Panel::quitRequested, &application,
                             [&application] { application.exit(0); });
            QObject::connect(panel.get(), &lullwatch::ui::Panel::linkRequested, &application,
                             [](const QUrl &url) { lullwatch::openLink(url); });
            tray = std::make_unique<lullwatch::TrayIcon>(model);
            QObject::connect(tray.get(), &lullwatch::TrayIcon::openPanelRequested, panel.get(),
                             [&panel](QPoint anchor) { panel->showAt(anchor); });
            QObject::connect(tray.get(), &lullwatch::TrayIcon::quitRequested, &application,
                             [&application] { application.exit(0); });
            write(stderr, "Running in the tray.\n");
        });
        QObject::connect(&hostWatcher, &lullwatch::TrayHostWatcher::noHost, &application,
                         [] { write(stderr, "No tray found; running headless.\n"); });
        hostWatcher.waitFor(std::chrono::seconds(5));
    }

    // Everything on the session bus (inhibitors, notifications, the tray
    // icon) is gone with it, and Qt's connection to it does not come back:
    // the application ends and says why. Qt 6.4 signals nothing on a lost
    // connection, so it is asked.
    QTimer busCheck;
    if (QDBusConnection::sessionBus().isConnected()) {
        QObject::connect(&busCheck, &QTimer::timeout, &application, [&application] {
            if (QDBusConnection::sessionBus().isConnected())
                return;
            write(stderr, "Lost the connection to the session bus; Lullwatch quits.\n");
            application.exit(1);
        });
        busCheck.start(std::chrono::seconds(1));
    }
    return application.exec();
}

bool hasDisplay()
{
    const auto set = [](const char *name) {
        const char *value = std::getenv(name);
        return value && *value;
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char *argv[])
{
    using Kind = lullwatch::Command::Kind;
    const auto command = lullwatch::parseCommandLine(std::vector<std::string_view>(argv + 1, argv + argc));
    // Widgets need a display; everything else runs without one.
    bool withTray = command.kind == Kind::Run && hasDisplay();
    std::unique_ptr<QCoreApplication> application;
    if (withTray) {
        // The panel opens as a popup next to the tray icon, which Wayland
        // does not let a client place, so X11 (XWayland in a Wayland session)
        // goes first wherever there is one, unless the user chose otherwise.
        // A display that cannot be reached ends in the offscreen platform,
        // and the application runs headless instead of aborting.
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM",
                    qEnvironmentVariableIsEmpty("DISPLAY") ? "wayland;offscreen" : "xcb;wayland;offscreen");
        application = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        withTray = QGuiApplication::platformName() != QLatin1String("offscreen");
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("lullwatch"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(lullwatch::versionString));

    switch (command.kind) {
    case Kind::Help:
        write(stdout, lullwatch::usageText());
        return 0;
    case Kind::Version:
        write(stdout,
              std::string("lullwatch ") + lullwatch::versionString + " (build " + lullwatch::buildNumber + ")\n");
        return 0;
    case Kind::Run:
        if (!withTray)
            write(stderr, "No display found; running headless.\n");
        return runApplication(*application, withTray);
    case Kind::Headless:
        return runApplication(*application, false);
    case Kind::Status:
        return runStatus(command.json);
    case Kind::Hooks:
        return runHooks(command);
    case Kind::Invalid:
        write(stderr, "lullwatch: unknown argument '" + command.invalidArgument + "'\n\n");
        write(stderr, lullwatch::usageText());
        return 2;
    }
    return 2;
}
