#include "HookInstalling.h"

namespace lullwatch {

void HookInstalling::setStatus(HookStatus status)
{
    if (status == m_status)
        return;
    m_status = std::move(status);
    Q_EMIT statusChanged(m_status);
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
    }
    return {};
}

} // namespace lullwatch
