#pragma once

#include <string>
#include <string_view>

namespace lullwatch {

struct Agent;

// `text` in single quotes for sh: 'it'\''s' for it's.
std::string shellQuote(std::string_view text);

// The text of an agent's hook script (claude-hook.sh, copilot-hook.sh): one
// exec of the recorder with the sessions folder, the agent's source word and
// the state word the agent passes. The absolute paths are written into it,
// so that the application and its hooks always agree on where records go.
std::string hookScriptText(const Agent &agent, std::string_view sessionsDirectory, std::string_view recorderPath);

} // namespace lullwatch
