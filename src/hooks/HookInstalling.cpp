#include "HookInstalling.h"

#include "CopilotHookInstaller.h"
#include "HookInstaller.h"
#include "agents/Agents.h"

namespace lullwatch {

HookInstalling::HookInstalling(const Agent &agent, HookLocations locations, QObject *parent)
    : QObject(parent)
    , m_agent(agent)
    , m_locations(std::move(locations))
{ }

std::string HookInstalling::displayName() const
{
    return std::string(m_agent.name);
}

std::string HookInstalling::detail() const
{
    return std::string(m_agent.hookDetail);
}

bool HookInstalling::isOnMachine() const
{
    return agentIsOnMachine(m_locations, m_agent);
}

std::filesystem::path HookInstalling::scriptPath() const
{
    return m_locations.appSupport / m_agent.hookScript;
}

void HookInstalling::setStatus(HookStatus status)
{
    if (status == m_status)
        return;
    m_status = std::move(status);
    Q_EMIT statusChanged(m_status);
}

std::unique_ptr<HookInstalling> makeHookInstaller(const Agent &agent, HookLocations locations)
{
    switch (agent.hookFormat) {
    case HookFormat::ClaudeSettings:
        return std::make_unique<HookInstaller>(agent, std::move(locations));
    case HookFormat::CopilotHooksFile:
        return std::make_unique<CopilotHookInstaller>(agent, std::move(locations));
    }
    return nullptr;
}

std::string hookRowTitle(const HookInstalling &installer)
{
    const auto &status = installer.status();
    switch (status.kind()) {
    case HookStatus::Kind::Failed:
        return status.message();
    case HookStatus::Kind::NotInstalled:
        return installer.displayName() + " not connected";
    case HookStatus::Kind::Installed:
        return installer.displayName() + " connected";
    case HookStatus::Kind::Outdated:
        return installer.displayName() + " hooks need updating";
    case HookStatus::Kind::AwaitingApproval:
        return installer.displayName() + " waiting for approval";
    }
    return {};
}

} // namespace lullwatch
