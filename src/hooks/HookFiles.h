#pragma once

#include "HookScripts.h"

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
    std::filesystem::path jsonToolSource; // lullwatch-json beside the running executable

    // The locations of the current user; the JSON tool is looked for in
    // `executableDirectory`.
    static HookLocations forCurrentUser(const std::filesystem::path &executableDirectory);

    std::filesystem::path sessions() const { return appSupport / "sessions"; }
    std::filesystem::path installedJsonTool() const { return appSupport / "lullwatch-json"; }
    // Where releases before this one kept their hook scripts.
    std::filesystem::path legacyFolder() const { return appSupport.parent_path() / "Quillmoor"; }
};

// The command an agent runs for one event: /bin/sh '<script>' <state>, with
// a quote inside the path escaped for sh.
std::string hookCommand(const std::filesystem::path &script, std::string_view state);

// Writes the JSON tool, the script (mode 0755) and its version stamp into the
// application's folder. Returns the first failure's text.
std::optional<std::string> installScript(const HookLocations &locations, HookAgent agent, std::string_view scriptName,
                                         std::string_view stampName, int version);

// The version in a stamp file; 0 when it is missing or not a plain integer.
std::int64_t installedVersion(const HookLocations &locations, std::string_view stampName);

// Deletes the installed JSON tool once neither hook script needs it.
void removeJsonToolIfUnused(const HookLocations &locations);

// Whether `command` runs `script`, in its raw or its sh-escaped spelling.
bool commandNamesScript(std::string_view command, const std::filesystem::path &script);

} // namespace lullwatch
