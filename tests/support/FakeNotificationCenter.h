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
        std::string title;
        std::string body;
        std::optional<std::string> defaultAction;
        ErrorCallback completion;
    };
    using StatusCallback = std::function<void(Authorization)>;
    using RequestCallback = std::function<void(bool, std::optional<std::string>)>;

    bool isAvailable() const override { return available; }
    void authorizationStatus(StatusCallback completion) override
    {
        ++statusQueries;
        m_pendingStatus.push_back(std::move(completion));
    }
    void requestAuthorization(RequestCallback completion) override
    {
        ++requests;
        m_pendingRequests.push_back(std::move(completion));
    }
    void post(const std::string &identifier, const std::string &title, const std::string &body,
              const std::optional<std::string> &defaultAction, ErrorCallback completion) override
    {
        posts.push_back({identifier, title, body, defaultAction, std::move(completion)});
    }
    void withdraw(const std::vector<std::string> &identifiers) override { withdrawals.push_back(identifiers); }
    void openSettings() override { ++settingsOpened; }
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
    // Answers every authorization request made so far.
    void answerRequest(bool granted, std::optional<std::string> error = std::nullopt)
    {
        for (auto &completion : std::exchange(m_pendingRequests, {}))
            completion(granted, error);
    }
    // Every call but isAvailable().
    int calls() const
    {
        return statusQueries + requests + settingsOpened + static_cast<int>(posts.size() + withdrawals.size());
    }

    bool available = true;
    int statusQueries = 0;
    int requests = 0;
    int settingsOpened = 0;
    std::vector<Post> posts;
    std::vector<std::vector<std::string>> withdrawals;

private:
    std::vector<StatusCallback> m_pendingStatus;
    std::vector<RequestCallback> m_pendingRequests;
    ActivationHandler m_activationHandler;
};

} // namespace lullwatch::test
