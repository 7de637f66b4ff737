#include "FreedesktopNotificationCenter.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace lullwatch {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");

QDBusMessage notificationsCall(const QString &method)
{
    return QDBusMessage::createMethodCall(service, path, service, method);
}

QString errorText(const QDBusMessage &reply)
{
    return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
}

} // namespace

FreedesktopNotificationCenter::FreedesktopNotificationCenter(QDBusConnection sessionBus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(sessionBus))
{
    // QDBusConnection::connect takes its receiver by slot name only.
    if (m_bus.isConnected()) {
        m_bus.connect(service, path, service, QStringLiteral("NotificationClosed"), this,
                      SLOT(forgetClosed(uint, uint)));
        m_bus.connect(service, path, service, QStringLiteral("ActionInvoked"), this, SLOT(takeAction(uint, QString)));
    }
}

bool FreedesktopNotificationCenter::isAvailable() const
{
    return m_bus.isConnected();
}

void FreedesktopNotificationCenter::askForServer(std::function<void(ServerAnswer, const QString &)> completion)
{
    // Asking the server itself also starts one that the bus can activate.
    auto *watcher
        = new QDBusPendingCallWatcher(m_bus.asyncCall(notificationsCall(QStringLiteral("GetServerInformation"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [completion = std::move(completion)](QDBusPendingCallWatcher *call) {
                const QDBusMessage reply = call->reply();
                call->deleteLater();
                if (reply.type() == QDBusMessage::ReplyMessage)
                    completion(ServerAnswer::Present, {});
                else if (reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")
                         || reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"))
                    completion(ServerAnswer::Absent, {});
                else
                    completion(ServerAnswer::Failed, errorText(reply));
            });
}

void FreedesktopNotificationCenter::authorizationStatus(std::function<void(Authorization)> completion)
{
    if (!m_bus.isConnected())
        return;
    askForServer([completion = std::move(completion)](ServerAnswer answer, const QString &) {
        switch (answer) {
        case ServerAnswer::Present:
            return completion(Authorization::Authorized);
        case ServerAnswer::Absent:
            return completion(Authorization::Denied);
        case ServerAnswer::Failed:
            return completion(Authorization::NotDetermined);
        }
    });
}

void FreedesktopNotificationCenter::requestAuthorization(
    std::function<void(bool granted, std::optional<std::string> error)> completion)
{
    // The desktop asks no permission of its own: a running server is the grant.
    if (!m_bus.isConnected())
        return;
    askForServer([completion = std::move(completion)](ServerAnswer answer, const QString &error) {
        if (answer == ServerAnswer::Failed)
            completion(false, error.toStdString());
        else
            completion(answer == ServerAnswer::Present, std::nullopt);
    });
}

void FreedesktopNotificationCenter::post(const std::string &identifier, const std::string &title,
                                         const std::string &body, const std::optional<std::string> &defaultAction,
                                         ErrorCallback completion)
{
    if (!m_bus.isConnected())
        return;
    Posted &entry = m_posted[identifier];
    const std::uint64_t post = ++m_lastPost;
    entry.latestPost = post;
    ++entry.pending;

    QVariantMap hints {
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))}, // normal
        {QStringLiteral("desktop-entry"), QStringLiteral("lullwatch")},
        {QStringLiteral("sound-name"), QStringLiteral("message-new-instant")},
    };
    if (!m_iconFile.isEmpty())
        hints.insert(QStringLiteral("image-path"), QUrl::fromLocalFile(m_iconFile).toString());
    // Actions are pairs of key and label; "default" is a click on the notification itself.
    QStringList actions;
    if (defaultAction)
        actions << QStringLiteral("default") << QString::fromStdString(*defaultAction);
    QDBusMessage message = notificationsCall(QStringLiteral("Notify"));
    message << QStringLiteral("Lullwatch") << uint(entry.id) << QStringLiteral("lullwatch")
            << QString::fromStdString(title) << QString::fromStdString(body) << actions << hints << -1;

    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, identifier, post, completion = std::move(completion)](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                takePostReply(identifier, post, call->reply(), completion);
            });
}

void FreedesktopNotificationCenter::takePostReply(const std::string &identifier, std::uint64_t post,
                                                  const QDBusMessage &reply, const ErrorCallback &completion)
{
    const auto entry = m_posted.find(identifier);
    if (entry == m_posted.end())
        return; // cannot happen: the entry stays while a post is pending
    Posted &posted = entry->second;
    --posted.pending;

    const bool accepted = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
    if (accepted) {
        const std::uint32_t id = reply.arguments().constFirst().toUInt();
        if (post <= posted.withdrawnThrough || post < posted.idPost) {
            // Withdrawn, or overtaken by a later post, before its id came.
            if (id != posted.id)
                close(id);
        } else {
            // An earlier post that the server did not replace stays no longer.
            if (posted.id != 0 && posted.id != id)
                close(posted.id);
            posted.id = id;
            posted.idPost = post;
            m_shown[id] = identifier;
        }
    }
    forgetIfIdle(entry);
    if (completion)
        completion(accepted ? std::nullopt : std::optional<std::string>(errorText(reply).toStdString()));
}

void FreedesktopNotificationCenter::withdraw(const std::vector<std::string> &identifiers)
{
    if (!m_bus.isConnected())
        return;
    for (const auto &identifier : identifiers) {
        const auto entry = m_posted.find(identifier);
        if (entry == m_posted.end())
            continue;
        Posted &posted = entry->second;
        posted.withdrawnThrough = posted.latestPost;
        if (posted.id != 0)
            close(posted.id);
        posted.id = 0;
        forgetIfIdle(entry);
    }
}

void FreedesktopNotificationCenter::close(std::uint32_t id)
{
    m_bus.send(notificationsCall(QStringLiteral("CloseNotification")) << uint(id));
}

void FreedesktopNotificationCenter::forgetIfIdle(std::map<std::string, Posted>::iterator entry)
{
    if (entry->second.id == 0 && entry->second.pending == 0)
        m_posted.erase(entry);
}

void FreedesktopNotificationCenter::forgetClosed(uint id, uint /*reason*/)
{
    m_shown.erase(id);
    // Dismissed by the user or expired: a new post must not replace it.
    for (auto entry = m_posted.begin(); entry != m_posted.end();) {
        const auto next = std::next(entry);
        if (entry->second.id == id) {
            entry->second.id = 0;
            forgetIfIdle(entry);
        }
        entry = next;
    }
}

void FreedesktopNotificationCenter::takeAction(uint id, const QString &action)
{
    const auto shown = m_shown.find(id);
    if (shown == m_shown.end() || action != QLatin1String("default") || !m_activationHandler)
        return;
    // A copy: the handler may post or withdraw, which changes m_shown.
    const std::string identifier = shown->second;
    m_activationHandler(identifier);
}

void FreedesktopNotificationCenter::setActivationHandler(ActivationHandler handler)
{
    m_activationHandler = std::move(handler);
}

void FreedesktopNotificationCenter::openSettings()
{
    const QString gnome = QStandardPaths::findExecutable(QStringLiteral("gnome-control-center"));
    const QString plasma = QStandardPaths::findExecutable(QStringLiteral("systemsettings"));
    // On Plasma, where both may be installed, its own settings come first.
    const bool onPlasma = qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QStringLiteral("KDE"));
    if (!plasma.isEmpty() && (onPlasma || gnome.isEmpty()))
        QProcess::startDetached(plasma, {QStringLiteral("kcm_notifications")});
    else if (!gnome.isEmpty())
        QProcess::startDetached(gnome, {QStringLiteral("notifications")});
}

} // namespace lullwatch
