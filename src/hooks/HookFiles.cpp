#include "HookFiles.h"

#include "agents/Agents.h"
#include "files/Files.h"
#include "files/XdgPaths.h"

#include <charconv>
#include <cstdlib>
#include <system_error>
#include <unistd.h>

namespace lullwatch {

namespace {

std::string escapedForSingleQuotes(std::string_view text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '\'')
            escaped += R"('\'')";
        else
            escaped += c;
    }
    return escaped;
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The scripts of earlier releases ran the JSON tool: it goes once none of
// them is left.
void removeLegacyJsonToolIfUnused(const HookLocations &locations)
{
    std::error_code ignored;
    for (const Agent &agent : agents()) {
        if (std::filesystem::exists(locations.appSupport / agent.hookScript, ignored)
            && installedVersion(locations, agent) != agent.hookVersion)
            return;
    }
    std::filesystem::remove(locations.legacyJsonTool(), ignored);
}

} // namespace

HookLocations HookLocations::forCurrentUser(const std::filesystem::path &executableDirectory)
{
    const char *path = std::getenv("PATH");
    return {homeDirectory(), appSupportDirectory(), recorderFor(executableDirectory), path ? path : ""};
}

std::filesystem::path HookLocations::recorderFor(const std::filesystem::path &executableDirectory)
{
    std::error_code ignored;
    const auto beside = executableDirectory / "lullwatch-hook";
    const auto installed = executableDirectory.parent_path() / "libexec" / "lullwatch" / "lullwatch-hook";
    if (!std::filesystem::is_regular_file(beside, ignored) && std::filesystem::is_regular_file(installed, ignored))
        return installed;
    return beside;
}

bool agentIsOnMachine(const HookLocations &locations, const Agent &agent)
{
    std::error_code ignored;
    if (std::filesystem::is_directory(configFolderOf(agent, locations.home), ignored))
        return true;
    const std::string_view path = locations.searchPath;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(':', start);
        if (end == std::string_view::npos)
            end = path.size();
        const auto folder = path.substr(start, end - start);
        start = end + 1;
        if (folder.empty() || folder.front() != '/')
            continue; // only absolute folders, whatever the working folder
        const auto command = std::filesystem::path(folder) / agent.executable;
        if (std::filesystem::is_regular_file(command, ignored) && ::access(command.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

std::string hookCommand(const std::filesystem::path &script, SessionState state)
{
    return "/bin/sh " + shellQuote(script.string()) + ' ' + std::string(rawValue(state));
}

bool commandNamesScript(std::string_view command, const std::filesystem::path &script)
{
    // The path as a whole word of the command: a script of the same name
    // elsewhere, or a longer path that starts with ours, is someone else's.
    const auto isBoundary = [](char c) { return c == ' ' || c == '\t' || c == '\'' || c == '"'; };
    const std::string raw = script.string();
    for (const std::string &spelling : {raw, escapedForSingleQuotes(raw)}) {
        for (auto found = command.find(spelling); found != std::string_view::npos;
             found = command.find(spelling, found + 1)) {
            const auto end = found + spelling.size();
            if ((found == 0 || isBoundary(command[found - 1])) && (end == command.size() || isBoundary(command[end])))
                return true;
        }
    }
    return false;
}

std::optional<std::string> installScript(const HookLocations &locations, const Agent &agent)
{
    ensurePrivateDirectory(locations.sessions());

    // The hooks run the recorder from the application's folder, so they keep
    // working when the build or install folder moves.
    const auto recorder = readWholeFile(locations.recorderSource);
    if (!recorder) {
        return "lullwatch-hook is missing beside the application (" + locations.recorderSource.string()
            + "). Reinstall Lullwatch, then connect again.";
    }
    const auto script = locations.appSupport / agent.hookScript;
    const auto stamp = locations.appSupport / agent.versionStamp;
    for (const auto &target : {locations.installedRecorder(), script, stamp})
        removeStaleTemporaries(target);
    if (auto failure = writeFileAtomically(locations.installedRecorder(), *recorder, 0755))
        return failure;
    const auto text = hookScriptText(agent, locations.sessions().string(), locations.installedRecorder().string());
    if (auto failure = writeFileAtomically(script, text, 0755))
        return failure;
    if (auto failure = writeFileAtomically(stamp, std::to_string(agent.hookVersion)))
        return failure;
    removeLegacyJsonToolIfUnused(locations);
    return std::nullopt;
}

std::int64_t installedVersion(const HookLocations &locations, const Agent &agent)
{
    const auto text = readWholeFile(locations.appSupport / agent.versionStamp).value_or(std::string());
    std::string_view number = trimmed(text);
    if (!number.empty() && number.front() == '+') {
        number.remove_prefix(1);
        if (!number.empty() && number.front() == '-')
            return 0;
    }
    std::int64_t version = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), version);
    if (number.empty() || error != std::errc() || end != number.data() + number.size())
        return 0;
    return version;
}

void removeScript(const HookLocations &locations, const Agent &agent)
{
    std::error_code ignored;
    std::filesystem::remove(locations.appSupport / agent.hookScript, ignored);
    std::filesystem::remove(locations.appSupport / agent.versionStamp, ignored);
    removeLegacyJsonToolIfUnused(locations);
    for (const Agent &other : agents()) {
        if (std::filesystem::exists(locations.appSupport / other.hookScript, ignored))
            return;
    }
    std::filesystem::remove(locations.installedRecorder(), ignored);
}

} // namespace lullwatch
