#include "SessionState.h"

#include "agents/Agents.h"

namespace lullwatch {

namespace {

const StateWords &wordsOf(SessionState state)
{
    for (const auto &words : stateVocabulary) {
        if (words.state == state)
            return words;
    }
    return stateVocabulary.back();
}

} // namespace

std::string_view rawValue(SessionSource source)
{
    return agentFor(source).raw;
}

std::string_view rawValue(SessionState state)
{
    return wordsOf(state).raw;
}

std::string_view stateLabel(SessionState state)
{
    return wordsOf(state).label;
}

std::string_view stateSymbol(SessionState state)
{
    return wordsOf(state).symbol;
}

std::optional<SessionSource> sessionSourceFromRaw(std::string_view raw)
{
    if (const Agent *agent = agentFromRaw(raw))
        return agent->source;
    return std::nullopt;
}

std::optional<SessionState> sessionStateFromRaw(std::string_view raw)
{
    for (const auto &words : stateVocabulary) {
        if (words.raw == raw)
            return words.state;
    }
    return std::nullopt;
}

std::string folderName(std::string_view cwd)
{
    // Trailing slashes do not count: /home/me/site/ is "site".
    while (cwd.size() > 1 && cwd.back() == '/')
        cwd.remove_suffix(1);
    const auto slash = cwd.rfind('/');
    const std::string_view last = slash == std::string_view::npos || cwd.size() == 1 ? cwd : cwd.substr(slash + 1);
    return last.empty() ? std::string("Unknown") : std::string(last);
}

} // namespace lullwatch
