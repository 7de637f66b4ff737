#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QTimer>

#include <chrono>

namespace lullwatch {

// Tells when the desktop can show a tray icon: a StatusNotifierItem host is
// registered with org.kde.StatusNotifierWatcher on the session bus. Qt
// decides once per process whether such a host exists, so nothing may touch
// the tray before this reports one. Keeps watching after a bounded wait has
// run out, so a panel that starts after the application still gets its icon.
class TrayHostWatcher final : public QObject {
    Q_OBJECT

public:
    explicit TrayHostWatcher(QDBusConnection sessionBus, QObject *parent = nullptr);

    bool isHostAvailable() const { return m_hostAvailable; }

    // Emits noHost() if no host has appeared within `limit`; a host found
    // later still emits hostAvailable().
    void waitFor(std::chrono::milliseconds limit);

Q_SIGNALS:
    // Once, when a host is first seen.
    void hostAvailable();
    // When a bounded wait runs out without a host.
    void noHost();

private Q_SLOTS:
    // Receives the watcher's StatusNotifierHostRegistered signal.
    void hostRegistered();

private:
    void askWatcher();
    void setHostAvailable();

    QDBusConnection m_bus;
    QDBusServiceWatcher m_serviceWatcher;
    QTimer m_deadline;
    bool m_hostAvailable = false;
};

} // namespace lullwatch
