#include "SessionState.h"

namespace lullwatch {

std::string_view rawValue(SessionSource source)
{
    switch (source) {
    case SessionSource::Claude:
        return "claude";
    case SessionSource::Copilot:
        return "copilot";
    }
    return {};
}

std::string_view rawValue(SessionState state)
{
    switch (state) {
    case SessionState::Idle:
        return "idle";
    case SessionState::Working:
        return "working";
    case SessionState::Waiting:
        return "waiting";
    case SessionState::Ended:
        return "ended";
    }
    return {};
}

std::optional<SessionSource> sessionSourceFromRaw(std::string_view raw)
{
    for (auto source : {SessionSource::Claude, SessionSource::Copilot}) {
        if (rawValue(source) == raw)
            return source;
    }
    return std::nullopt;
}

std::optional<SessionState> sessionStateFromRaw(std::string_view raw)
{
    for (auto state : {SessionState::Idle, SessionState::Working, SessionState::Waiting, SessionState::Ended}) {
        if (rawValue(state) == raw)
            return state;
    }
    return std::nullopt;
}

} // namespace lullwatch
