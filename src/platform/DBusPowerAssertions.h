#pragma once

#include "power/PowerAssertions.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <chrono>
#include <map>

class QDBusPendingCall;
class QSocketNotifier;

namespace lullwatch {

class X11ScreenSaver;

// Power assertions as inhibitors of the desktop's session manager, power
// manager, screen saver or portal, or of systemd-logind, whichever is first
// to accept. Everything goes over the long-lived connections handed in, so
// the services drop whatever is held when the process ends. An inhibitor
// whose service goes away (its bus name loses the owner that accepted it, or
// logind's descriptor hangs up) is reported lost. Main thread only.
class DBusPowerAssertions final : public QObject, public PowerAssertions {
    Q_OBJECT

public:
    // `screenSaver`, when given, holds the display awake where no service on
    // the bus will.
    DBusPowerAssertions(QDBusConnection sessionBus, QDBusConnection systemBus, X11ScreenSaver *screenSaver = nullptr,
                        QObject *parent = nullptr);
    ~DBusPowerAssertions() override;

    // One creation waits this long at most, across all providers: 250 ms
    // unless set. A provider that answers later is skipped for the next one
    // and its acceptance undone.
    void setCreationBudget(std::chrono::milliseconds budget) { m_creationBudget = budget; }

    std::optional<std::uint32_t> create(Type type, std::string_view name) override;
    void release(std::uint32_t identifier) override;

private:
    enum class Provider { GnomeSession, PowerManagement, Portal, Logind, ScreenSaver, X11ScreenSaver };

    // What a provider handed out: a cookie, a portal request, or a logind
    // file descriptor that keeps the inhibitor while it is open; and the
    // unique bus name of the owner that accepted it.
    struct Held {
        Provider provider = Provider::GnomeSession;
        std::uint32_t cookie = 0;
        QDBusObjectPath request;
        QDBusUnixFileDescriptor descriptor;
        QString owner;
        QSocketNotifier *hangUp = nullptr; // for a logind descriptor
    };

    static QString serviceOf(Provider provider);
    static QDBusMessage methodCall(Provider provider, const QString &method);
    QDBusConnection &busOf(Provider provider);
    bool mayCall(Provider provider);
    void followOwners(QDBusConnection &bus, const QStringList &names, std::map<QString, bool> &owners);
    static std::optional<Held> heldFrom(Provider provider, const QDBusMessage &reply);
    void releaseHeld(const Held &held);
    void releaseWhenAccepted(Provider provider, const QDBusPendingCall &call);
    void watchDescriptor(std::uint32_t identifier, Held &held);
    void forgetOwner(const QString &service, const QString &owner);
    void forget(std::uint32_t identifier);

    QDBusConnection m_sessionBus;
    QDBusConnection m_systemBus;
    X11ScreenSaver *m_x11ScreenSaver;
    std::chrono::milliseconds m_creationBudget {250};
    // Whether each provider's name has an owner; absent while unknown.
    std::map<QString, bool> m_sessionOwners;
    std::map<QString, bool> m_systemOwners;
    std::map<std::uint32_t, Held> m_held;
    std::uint32_t m_lastIdentifier = 0;
};

} // namespace lullwatch
