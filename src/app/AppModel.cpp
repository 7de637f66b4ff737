#include "AppModel.h"

#include "LoginItem.h"
#include "PreferenceStore.h"
#include "agents/Agents.h"
#include "notify/Notifier.h"
#include "sessions/SessionScanner.h"
#include "sessions/TerminalFocus.h"
#include "sessions/TokenCount.h"

#include <QCoreApplication>
#include <QPointer>

namespace lullwatch {

namespace {

constexpr std::string_view wakeModeKey = "wakeMode";
constexpr std::string_view menuBarMetricKey = "menuBarMetric";
constexpr std::string_view trayIconStyleKey = "trayIconStyle";
constexpr std::string_view notifyWhenWaitingKey = "notifyWhenWaiting";
constexpr std::string_view keepDisplayAwakeKey = "keepDisplayAwake";
constexpr std::string_view pauseOnBatteryKey = "pauseOnBattery";

constexpr double workingPeriod = 1.0;
constexpr double restingPeriod = 3.0;

bool isLiveWorking(const SessionInfo &session)
{
    return session.state == SessionState::Working && !session.isStale;
}

} // namespace

std::string_view rawValue(WakeMode mode)
{
    switch (mode) {
    case WakeMode::WhileWorking:
        return "whileWorking";
    case WakeMode::WhileSessionOpen:
        return "whileSessionOpen";
    case WakeMode::Always:
        return "always";
    case WakeMode::Off:
        return "off";
    }
    return {};
}

std::string_view rawValue(MenuBarMetric metric)
{
    switch (metric) {
    case MenuBarMetric::Context:
        return "context";
    case MenuBarMetric::SessionTotal:
        return "sessionTotal";
    case MenuBarMetric::None:
        return "none";
    }
    return {};
}

std::string_view rawValue(TrayIconStyle style)
{
    switch (style) {
    case TrayIconStyle::Automatic:
        return "automatic";
    case TrayIconStyle::Light:
        return "light";
    case TrayIconStyle::Dark:
        return "dark";
    }
    return {};
}

std::optional<WakeMode> wakeModeFromRaw(std::string_view raw)
{
    for (auto mode : {WakeMode::WhileWorking, WakeMode::WhileSessionOpen, WakeMode::Always, WakeMode::Off}) {
        if (rawValue(mode) == raw)
            return mode;
    }
    return std::nullopt;
}

std::optional<MenuBarMetric> menuBarMetricFromRaw(std::string_view raw)
{
    for (auto metric : {MenuBarMetric::Context, MenuBarMetric::SessionTotal, MenuBarMetric::None}) {
        if (rawValue(metric) == raw)
            return metric;
    }
    return std::nullopt;
}

std::optional<TrayIconStyle> trayIconStyleFromRaw(std::string_view raw)
{
    for (auto style : {TrayIconStyle::Automatic, TrayIconStyle::Light, TrayIconStyle::Dark}) {
        if (rawValue(style) == raw)
            return style;
    }
    return std::nullopt;
}

AppModel::AppModel(AppServices services, QObject *parent)
    : QObject(parent)
    , m_preferences(services.preferences)
    , m_loginItem(services.loginItem)
    , m_notifier(services.notifier)
    , m_terminalFocus(services.terminalFocus)
    , m_wake(services.assertions, services.powerSource, services.clock)
    , m_scanner(std::make_unique<SessionScanner>(services.sessionsDirectory, services.clock, services.processProbe,
                                                 TranscriptReader::Limits {}, services.temporaryDirectory))
{
    for (const Agent &agent : agents())
        m_hookInstallers.push_back(makeHookInstaller(agent, services.hookLocations));
    // Loading the wake mode already runs the wake rule, with no sessions yet.
    setWakeMode(wakeModeFromRaw(m_preferences.readString(wakeModeKey).value_or("")).value_or(WakeMode::WhileWorking));
    setMenuBarMetric(
        menuBarMetricFromRaw(m_preferences.readString(menuBarMetricKey).value_or("")).value_or(MenuBarMetric::Context));
    setTrayIconStyle(trayIconStyleFromRaw(m_preferences.readString(trayIconStyleKey).value_or(""))
                         .value_or(TrayIconStyle::Automatic));
    m_wake.setKeepDisplayAwake(m_preferences.readBool(keepDisplayAwakeKey).value_or(false));
    m_wake.setPauseOnBattery(m_preferences.readBool(pauseOnBatteryKey).value_or(false));
    // The one registered default: notifications are on until switched off.
    setNotifyWhenWaiting(m_preferences.readBool(notifyWhenWaitingKey).value_or(true));

    connect(&m_notifier, &Notifier::showSessionRequested, this, &AppModel::showSession);
    m_notifier.start();
    for (const auto &installer : m_hookInstallers)
        installer->refresh();
    setIsLoginItem(m_loginItem.isEnabled());

    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &AppModel::performRefresh);
    scheduleTimer(workingPeriod);
    QMetaObject::invokeMethod(this, &AppModel::performRefresh, Qt::QueuedConnection);
}

