#pragma once

#include <string>
#include <string_view>

namespace lullwatch {

// Which agent a hook script serves; the two scripts are one design.
enum class HookAgent { Claude, Copilot };

// `text` in single quotes for sh: 'it'\''s' for it's.
std::string shellQuote(std::string_view text);

// The text of claude-hook.sh or copilot-hook.sh, with the absolute sessions
// folder and JSON tool written into it, so that the application and its hooks
// always agree on where records go.
std::string hookScriptText(HookAgent agent, std::string_view sessionsDirectory, std::string_view jsonToolPath);

} // namespace lullwatch
