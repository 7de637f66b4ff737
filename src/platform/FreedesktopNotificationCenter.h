#pragma once

#include "notify/NotificationCenter.h"

#include <QDBusConnection>
#include <QObject>

#include <cstdint>
#include <map>

namespace lullwatch {

// A client of the desktop's notification server
// (org.freedesktop.Notifications). Every call is asynchronous; answers come
// back on the main thread. Main thread only.
class FreedesktopNotificationCenter final : public QObject, public NotificationCenter {
    Q_OBJECT

public:
    explicit FreedesktopNotificationCenter(QDBusConnection sessionBus, QObject *parent = nullptr);

    // The application's icon as a file, for servers that do not look it up
    // by name in the icon theme.
    void setIconFile(const QString &path) { m_iconFile = path; }

    bool isAvailable() const override;
    void authorizationStatus(std::function<void(Authorization)> completion) override;
    void requestAuthorization(std::function<void(bool granted, std::optional<std::string> error)> completion) override;
    void post(const std::string &identifier, const std::string &title, const std::string &body,
              const std::optional<std::string> &defaultAction, ErrorCallback completion) override;
    void withdraw(const std::vector<std::string> &identifiers) override;
    void openSettings() override;
    void setActivationHandler(ActivationHandler handler) override;

private Q_SLOTS:
    void forgetClosed(uint id, uint reason);
    void takeAction(uint id, const QString &action);

private:
    // The server's notification for one identifier, and the posts of it
    // that the server has not answered yet.
    struct Posted {
        std::uint32_t id = 0;
        std::uint64_t idPost = 0; // the post that gave `id`
        std::uint64_t latestPost = 0; // numbers grow with every post
        std::uint64_t withdrawnThrough = 0; // posts up to this one are withdrawn
        int pending = 0;
    };

    enum class ServerAnswer { Present, Absent, Failed };
    void askForServer(std::function<void(ServerAnswer, const QString &error)> completion);
    void takePostReply(const std::string &identifier, std::uint64_t post, const QDBusMessage &reply,
                       const ErrorCallback &completion);
    void close(std::uint32_t id);
    void forgetIfIdle(std::map<std::string, Posted>::iterator entry);

    QDBusConnection m_bus;
    QString m_iconFile;
    std::map<std::string, Posted> m_posted;
    std::uint64_t m_lastPost = 0;
    // The identifier of each notification the server shows, until it says
    // the notification closed: a click may come after a withdrawal or a
    // replacement was sent and before the server carried it out.
    std::map<std::uint32_t, std::string> m_shown;
    ActivationHandler m_activationHandler;
};

} // namespace lullwatch
