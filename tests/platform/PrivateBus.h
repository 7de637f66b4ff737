#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>

namespace lullwatch::test {

// A message bus daemon of the test's own, with no service files: nothing is
// activated, and nothing outside the test reaches it.
class PrivateBus {
public:
    explicit PrivateBus(QString connectionName)
        : m_connectionName(std::move(connectionName))
    { }
    ~PrivateBus()
    {
        QDBusConnection::disconnectFromBus(m_connectionName);
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    // Starts the daemon with its configuration and socket in `folder`, and connects.
    bool start(const QString &folder)
    {
        QFile config(folder + QStringLiteral("/bus.conf"));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write("<busconfig><type>session</type><listen>unix:dir=" + QFile::encodeName(folder)
                     + "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                       "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        config.close();
        m_daemon.setStandardErrorFile(QProcess::nullDevice()); // complaints about descriptor limits
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--print-address=1"),
                        QStringLiteral("--nofork")});
        while (!m_daemon.canReadLine())
            if (!m_daemon.waitForReadyRead(10000))
                return false;
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
        return connection().isConnected();
    }

    const QString &address() const { return m_address; }
    QDBusConnection connection() const { return QDBusConnection::connectToBus(m_address, m_connectionName); }
    bool hasOwner(const QString &name) const { return connection().interface()->isServiceRegistered(name).value(); }

private:
    QString m_connectionName, m_address;
    QProcess m_daemon;
};

} // namespace lullwatch::test
