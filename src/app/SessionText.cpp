#include "SessionText.h"

namespace lullwatch {

std::string folderName(std::string_view cwd)
{
    // Trailing slashes do not count: /home/me/site/ is "site".
    while (cwd.size() > 1 && cwd.back() == '/')
        cwd.remove_suffix(1);
    const auto slash = cwd.rfind('/');
    const std::string_view last = slash == std::string_view::npos || cwd.size() == 1 ? cwd : cwd.substr(slash + 1);
    return last.empty() ? std::string("Unknown") : std::string(last);
}

std::string_view stateLabel(const SessionInfo &session)
{
    return session.isStale ? "Stale" : stateLabel(session.state);
}

std::string_view stateLabel(SessionState state)
{
    switch (state) {
    case SessionState::Idle:
        return "Idle";
    case SessionState::Working:
        return "Working";
    case SessionState::Waiting:
        return "Needs you";
    case SessionState::Ended:
        return "Ended";
    }
    return {};
}

std::string_view sourceLabel(SessionSource source)
{
    switch (source) {
    case SessionSource::Claude:
        return "Claude";
    case SessionSource::Copilot:
        return "Copilot";
    }
    return {};
}

} // namespace lullwatch
