#pragma once

#include "HookScripts.h"
#include "sessions/SessionState.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lullwatch {

// Where the hooks live. Injected, so tests run against a temporary home.
struct HookLocations {
    std::filesystem::path home; // the user's home folder
    std::filesystem::path appSupport; // the application's data folder
    std::filesystem::path recorderSource; // the lullwatch-hook that installing copies
    // Folders where commands are looked for, as in PATH.
    std::string searchPath = {};

    // The locations of the current user, with the recorder found from
    // `executableDirectory` as recorderFor() finds it.
    static HookLocations forCurrentUser(const std::filesystem::path &executableDirectory);
    // lullwatch-hook beside the application, as in a build folder; else where
    // an installed tree keeps it, ../libexec/lullwatch from the application's
    // folder (/usr/bin/lullwatch: /usr/libexec/lullwatch/lullwatch-hook).
    // Beside the application when neither is there.
    static std::filesystem::path recorderFor(const std::filesystem::path &executableDirectory);

    std::filesystem::path sessions() const { return appSupport / "sessions"; }
    std::filesystem::path installedRecorder() const { return appSupport / "lullwatch-hook"; }
    // The JSON tool that the scripts of earlier releases ran.
    std::filesystem::path legacyJsonTool() const { return appSupport / "lullwatch-json"; }
    // Where releases before this one kept their hook scripts.
    std::filesystem::path legacyFolder() const { return appSupport.parent_path() / "Quillmoor"; }
};

// The command an agent runs for one event: /bin/sh '<script>' <state>, with
// a quote inside the path escaped for sh.
std::string hookCommand(const std::filesystem::path &script, SessionState state);

// Writes the recorder, the agent's script (mode 0755) and its version stamp
// into the application's folder, and removes the JSON tool of earlier
// releases. Returns the first failure's text.
std::optional<std::string> installScript(const HookLocations &locations, const Agent &agent);

// The version in the agent's stamp file; 0 when it is missing or not a plain integer.
std::int64_t installedVersion(const HookLocations &locations, const Agent &agent);

// Deletes the agent's script and stamp, and the recorder once no agent's
// script needs it.
void removeScript(const HookLocations &locations, const Agent &agent);

// Whether the agent is on this machine: its command is on the search path,
// or its folder exists.
bool agentIsOnMachine(const HookLocations &locations, const Agent &agent);

// Whether `command` runs `script`, in its raw or its sh-escaped spelling.
bool commandNamesScript(std::string_view command, const std::filesystem::path &script);

} // namespace lullwatch
