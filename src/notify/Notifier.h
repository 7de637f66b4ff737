#pragma once

#include "NotificationCenter.h"
#include "sessions/SessionInfo.h"
#include "sessions/TimePoint.h"

#include <QObject>
#include <QPointer>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lullwatch {

class Clock;

// Says "Claude needs you" (or the waiting agent's name) when a session starts waiting for the user,
// withdraws it when the session stops waiting, passes on a click on it, and
// keeps the notification permission. One per process, made by the
// application and handed to the model, which does not own it. Main thread only.
class Notifier final : public QObject {
    Q_OBJECT

public:
    enum class Permission { Unknown, Granted, Denied };

    static constexpr Seconds renotifyInterval {300};
    static constexpr std::string_view testIdentifier = "test-notification";
    // "Claude needs you": the agent's short name.
    static std::string waitingTitle(const SessionInfo &session);
    static constexpr std::string_view testTitle = "Lullwatch";
    static constexpr std::string_view testBody = "Notifications are working. You'll be alerted when Claude needs you.";
    static constexpr std::string_view deniedText = "No notification service is running.";

    Notifier(NotificationCenter &center, const Clock &clock, QObject *parent = nullptr);

    // Reads the permission once at start.
    void start();
    void refreshPermission();
    // The "Allow" action; one request at a time.
    void requestPermission();
    // Called on every refresh with the sessions and the user's preference.
    void update(const std::vector<SessionInfo> &sessions, bool enabled);
    // The "Test" action.
    void sendTest();
    void openSystemSettings();

    Permission permission() const { return m_permission; }
    const std::optional<std::string> &lastError() const { return m_lastError; }
    const std::set<std::string> &delivered() const { return m_delivered; }
    bool isRequesting() const { return m_isRequesting; }

    // "<folder> is waiting for your input."
    static std::string waitingBody(const SessionInfo &session);

Q_SIGNALS:
    void permissionChanged(lullwatch::Notifier::Permission permission);
    void lastErrorChanged();
    void isRequestingChanged(bool requesting);
    // The user clicked the waiting notification of this session.
    void showSessionRequested(const std::string &sessionId);

private:
    void setPermission(Permission permission);
    void setLastError(std::optional<std::string> error);
    void setRequesting(bool requesting);
    NotificationCenter::ErrorCallback errorToLastError();

    NotificationCenter &m_center;
    const Clock &m_clock;
    Permission m_permission = Permission::Unknown;
    std::optional<std::string> m_lastError;
    std::map<std::string, TimePoint> m_lastNotified;
    std::set<std::string> m_delivered;
    bool m_isRequesting = false;
};

} // namespace lullwatch
