#pragma once

#include "hooks/HookInstalling.h"
#include "power/WakeController.h"
#include "sessions/SessionInfo.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lullwatch {

class Clock;
class LoginItem;
class Notifier;
class PowerAssertions;
class PowerSource;
class PreferenceStore;
class ProcessProbe;
class SessionScanner;
class TerminalFocus;

// When the model wants the machine awake.
enum class WakeMode { WhileWorking, WhileSessionOpen, Always, Off };
// Which number the tray shows beside the icon.
enum class MenuBarMetric { Context, SessionTotal, None };
// The tray icon's glyphs: following the desktop's colour scheme, or always
// light (for dark panels) or dark (for light panels).
enum class TrayIconStyle { Automatic, Light, Dark };

std::string_view rawValue(WakeMode mode);
std::string_view rawValue(MenuBarMetric metric);
std::string_view rawValue(TrayIconStyle style);
std::optional<WakeMode> wakeModeFromRaw(std::string_view raw);
std::optional<MenuBarMetric> menuBarMetricFromRaw(std::string_view raw);
std::optional<TrayIconStyle> trayIconStyleFromRaw(std::string_view raw);

// Everything outside the model that it drives; all must outlive it.
struct AppServices {
    PreferenceStore &preferences;
    LoginItem &loginItem;
    PowerAssertions &assertions;
    PowerSource &powerSource;
    Notifier &notifier;
    const Clock &clock;
    const ProcessProbe &processProbe;
    TerminalFocus &terminalFocus;
    std::filesystem::path sessionsDirectory;
    // Where killed hooks of older releases left their payload copies.
    std::filesystem::path temporaryDirectory;
    HookLocations hookLocations;
};

// The one model of the application: owns the scanner, the wake controller,
// the installers and the refresh timer, keeps the preferences, and derives
// what the tray shows. Main thread only.
class AppModel final : public QObject {
    Q_OBJECT

public:
    explicit AppModel(AppServices services, QObject *parent = nullptr);
    ~AppModel() override;

    const std::vector<SessionInfo> &sessions() const { return m_sessions; }
    WakeController &wake() { return m_wake; }
    const WakeController &wake() const { return m_wake; }
    // One installer per agent, in the agent table's order.
    const std::vector<std::unique_ptr<HookInstalling>> &hookInstallers() const { return m_hookInstallers; }
    Notifier &notifier() { return m_notifier; }

    WakeMode wakeMode() const { return m_wakeMode; }
    void setWakeMode(WakeMode mode);
    MenuBarMetric menuBarMetric() const { return m_menuBarMetric; }
    void setMenuBarMetric(MenuBarMetric metric);
    TrayIconStyle trayIconStyle() const { return m_trayIconStyle; }
    void setTrayIconStyle(TrayIconStyle style);
    bool notifyWhenWaiting() const { return m_notifyWhenWaiting; }
    void setNotifyWhenWaiting(bool notify);
    bool keepDisplayAwake() const { return m_wake.keepDisplayAwake(); }
    void setKeepDisplayAwake(bool keep);
    bool pauseOnBattery() const { return m_wake.pauseOnBattery(); }
    void setPauseOnBattery(bool pause);

    const std::optional<std::string> &loginItemError() const { return m_loginItemError; }
    bool isLoginItem() const { return m_isLoginItem; }
    void setIsLoginItem(bool isLoginItem);
    void setLoginItem(bool enabled);
    // Reads isLoginItem again from the login-item service, registering
    // nothing, so that a change made outside the application shows.
    void refreshIsLoginItem();

    // The refresh timer's period in seconds; none before the first schedule.
    std::optional<double> timerInterval() const;

    // One refresh: the scan runs on the scanner's thread, its result is
    // applied here when it arrives.
    void performRefresh();
    void refreshWake();

    // "Show": brings the session's terminal to the front, or asks for the
    // panel when that cannot be done or the session is gone.
    void showSession(const std::string &sessionId);

    std::optional<SessionInfo> primarySession() const;
    SessionState overallState() const;
    std::string menuBarTitle() const;
    static std::string wakeReason(const SessionInfo &session);

Q_SIGNALS:
    void sessionsChanged();
    void wakeModeChanged(lullwatch::WakeMode mode);
    void menuBarMetricChanged(lullwatch::MenuBarMetric metric);
    void trayIconStyleChanged(lullwatch::TrayIconStyle style);
    void notifyWhenWaitingChanged(bool notify);
    void loginItemErrorChanged();
    void isLoginItemChanged(bool isLoginItem);
    void timerChanged();
    // After each refresh has been applied; for observers that need no diff.
    void refreshed();
    // A session's terminal came to the front.
    void sessionShown();
    // A session could not be shown in its terminal: the panel shows it instead.
    void panelRequested();

private:
    void applyRefresh(std::vector<SessionInfo> sessions);
    void scheduleTimer(double interval);

    PreferenceStore &m_preferences;
    LoginItem &m_loginItem;
    Notifier &m_notifier;
    TerminalFocus &m_terminalFocus;

    std::vector<SessionInfo> m_sessions;
    WakeController m_wake;
    std::vector<std::unique_ptr<HookInstalling>> m_hookInstallers;
    WakeMode m_wakeMode = WakeMode::WhileWorking;
    MenuBarMetric m_menuBarMetric = MenuBarMetric::Context;
    TrayIconStyle m_trayIconStyle = TrayIconStyle::Automatic;
    bool m_notifyWhenWaiting = true;
    std::optional<std::string> m_loginItemError;
    bool m_isLoginItem = false;
    std::unique_ptr<SessionScanner> m_scanner;
    QTimer m_timer;
    bool m_timerScheduled = false;
};

} // namespace lullwatch
