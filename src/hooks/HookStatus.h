#pragma once

#include <string>

namespace lullwatch {

// Whether an agent's hooks are connected, as worked out from what is on disk.
class HookStatus {
public:
    // AwaitingApproval: installed, but the agent runs them only once the user
    // has reviewed and trusted them in the agent.
    enum class Kind { Failed, NotInstalled, Installed, Outdated, AwaitingApproval };

    static HookStatus failed(std::string message) { return HookStatus(Kind::Failed, std::move(message)); }
    static HookStatus notInstalled() { return HookStatus(Kind::NotInstalled); }
    static HookStatus installed() { return HookStatus(Kind::Installed); }
    static HookStatus outdated() { return HookStatus(Kind::Outdated); }
    static HookStatus awaitingApproval() { return HookStatus(Kind::AwaitingApproval); }

    Kind kind() const { return m_kind; }
    // The text shown for a failure; empty for the other kinds.
    const std::string &message() const { return m_message; }

    friend bool operator==(const HookStatus &, const HookStatus &) = default;

private:
    explicit HookStatus(Kind kind, std::string message = {})
        : m_kind(kind)
        , m_message(std::move(message))
    { }

    Kind m_kind;
    std::string m_message;
};

} // namespace lullwatch
