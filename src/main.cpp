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
#include "platform/LinuxTerminalFocus.h"
#include "platform/PortalAppearance.h"
#include "platform/PosixProcessProbe.h"
#include "platform/SettingsPreferenceStore.h"
#include "platform/SingleInstance.h"
#include "platform/StatusNotifierItem.h"
#include "platform/TerminationSignals.h"
#include "platform/TrayHostWatcher.h"
#include "platform/UPowerPowerSource.h"
#include "platform/X11ScreenSaver.h"
#include "platform/XEmbedTray.h"
#include "sessions/Clock.h"
#include "sessions/SessionScanner.h"
#include "ui/EnglishPlurals.h"
#include "ui/Panel.h"
#include "ui/TrayIcon.h"
#include "ui/TrayPresenter.h"

#include <QApplication>
#include <QCursor>
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
    // The display the application started on, XWayland's in a Wayland session.
    lullwatch::LinuxTerminalFocus terminalFocus(qEnvironmentVariable("DISPLAY").toStdString());
    lullwatch::AppModel model({preferences, loginItem, assertions, powerSource, notifier, clock, probe, terminalFocus,
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

    // Declared after the model, so all go before it does.
    std::unique_ptr<lullwatch::ui::Panel> panel;
    std::unique_ptr<lullwatch::PortalAppearance> appearance;
    std::unique_ptr<lullwatch::TrayPresenter> presenter;
    std::unique_ptr<lullwatch::StatusNotifierItem> item;
    std::unique_ptr<lullwatch::TrayIcon> xembedIcon;
    lullwatch::TrayHostWatcher hostWatcher(QDBusConnection::sessionBus());
    // The panel is made when it first opens.
    const auto openPanel = [&](QPoint anchor) {
        if (!panel) {
            panel = std::make_unique<lullwatch::ui::Panel>(model);
            QObject::connect(panel.get(), &lullwatch::ui::Panel::quitRequested, &application,
                             [&application] { application.exit(0); });
            QObject::connect(panel.get(), &lullwatch::ui::Panel::linkRequested, &application,
                             [](const QUrl &url) { lullwatch::openLink(url); });
        }
        panel->showAt(anchor);
    };
    // The tray's presenter, for whichever tray there is.
    const auto startPresenter = [&] {
        if (presenter)
            return;
        presenter = std::make_unique<lullwatch::TrayPresenter>(
            model, QString::fromStdString((lullwatch::appSupportDirectory() / "icons").string()));
        presenter->setDesktopPrefersDark(appearance->prefersDark());
        QObject::connect(appearance.get(), &lullwatch::PortalAppearance::prefersDarkChanged, presenter.get(),
                         [&] { presenter->setDesktopPrefersDark(appearance->prefersDark()); });
        QObject::connect(presenter.get(), &lullwatch::TrayPresenter::openPanelRequested, presenter.get(), openPanel);
        QObject::connect(presenter.get(), &lullwatch::TrayPresenter::quitRequested, &application,
                         [&application] { application.exit(0); });
    };
    if (withTray) {
        appearance = std::make_unique<lullwatch::PortalAppearance>(QDBusConnection::sessionBus());
        // A session that cannot be shown in its terminal is shown in the
        // panel, by the pointer, unless the panel is open already.
        QObject::connect(&model, &lullwatch::AppModel::panelRequested, &application, [&, openPanel] {
            if (presenter && !(panel && panel->isVisible()))
                openPanel(QCursor::pos());
        });
        // No item before a host is there: an application started at login
        // before the desktop's panel still gets its item later.
        QObject::connect(&hostWatcher, &lullwatch::TrayHostWatcher::hostAvailable, &application, [&] {
            startPresenter();
            xembedIcon.reset();
            item = std::make_unique<lullwatch::StatusNotifierItem>(QDBusConnection::sessionBus(),
                                                                   presenter->menuEntries());
            item->setLook(presenter->look());
            QObject::connect(presenter.get(), &lullwatch::TrayPresenter::lookChanged, item.get(),
                             [&] { item->setLook(presenter->look()); });
            QObject::connect(item.get(), &lullwatch::StatusNotifierItem::activateRequested, presenter.get(), openPanel);
            QObject::connect(item.get(), &lullwatch::StatusNotifierItem::contextMenuRequested, presenter.get(),
                             &lullwatch::TrayPresenter::popUpMenu);
            QObject::connect(item.get(), &lullwatch::StatusNotifierItem::menuEntryClicked, presenter.get(),
                             &lullwatch::TrayPresenter::triggerMenuEntry);
            write(stderr, item->start() ? "Running in the tray.\n" : "The session bus refused the tray item.\n");
        });
        // Trays that only embed X windows have no host; Qt's icon serves them.
        QObject::connect(&hostWatcher, &lullwatch::TrayHostWatcher::noHost, &application, [&] {
            if (!lullwatch::xembedTrayIsRunning()) {
                write(stderr, "No tray found; running headless.\n");
                return;
            }
            startPresenter();
            xembedIcon = std::make_unique<lullwatch::TrayIcon>(*presenter);
            QObject::connect(xembedIcon.get(), &lullwatch::TrayIcon::openPanelRequested, presenter.get(), openPanel);
            write(stderr, "Running in the XEmbed tray.\n");
        });
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
    lullwatch::ui::EnglishPlurals plurals;
    QCoreApplication::installTranslator(&plurals);

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
