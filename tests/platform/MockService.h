#pragma once

#include "PrivateBus.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDeadlineTimer>

namespace lullwatch::test {

// A python-dbusmock service whose name appears on `bus`: a template ("-t NAME"),
// or a bare object (NAME PATH INTERFACE) given methods with addMethod.
class MockService {
public:
    MockService(const PrivateBus &bus, QString name, QString path, const QStringList &arguments)
        : m_bus(bus)
        , m_name(std::move(name))
        , m_path(std::move(path))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"})
            environment.insert(QString::fromLatin1(variable), bus.address());
        m_process.setProcessEnvironment(environment);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Debian's interpreter, which has dbusmock, whatever PATH finds first.
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        QStringList {QStringLiteral("-m"), QStringLiteral("dbusmock")} + arguments);
    }
    ~MockService() { kill(); }

    // Whether the service took its name. The event loop does not run meanwhile.
    bool waitUntilReady()
    {
        const QDeadlineTimer deadline(20000);
        while (!m_bus.hasOwner(m_name))
            if (m_process.waitForFinished(10) || m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
        return true;
    }

    // Returns once the process has ended, before the bus may have noticed.
    void kill() { m_process.kill(), m_process.waitForFinished(); }

    QDBusMessage mockCall(const QString &method, const QVariantList &arguments, const QString &path = {}) const
    {
        auto message = QDBusMessage::createMethodCall(m_name, path.isEmpty() ? m_path : path,
                                                      QStringLiteral("org.freedesktop.DBus.Mock"), method);
        message.setArguments(arguments);
        return m_bus.connection().call(message, QDBus::Block, 20000);
    }

    // A method on the main object; `code` is Python that may set `ret`.
    bool addMethod(const QString &interface, const QString &method, const QString &inSignature,
                   const QString &outSignature, const QString &code) const
    {
        return mockCall(QStringLiteral("AddMethod"), {interface, method, inSignature, outSignature, code}).type()
            == QDBusMessage::ReplyMessage;
    }

    // The arguments of each call of `method` on the object at `path`.
    QList<QVariantList> methodCalls(const QString &method, const QString &path = {}) const
    {
        const QDBusMessage reply = mockCall(QStringLiteral("GetMethodCalls"), {method}, path);
        QList<QVariantList> calls;
        if (reply.type() != QDBusMessage::ReplyMessage)
            return calls; // reading an absent argument leaks in QtDBus
        const auto records = reply.arguments().value(0).value<QDBusArgument>();
        for (records.beginArray(); !records.atEnd(); records.endStructure()) {
            quint64 time = 0;
            records.beginStructure();
            records >> time >> calls.emplace_back();
        }
        records.endArray();
        return calls;
    }

    const QString &name() const { return m_name; }

private:
    const PrivateBus &m_bus;
    QString m_name, m_path;
    QProcess m_process;
};

} // namespace lullwatch::test
