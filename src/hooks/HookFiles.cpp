#include "HookFiles.h"

#include "AtomicFile.h"
#include "sessions/Locations.h"

#include <charconv>
#include <system_error>

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

} // namespace

HookLocations HookLocations::forCurrentUser(const std::filesystem::path &executableDirectory)
{
    return {homeDirectory(), appSupportDirectory(), executableDirectory / "lullwatch-json"};
}

std::string hookCommand(const std::filesystem::path &script, std::string_view state)
{
    return "/bin/sh " + shellQuote(script.string()) + ' ' + std::string(state);
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

std::optional<std::string> installScript(const HookLocations &locations, HookAgent agent, std::string_view scriptName,
                                         std::string_view stampName, int version)
{
    ensureSessionsDirectory(locations.sessions());

    // The hooks run the tool from the application's folder, so they keep
    // working when the build or install folder moves.
    std::string error;
    const auto tool = readWholeFile(locations.jsonToolSource, &error);
    if (!tool) {
        return "lullwatch-json is missing beside the application (" + locations.jsonToolSource.string()
            + "). Reinstall Lullwatch, then connect again.";
    }
    for (const auto &target :
         {locations.installedJsonTool(), locations.appSupport / scriptName, locations.appSupport / stampName})
        removeStaleTemporaries(target);
    if (auto failure = writeFileAtomically(locations.installedJsonTool(), *tool, 0755))
        return failure;

    const auto script = hookScriptText(agent, locations.sessions().string(), locations.installedJsonTool().string());
    if (auto failure = writeFileAtomically(locations.appSupport / scriptName, script, 0755))
        return failure;
    return writeFileAtomically(locations.appSupport / stampName, std::to_string(version));
}

std::int64_t installedVersion(const HookLocations &locations, std::string_view stampName)
{
    const auto text = readWholeFile(locations.appSupport / stampName).value_or(std::string());
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

void removeJsonToolIfUnused(const HookLocations &locations)
{
    std::error_code ignored;
    if (!std::filesystem::exists(locations.appSupport / "claude-hook.sh", ignored)
        && !std::filesystem::exists(locations.appSupport / "copilot-hook.sh", ignored))
        std::filesystem::remove(locations.installedJsonTool(), ignored);
}

} // namespace lullwatch
