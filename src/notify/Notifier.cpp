#include "Notifier.h"

#include "agents/Agents.h"
#include "sessions/Clock.h"
#include "sessions/TerminalFocus.h"

#include <algorithm>

namespace lullwatch {

Notifier::Notifier(NotificationCenter &center, const Clock &clock, QObject *parent)
    : QObject(parent)
    , m_center(center)
    , m_clock(clock)
{
    m_center.setActivationHandler([self = QPointer<Notifier>(this)](const std::string &identifier) {
        // The test notification offers nothing to show.
        if (self && identifier != testIdentifier)
            Q_EMIT self->showSessionRequested(identifier);
    });
}

std::string Notifier::waitingTitle(const SessionInfo &session)
{
    return std::string(agentFor(session.source).shortName) + " needs you";
}

std::string Notifier::waitingBody(const SessionInfo &session)
{
    return folderName(session.cwd) + " is waiting for your input.";
}

void Notifier::setPermission(Permission permission)
{
    if (permission == m_permission)
        return;
    m_permission = permission;
    Q_EMIT permissionChanged(permission);
}

void Notifier::setLastError(std::optional<std::string> error)
{
    if (error == m_lastError)
        return;
    m_lastError = std::move(error);
    Q_EMIT lastErrorChanged();
}

void Notifier::setRequesting(bool requesting)
{
    if (requesting == m_isRequesting)
        return;
    m_isRequesting = requesting;
    Q_EMIT isRequestingChanged(requesting);
}

NotificationCenter::ErrorCallback Notifier::errorToLastError()
{
    // The notifier lives as long as the process, but a callback that comes
    // after it is gone must not touch it.
    return [self = QPointer<Notifier>(this)](std::optional<std::string> error) {
        if (self && error)
            self->setLastError(std::move(error));
    };
}

void Notifier::start()
{
    refreshPermission();
}

void Notifier::refreshPermission()
{
    if (!m_center.isAvailable())
        return;
    m_center.authorizationStatus([self = QPointer<Notifier>(this)](NotificationCenter::Authorization status) {
        if (!self)
            return;
        switch (status) {
        case NotificationCenter::Authorization::Denied:
            self->setPermission(Permission::Denied);
            break;
        case NotificationCenter::Authorization::NotDetermined:
            self->setPermission(Permission::Unknown);
            if (!self->m_isRequesting)
                self->requestPermission();
            break;
        case NotificationCenter::Authorization::Authorized:
            self->setPermission(Permission::Granted);
            break;
        }
    });
}

void Notifier::requestPermission()
{
    if (!m_center.isAvailable() || m_isRequesting)
        return;
    setRequesting(true);
    m_center.requestAuthorization([self = QPointer<Notifier>(this)](bool granted, std::optional<std::string> error) {
        if (!self)
            return;
        self->setRequesting(false);
        self->setPermission(granted ? Permission::Granted : Permission::Denied);
        self->setLastError(std::move(error));
    });
}

void Notifier::update(const std::vector<SessionInfo> &sessions, bool enabled)
{
    if (!m_center.isAvailable())
        return;

    std::vector<const SessionInfo *> waiting;
    std::set<std::string> waitingIds;
    for (const auto &session : sessions) {
        if (session.state == SessionState::Waiting && !session.isStale) {
            waiting.push_back(&session);
            waitingIds.insert(session.id);
        }
    }
    const TimePoint now = m_clock.now();

    std::vector<std::string> gone;
    std::set_difference(m_delivered.begin(), m_delivered.end(), waitingIds.begin(), waitingIds.end(),
                        std::back_inserter(gone));
    if (!gone.empty()) {
        for (const auto &id : gone)
            m_delivered.erase(id);
        m_center.withdraw(gone);
    }

    std::erase_if(m_lastNotified, [&](const auto &entry) { return !(now - entry.second < renotifyInterval); });

    if (!enabled || waiting.empty())
        return;
    if (m_permission != Permission::Granted) {
        refreshPermission();
        return;
    }
    for (const SessionInfo *session : waiting) {
        if (m_lastNotified.contains(session->id))
            continue;
        m_lastNotified[session->id] = now;
        m_delivered.insert(session->id);
        m_center.post(session->id, waitingTitle(*session), waitingBody(*session), std::string(showSessionLabel),
                      errorToLastError());
    }
}

void Notifier::sendTest()
{
    if (!m_center.isAvailable())
        return;
    if (m_permission != Permission::Granted) {
        // The answer to the refresh comes later: the text follows what is known now.
        const bool denied = m_permission == Permission::Denied;
        refreshPermission();
        setLastError(denied ? std::optional<std::string>(deniedText) : std::nullopt);
        return;
    }
    m_center.post(std::string(testIdentifier), std::string(testTitle), std::string(testBody), std::nullopt,
                  errorToLastError());
}

void Notifier::openSystemSettings()
{
    m_center.openSettings();
}

} // namespace lullwatch
