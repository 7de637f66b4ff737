#include "HookInstaller.h"

#include "CodexTrust.h"
#include "ExactJson.h"
#include "agents/Agents.h"
#include "files/Files.h"

#include <nlohmann/json.hpp>

#include <system_error>

namespace lullwatch {

namespace {

using nlohmann::json;

struct Settings {
    std::optional<ExactJson> document;
    std::optional<std::string> error;
};

// The settings object; a missing or blank file is an empty one.
Settings readSettings(const std::filesystem::path &path, const std::string &unreadable)
{
    std::string error;
    const auto bytes = readWholeFile(path, &error);
    if (!bytes) {
        if (!error.empty())
            return {std::nullopt, error};
        return {ExactJson::parse("{}"), std::nullopt};
    }
    if (bytes->find_first_not_of(" \t\r\n") == std::string::npos)
        return {ExactJson::parse("{}"), std::nullopt};
    // Invalid UTF-8 fails the parse too, so nothing unreadable is rewritten.
    auto document = ExactJson::parse(*bytes);
    if (!document || !document->value().is_object())
        return {std::nullopt, unreadable};
    return {std::move(document), std::nullopt};
}

} // namespace

HookInstaller::HookInstaller(const Agent &agent, HookLocations locations, QObject *parent)
    : HookInstalling(agent, std::move(locations), parent)
{ }

std::filesystem::path HookInstaller::settingsPath() const
{
    return configFolderOf(agent(), locations().home) / agent().settingsFile;
}

std::filesystem::path HookInstaller::backupPath() const
{
    auto path = settingsPath();
    path += ".lullwatch-backup";
    return path;
}

std::string HookInstaller::settingsName() const
{
    const auto path = settingsPath();
    const auto relative = path.lexically_relative(locations().home);
    if (relative.empty() || *relative.begin() == "..")
        return path.string();
    return "~/" + relative.string();
}

std::string HookInstaller::unreadableText() const
{
    return settingsName() + " isn't valid JSON. Fix or move it, then connect again.";
}

std::string HookInstaller::unexpectedShape(std::string_view where) const
{
    return settingsName() + " has " + std::string(where)
        + " in a form Lullwatch doesn't know, so it was left as it is. Fix or move it, then connect again.";
}

std::vector<std::filesystem::path> HookInstaller::ourScriptPaths() const
{
    std::vector<std::filesystem::path> paths {scriptPath()};
    for (const auto name : agent().earlierHookScripts) {
        if (name != agent().hookScript)
            paths.push_back(locations().appSupport / name);
        paths.push_back(locations().legacyFolder() / name);
    }
    return paths;
}

bool HookInstaller::isOurEntry(const json &entry) const
{
    if (!entry.is_object())
        return false;
    const auto command = entry.find("command");
    if (command == entry.end() || !command->is_string())
        return false;
    const auto &text = command->get_ref<const std::string &>();
    for (const auto &path : ourScriptPaths()) {
        if (commandNamesScript(text, path))
            return true;
    }
    return false;
}

bool HookInstaller::hasOurEntry(const json &group) const
{
    const auto hooks = group.find("hooks");
    if (hooks == group.end() || !hooks->is_array())
        return false;
    for (const auto &entry : *hooks) {
        if (isOurEntry(entry))
            return true;
    }
    return false;
}

void HookInstaller::removeOurEntries(json &groups) const
{
    if (!groups.is_array())
        return;
    json kept = json::array();
    bool removed = false;
    for (const auto &group : groups) {
        if (!group.is_object() || !hasOurEntry(group)) {
            kept.push_back(group);
            continue;
        }
        json others = json::array();
        for (const auto &entry : group["hooks"]) {
            if (!isOurEntry(entry))
                others.push_back(entry);
        }
        removed = true;
        // A group keeps the user's own commands; it goes only when nothing is left in it.
        if (!others.empty()) {
            json changed = group;
            changed["hooks"] = std::move(others);
            kept.push_back(std::move(changed));
        }
    }
    if (removed)
        groups = std::move(kept);
}

std::optional<std::string>
HookInstaller::modifySettings(Change kind, const std::function<std::optional<std::string>(json &hooks)> &change)
{
    auto settings = readSettings(settingsPath(), unreadableText());
    if (settings.error)
        return settings.error;

    auto &value = settings.document->value();
    const bool hadHooks = value.contains("hooks");
    // Nothing of ours can be in hooks of another shape: removing leaves them be.
    if (hadHooks && !value["hooks"].is_object()) {
        if (kind == Change::Add)
            return unexpectedShape("\"hooks\"");
        return std::nullopt;
    }
    json hooks = hadHooks ? value["hooks"] : json::object();
    if (auto error = change(hooks))
        return error;
    // Nothing changes: the file (or its absence) and the backup stay as they are.
    if (hadHooks ? hooks == value["hooks"] : hooks.empty())
        return std::nullopt;
    if (auto readOnly = readOnlyError(settingsPath()))
        return readOnly;

    std::error_code error;
    std::filesystem::create_directories(settingsPath().parent_path(), error);
    if (error)
        return fileError("create", settingsPath().parent_path(), error.value());
    removeStaleTemporaries(settingsPath());
    removeStaleTemporaries(backupPath());

    // One generation of backup: the state just before this change.
    // It is as private as the settings themselves, which may hold keys.
    if (const auto current = readWholeFile(settingsPath())) {
        std::error_code ignored;
        const auto permissions = std::filesystem::status(settingsPath(), ignored).permissions();
        std::filesystem::remove(backupPath(), ignored);
        writeFileAtomically(backupPath(), *current, static_cast<mode_t>(permissions & std::filesystem::perms::mask));
    }

    if (hooks.empty() && !(hadHooks && value["hooks"].empty()))
        value.erase("hooks");
    else
        value["hooks"] = std::move(hooks);
    return writeFileAtomically(settingsPath(), settings.document->dump());
}

void HookInstaller::removeLegacyHooks()
{
    // A folder of that name may belong to someone else: only our scripts
    // go, and the folder only when that leaves it empty.
    if (agent().earlierHookScripts.empty())
        return;
    std::error_code ignored;
    const auto legacy = locations().legacyFolder();
    for (const auto name : agent().earlierHookScripts) {
        if (name != agent().hookScript)
            std::filesystem::remove(locations().appSupport / name, ignored);
        std::filesystem::remove(legacy / name, ignored);
    }
    if (std::filesystem::is_directory(std::filesystem::symlink_status(legacy, ignored))
        && std::filesystem::is_empty(legacy, ignored))
        std::filesystem::remove(legacy, ignored);
}

HookStatus HookInstaller::installedStatus(const json &hooks) const
{
    if (!agent().hooksNeedApproval)
        return HookStatus::installed();
    // Codex keeps its trust records in config.toml beside the hooks file.
    const auto config = readWholeFile(settingsPath().parent_path() / "config.toml");
    const auto trusted = codexTrustedHooks(config ? *config : std::string());
    const std::string hooksPath = settingsPath().string();
    for (const auto &event : agent().events) {
        const auto groups = hooks.find(std::string(event.name));
        if (groups == hooks.end() || !groups->is_array())
            return HookStatus::awaitingApproval();
        for (std::size_t group = 0; group < groups->size(); ++group) {
            const json &candidate = (*groups)[group];
            if (!candidate.is_object() || !hasOurEntry(candidate))
                continue;
            const auto entries = candidate.find("hooks");
            for (std::size_t handler = 0; handler < entries->size(); ++handler) {
                const json &entry = (*entries)[handler];
                if (!isOurEntry(entry))
                    continue;
                const auto record = trusted.find(codexHookKey(hooksPath, event.name, group, handler));
                if (record == trusted.end() || record->second != codexHookHash(event.name, entry))
                    return HookStatus::awaitingApproval();
            }
        }
    }
    return HookStatus::installed();
}

void HookInstaller::refresh()
{
    const auto settings = readSettings(settingsPath(), unreadableText());
    const json &value = settings.document ? settings.document->value() : json::object();
    const auto hooks = value.find("hooks");

    std::size_t registered = 0;
    if (hooks != value.end() && hooks->is_object()) {
        for (const auto &event : agent().events) {
            const auto groups = hooks->find(std::string(event.name));
            if (groups == hooks->end() || !groups->is_array())
                continue;
            for (const auto &group : *groups) {
                if (group.is_object() && hasOurEntry(group)) {
                    ++registered;
                    break;
                }
            }
        }
    }

    if (registered == 0)
        setStatus(HookStatus::notInstalled());
    else if (registered == agent().events.size() && installedVersion(locations(), agent()) == agent().hookVersion)
        setStatus(installedStatus(*hooks));
    else
        setStatus(HookStatus::outdated());
}

void HookInstaller::install()
{
    if (auto error = installScript(locations(), agent())) {
        setStatus(HookStatus::failed(*error));
        return;
    }
    const auto error = modifySettings(Change::Add, [this](json &hooks) -> std::optional<std::string> {
        for (const auto &event : agent().events) {
            const std::string name(event.name);
            if (hooks.contains(name) && !hooks[name].is_array())
                return unexpectedShape("the \"" + name + "\" hooks");
        }
        for (const auto &event : agent().events) {
            json &groups = hooks[std::string(event.name)];
            if (groups.is_null())
                groups = json::array();
            removeOurEntries(groups);
            groups.push_back({{"hooks",
                               json::array({{{"type", "command"},
                                             {"command", hookCommand(scriptPath(), event.state)},
                                             {"timeout", agent().hookTimeout}}})}});
        }
        return std::nullopt;
    });
    if (error) {
        setStatus(HookStatus::failed(*error));
        return;
    }
    removeLegacyHooks();
    refresh();
}

void HookInstaller::uninstall()
{
    const auto error = modifySettings(Change::Remove, [this](json &hooks) -> std::optional<std::string> {
        for (const auto &event : agent().events) {
            const std::string name(event.name);
            if (!hooks.contains(name) || !hooks[name].is_array() || hooks[name].empty())
                continue;
            removeOurEntries(hooks[name]);
            if (hooks[name].empty())
                hooks.erase(name);
        }
        return std::nullopt;
    });
    if (error) {
        setStatus(HookStatus::failed(*error));
        return;
    }
    removeScript(locations(), agent());
    removeLegacyHooks();
    setStatus(HookStatus::notInstalled());
}

} // namespace lullwatch