// Out of line: the scanner is only declared in the header.
AppModel::~AppModel() = default;

void AppModel::setWakeMode(WakeMode mode)
{
    if (mode != m_wakeMode) {
        m_wakeMode = mode;
        Q_EMIT wakeModeChanged(mode);
    }
    m_preferences.writeString(wakeModeKey, rawValue(mode));
    refreshWake();
}

void AppModel::setMenuBarMetric(MenuBarMetric metric)
{
    if (metric != m_menuBarMetric) {
        m_menuBarMetric = metric;
        Q_EMIT menuBarMetricChanged(metric);
    }
    m_preferences.writeString(menuBarMetricKey, rawValue(metric));
}

void AppModel::setTrayIconStyle(TrayIconStyle style)
{
    if (style != m_trayIconStyle) {
        m_trayIconStyle = style;
        Q_EMIT trayIconStyleChanged(style);
    }
    m_preferences.writeString(trayIconStyleKey, rawValue(style));
}

void AppModel::setNotifyWhenWaiting(bool notify)
{
    if (notify != m_notifyWhenWaiting) {
        m_notifyWhenWaiting = notify;
        Q_EMIT notifyWhenWaitingChanged(notify);
    }
    m_preferences.writeBool(notifyWhenWaitingKey, notify);
    if (notify)
        m_notifier.refreshPermission();
}

void AppModel::setKeepDisplayAwake(bool keep)
{
    m_wake.setKeepDisplayAwake(keep);
    m_preferences.writeBool(keepDisplayAwakeKey, keep);
}

void AppModel::setPauseOnBattery(bool pause)
{
    m_wake.setPauseOnBattery(pause);
    m_preferences.writeBool(pauseOnBatteryKey, pause);
    refreshWake();
}

void AppModel::setIsLoginItem(bool isLoginItem)
{
    if (isLoginItem == m_isLoginItem)
        return;
    m_isLoginItem = isLoginItem;
    Q_EMIT isLoginItemChanged(isLoginItem);
}

void AppModel::setLoginItem(bool enabled)
{
    auto error = enabled ? m_loginItem.registerItem() : m_loginItem.unregisterItem();
    if (error != m_loginItemError) {
        m_loginItemError = std::move(error);
        Q_EMIT loginItemErrorChanged();
    }
    // The toggle shows what really happened, not what was asked for.
    refreshIsLoginItem();
}

void AppModel::refreshIsLoginItem()
{
    setIsLoginItem(m_loginItem.isEnabled());
}

std::optional<double> AppModel::timerInterval() const
{
    if (!m_timerScheduled)
        return std::nullopt;
    return m_timer.interval() / 1000.0;
}

void AppModel::scheduleTimer(double interval)
{
    m_timer.start(static_cast<int>(interval * 1000));
    m_timerScheduled = true;
    Q_EMIT timerChanged();
}

