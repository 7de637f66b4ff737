#include "PortalAppearance.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

namespace lullwatch {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

} // namespace

PortalAppearance::PortalAppearance(QDBusConnection sessionBus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(sessionBus))
    , m_portalWatcher(portalService, m_bus, QDBusServiceWatcher::WatchForRegistration)
{
    if (!m_bus.isConnected())
        return;
    // QDBusConnection::connect takes its receiver by slot name only, and
    // refuses a slot whose argument types are not registered by name yet:
    // QDBusVariant's is not until something uses it.
    qRegisterMetaType<QDBusVariant>();
    m_bus.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                  SLOT(settingChanged(QString, QString, QDBusVariant)));
    // A portal that starts later is read when it comes.
    connect(&m_portalWatcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { read(); });
    read();
}

void PortalAppearance::read()
{
    readWith(QStringLiteral("ReadOne"));
}

void PortalAppearance::readWith(const QString &method)
{
    auto message = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, method);
    message.setArguments({appearanceGroup, colorSchemeKey});
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, method](QDBusPendingCallWatcher *finished) {
        const QDBusMessage reply = finished->reply();
        finished->deleteLater();
        // Portals before version 2 of the interface have Read alone.
        if (reply.type() == QDBusMessage::ErrorMessage
            && reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")
            && method == QLatin1String("ReadOne")) {
            readWith(QStringLiteral("Read"));
            return;
        }
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            take(reply.arguments().constFirst());
    });
}

void PortalAppearance::settingChanged(const QString &group, const QString &key, const QDBusVariant &value)
{
    if (group == appearanceGroup && key == colorSchemeKey)
        take(value.variant());
}

void PortalAppearance::take(QVariant value)
{
    // Read wraps the value in one variant more than ReadOne does.
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    std::optional<bool> prefersDark;
    switch (value.toUInt()) {
    case 1:
        prefersDark = true;
        break;
    case 2:
        prefersDark = false;
        break;
    default:
        break;
    }
    if (prefersDark == m_prefersDark)
        return;
    m_prefersDark = prefersDark;
    Q_EMIT prefersDarkChanged();
}

} // namespace lullwatch
