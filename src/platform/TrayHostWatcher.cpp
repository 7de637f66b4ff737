#include "TrayHostWatcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace lullwatch {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");

} // namespace

TrayHostWatcher::TrayHostWatcher(QDBusConnection sessionBus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(sessionBus))
    , m_serviceWatcher(watcherService, m_bus, QDBusServiceWatcher::WatchForRegistration)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (!m_hostAvailable)
            Q_EMIT noHost();
    });
    if (!m_bus.isConnected())
        return;

    // A watcher that starts (or restarts) may already know a host.
    connect(&m_serviceWatcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { askWatcher(); });
    // QDBusConnection::connect takes its receiver by slot name only.
    m_bus.connect(watcherService, watcherPath, watcherInterface, QStringLiteral("StatusNotifierHostRegistered"), this,
                  SLOT(hostRegistered()));
    askWatcher();
}

void TrayHostWatcher::waitFor(std::chrono::milliseconds limit)
{
    if (m_hostAvailable)
        return;
    m_deadline.start(limit);
}

void TrayHostWatcher::hostRegistered()
{
    setHostAvailable();
}

void TrayHostWatcher::askWatcher()
{
    if (m_hostAvailable)
        return;
    auto message = QDBusMessage::createMethodCall(
        watcherService, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    message.setArguments({watcherInterface, QStringLiteral("IsStatusNotifierHostRegistered")});
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *finished) {
        const QDBusMessage reply = finished->reply();
        finished->deleteLater();
        // No watcher, or one without a host yet: its name appearing or its
        // host signal brings the next look.
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return;
        if (reply.arguments().constFirst().value<QDBusVariant>().variant().toBool())
            setHostAvailable();
    });
}

void TrayHostWatcher::setHostAvailable()
{
    if (m_hostAvailable)
        return;
    m_hostAvailable = true;
    m_deadline.stop();
    Q_EMIT hostAvailable();
}

} // namespace lullwatch
