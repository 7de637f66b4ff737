#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lullwatch {

// The desktop's notification service. Answers arrive later, on the main
// thread, through the callbacks.
class NotificationCenter {
public:
    enum class Authorization { NotDetermined, Denied, Authorized };
    using ErrorCallback = std::function<void(std::optional<std::string> error)>;
    using ActivationHandler = std::function<void(const std::string &identifier)>;

    virtual ~NotificationCenter() = default;

    // False when there is nothing to talk to (no session bus): the notifier
    // then does nothing at all.
    virtual bool isAvailable() const = 0;
    virtual void authorizationStatus(std::function<void(Authorization)> completion) = 0;
    virtual void requestAuthorization(std::function<void(bool granted, std::optional<std::string> error)> completion)
        = 0;
    // Posting again under the same identifier replaces the earlier notification.
    // A `defaultAction` label makes the notification clickable: choosing it
    // reaches the activation handler with the identifier.
    virtual void post(const std::string &identifier, const std::string &title, const std::string &body,
                      const std::optional<std::string> &defaultAction, ErrorCallback completion)
        = 0;
    virtual void withdraw(const std::vector<std::string> &identifiers) = 0;
    virtual void openSettings() = 0;
    // Called on the main thread whenever the user chose the default action
    // of a notification shown for an identifier; an empty handler ends that.
    virtual void setActivationHandler(ActivationHandler handler) = 0;
};

} // namespace lullwatch
