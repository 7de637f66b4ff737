#include "CopilotHookInstaller.h"

#include "agents/Agents.h"
#include "files/Files.h"
#include "files/XdgPaths.h"

#include <nlohmann/json.hpp>

#include <system_error>

namespace lullwatch {

using nlohmann::json;

CopilotHookInstaller::CopilotHookInstaller(const Agent &agent, HookLocations locations, QObject *parent)
    : HookInstalling(agent, std::move(locations), parent)
{ }

std::filesystem::path CopilotHookInstaller::copilotHome() const
{
    return configFolderOf(agent(), locations().home);
}

std::optional<std::string> CopilotHookInstaller::writeHooksFile()
{
    ensurePrivateDirectory(locations().sessions());
    const auto folder = hooksFilePath().parent_path();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        return fileError("create", folder, error.value());

    json hooks = json::object();
    for (const auto &event : agent().events) {
        hooks[std::string(event.name)] = json::array({{{"type", "command"},
                                                       {"bash", hookCommand(scriptPath(), event.state)},
                                                       {"timeoutSec", agent().hookTimeout}}});
    }
    const json file = {{"version", 1}, {"hooks", std::move(hooks)}};
    removeStaleTemporaries(hooksFilePath());
    return writeFileAtomically(hooksFilePath(), file.dump(2) + '\n');
}

bool CopilotHookInstaller::hooksFileMatches() const
{
    const auto bytes = readWholeFile(hooksFilePath());
    if (!bytes)
        return false;
    const auto file = json::parse(*bytes, nullptr, false);
    if (!file.is_object() || !file.contains("hooks") || !file["hooks"].is_object())
        return false;
    const auto &hooks = file["hooks"];
    for (const auto &event : agent().events) {
        const auto entries = hooks.find(std::string(event.name));
        if (entries == hooks.end() || !entries->is_array())
            return false;
        bool ours = false;
        for (const auto &entry : *entries) {
            if (!entry.is_object())
                return false;
            const auto bash = entry.find("bash");
            if (bash != entry.end() && bash->is_string()
                && commandNamesScript(bash->get_ref<const std::string &>(), scriptPath()))
                ours = true;
        }
        if (!ours)
            return false;
    }
    return true;
}

void CopilotHookInstaller::refresh()
{
    if (!hooksFileMatches())
        setStatus(HookStatus::notInstalled());
    else if (installedVersion(locations(), agent()) == agent().hookVersion)
        setStatus(HookStatus::installed());
    else
        setStatus(HookStatus::outdated());
}

void CopilotHookInstaller::install()
{
    auto error = installScript(locations(), agent());
    if (!error)
        error = writeHooksFile();
    setStatus(error ? HookStatus::failed(*error) : HookStatus::installed());
}

void CopilotHookInstaller::uninstall()
{
    std::error_code ignored;
    std::filesystem::remove(hooksFilePath(), ignored);
    removeScript(locations(), agent());
    setStatus(HookStatus::notInstalled());
}

} // namespace lullwatch
