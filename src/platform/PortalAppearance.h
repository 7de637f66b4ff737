#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QObject>

#include <optional>

namespace lullwatch {

// The desktop's colour scheme as the XDG desktop portal tells it
// (org.freedesktop.portal.Settings, org.freedesktop.appearance color-scheme):
// read when the portal is there, and followed through its SettingChanged
// signal. Without a portal, or with one that states no preference, there is
// no answer, and the caller decides by other means.
class PortalAppearance final : public QObject {
    Q_OBJECT

public:
    explicit PortalAppearance(QDBusConnection sessionBus, QObject *parent = nullptr);

    // True for "prefer dark", false for "prefer light", none otherwise.
    std::optional<bool> prefersDark() const { return m_prefersDark; }

Q_SIGNALS:
    void prefersDarkChanged();

private Q_SLOTS:
    // Receives the portal's SettingChanged signal.
    void settingChanged(const QString &group, const QString &key, const QDBusVariant &value);

private:
    void read();
    void readWith(const QString &method);
    void take(QVariant value);

    QDBusConnection m_bus;
    QDBusServiceWatcher m_portalWatcher;
    std::optional<bool> m_prefersDark;
};

} // namespace lullwatch
