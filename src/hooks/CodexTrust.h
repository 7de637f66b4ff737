#pragma once

#include <nlohmann/json_fwd.hpp>

#include <map>
#include <string>
#include <string_view>

namespace lullwatch {

// Codex CLI runs the hooks of the user's own hooks.json only once the user
// has reviewed them in Codex (/hooks), which records in its config.toml, per
// handler, the hash of what was reviewed:
//
//   [hooks.state."<hooks.json path>:<event_name>:<group>:<handler>"]
//   trusted_hash = "sha256:<hex>"
//
// A handler whose hash has changed since is not run until reviewed again.

// The key of the handler at `group`, `handler` of `event` ("SessionStart")
// in the hooks file at `hooksPath`.
std::string codexHookKey(std::string_view hooksPath, std::string_view event, std::size_t group, std::size_t handler);

// The hash Codex records for a command handler of `event` in a group
// without matcher.
std::string codexHookHash(std::string_view event, const nlohmann::json &handler);

// Trusted hashes by key in the text of config.toml; a hook that the user has
// switched off there is left out, as Codex does not run it.
std::map<std::string, std::string, std::less<>> codexTrustedHooks(std::string_view configToml);

} // namespace lullwatch