void AppModel::performRefresh()
{
    // Ticks are not coalesced: each refresh applies its own scan when it
    // arrives. The continuation runs on the application object, which
    // outlives every pending scan; the model is reached through a QPointer
    // and may be gone by then.
    m_scanner->scan().then(QCoreApplication::instance(),
                           [model = QPointer<AppModel>(this)](std::vector<SessionInfo> sessions) {
                               if (model)
                                   model->applyRefresh(std::move(sessions));
                           });
}

void AppModel::applyRefresh(std::vector<SessionInfo> sessions)
{
    if (sessions != m_sessions) {
        m_sessions = std::move(sessions);
        Q_EMIT sessionsChanged();
    }
    refreshWake();
    m_notifier.update(m_sessions, m_notifyWhenWaiting);

    const double period = overallState() == SessionState::Working ? workingPeriod : restingPeriod;
    if (timerInterval() != period)
        scheduleTimer(period);
    Q_EMIT refreshed();
}

void AppModel::refreshWake()
{
    bool wanted = false;
    switch (m_wakeMode) {
    case WakeMode::WhileWorking:
        wanted = std::any_of(m_sessions.begin(), m_sessions.end(), isLiveWorking);
        break;
    case WakeMode::WhileSessionOpen:
        wanted = std::any_of(m_sessions.begin(), m_sessions.end(), [](const SessionInfo &session) {
            return session.state != SessionState::Ended && !session.isStale;
        });
        break;
    case WakeMode::Always:
        wanted = true;
        break;
    case WakeMode::Off:
        break;
    }
    const auto primary = primarySession();
    m_wake.setReason(primary ? wakeReason(*primary) : std::string("Lullwatch"));
    m_wake.update(wanted);
}

void AppModel::showSession(const std::string &sessionId)
{
    const auto session = std::find_if(m_sessions.begin(), m_sessions.end(),
                                      [&](const SessionInfo &candidate) { return candidate.id == sessionId; });
    if (session == m_sessions.end() || !session->pid) {
        Q_EMIT panelRequested();
        return;
    }
    // As in performRefresh: the application outlives the work, the model may not.
    m_terminalFocus.focus(*session->pid)
        .then(QCoreApplication::instance(), [model = QPointer<AppModel>(this)](bool shown) {
            if (!model)
                return;
            if (shown)
                Q_EMIT model->sessionShown();
            else
                Q_EMIT model->panelRequested();
        });
}

std::optional<SessionInfo> AppModel::primarySession() const
{
    auto found = std::find_if(m_sessions.begin(), m_sessions.end(), isLiveWorking);
    if (found == m_sessions.end())
        found = std::find_if(m_sessions.begin(), m_sessions.end(),
                             [](const SessionInfo &session) { return session.state == SessionState::Waiting; });
    if (found == m_sessions.end())
        found = m_sessions.begin();
    if (found == m_sessions.end())
        return std::nullopt;
    return *found;
}

SessionState AppModel::overallState() const
{
    if (std::any_of(m_sessions.begin(), m_sessions.end(), isLiveWorking))
        return SessionState::Working;
    if (std::any_of(m_sessions.begin(), m_sessions.end(),
                    [](const SessionInfo &session) { return session.state == SessionState::Waiting; }))
        return SessionState::Waiting;
    return m_sessions.empty() ? SessionState::Ended : SessionState::Idle;
}

std::string AppModel::menuBarTitle() const
{
    const auto primary = primarySession();
    if (!primary)
        return {};
    const auto &usage = primary->usage;
    switch (m_menuBarMetric) {
    case MenuBarMetric::Context:
        return formatTokenCount(usage.contextTokens);
    case MenuBarMetric::SessionTotal:
        return formatTokenCount(usage.tokens.total());
    case MenuBarMetric::None:
        return {};
    }
    return {};
}

std::string AppModel::wakeReason(const SessionInfo &session)
{
    return std::string(agentFor(session.source).name) + " is working in " + folderName(session.cwd);
}

} // namespace lullwatch
