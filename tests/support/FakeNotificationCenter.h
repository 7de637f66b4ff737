#pragma once

#include "notify/NotificationCenter.h"

#include <utility>

namespace lullwatch::test {

// Keeps every callback until the test answers it, and remembers every call;
// activate() stands for a click on a notification.
class FakeNotificationCenter final : public NotificationCenter {
public:
    struct Post {
        std::string identifier;
        ErrorCallback completion;
    };
    using StatusCallback = std::function<void(Authorization)>;

    bool isAvailable() const override { return true; }
    void authorizationStatus(StatusCallback completion) override
    {
        ++statusQueries;
        m_pendingStatus.push_back(std::move(completion));
    }
    void requestAuthorization(std::function<void(bool, std::optional<std::string>)>) override { }
    void post(const std::string &identifier, const std::string &, const std::string &,
              const std::optional<std::string> &, ErrorCallback completion) override
    {
        posts.push_back({identifier, std::move(completion)});
    }
    void withdraw(const std::vector<std::string> &identifiers) override { withdrawals.push_back(identifiers); }
    void openSettings() override { }
    void setActivationHandler(ActivationHandler handler) override { m_activationHandler = std::move(handler); }

    void activate(const std::string &identifier)
    {
        if (m_activationHandler)
            m_activationHandler(identifier);
    }

    // Answers every status query asked so far.
    void answerStatus(Authorization status)
    {
        for (auto &completion : std::exchange(m_pendingStatus, {}))
            completion(status);
    }

    int statusQueries = 0;
    std::vector<Post> posts;
    std::vector<std::vector<std::string>> withdrawals;

private:
    std::vector<StatusCallback> m_pendingStatus;
    ActivationHandler m_activationHandler;
};

} // namespace lullwatch::test
