#include "HookInstaller.h"

#include "AtomicFile.h"

#include <nlohmann/json.hpp>

#include <system_error>

namespace lullwatch {

namespace {

using nlohmann::json;

struct Settings {
    json value = json::object();
    std::optional<std::string> error;
};

// The settings object; a missing or blank file is an empty one.
Settings readSettings(const std::filesystem::path &path)
{
    std::string error;
    const auto bytes = readWholeFile(path, &error);
    if (!bytes) {
        if (!error.empty())
            return {json::object(), error};
        return {};
    }
    if (bytes->find_first_not_of(" \t\r\n") == std::string::npos)
        return {};
    // Invalid UTF-8 fails the parse too, so nothing unreadable is rewritten.
    auto parsed = json::parse(*bytes, nullptr, false);
    if (!parsed.is_object())
        return {json::object(), std::string(HookInstaller::settingsUnreadable)};
    return {std::move(parsed), std::nullopt};
}

bool isArrayOfObjects(const json &value)
{
    if (!value.is_array())
        return false;
    for (const auto &element : value) {
        if (!element.is_object())
            return false;
    }
    return true;
}

} // namespace

HookInstaller::HookInstaller(HookLocations locations, QObject *parent)
    : HookInstalling(parent)
    , m_locations(std::move(locations))
{ }

std::vector<std::filesystem::path> HookInstaller::ourScriptPaths() const
{
    const auto legacy = m_locations.legacyFolder();
    return {scriptPath(), m_locations.appSupport / "claude-hook.py", legacy / "claude-hook.sh",
            legacy / "claude-hook.py"};
}

bool HookInstaller::isOurGroup(const json &group) const
{
    const auto hooks = group.find("hooks");
    if (hooks == group.end() || !isArrayOfObjects(*hooks))
        return false;
    const auto paths = ourScriptPaths();
    for (const auto &entry : *hooks) {
        const auto command = entry.find("command");
        if (command == entry.end() || !command->is_string())
            continue;
        const auto &text = command->get_ref<const std::string &>();
        for (const auto &path : paths) {
            if (commandNamesScript(text, path))
                return true;
        }
    }
    return false;
}

std::optional<std::string> HookInstaller::modifySettings(const std::function<void(json &hooks)> &change)
{
    auto settings = readSettings(settingsPath());
    if (settings.error)
        return settings.error;

    std::error_code error;
    std::filesystem::create_directories(settingsPath().parent_path(), error);
    if (error)
        return fileError("create", settingsPath().parent_path(), error.value());

    // One generation of backup: the state just before this change.
    // It is as private as the settings themselves, which may hold keys.
    if (const auto current = readWholeFile(settingsPath())) {
        std::error_code ignored;
        const auto permissions = std::filesystem::status(settingsPath(), ignored).permissions();
        std::filesystem::remove(backupPath(), ignored);
        writeFileAtomically(backupPath(), *current, static_cast<mode_t>(permissions & std::filesystem::perms::mask));
    }

    auto &value = settings.value;
    json hooks = value.contains("hooks") && value["hooks"].is_object() ? value["hooks"] : json::object();
    change(hooks);
    if (hooks.empty())
        value.erase("hooks");
    else
        value["hooks"] = std::move(hooks);

    // Sorted keys (nlohmann's objects are ordered maps), "/" unescaped, UTF-8 as it is.
    return writeFileAtomically(settingsPath(), value.dump(2) + '\n');
}

void HookInstaller::removeLegacyHooks()
{
    // A folder of that name may belong to someone else: only our two scripts
    // go, and the folder only when that leaves it empty.
    std::error_code ignored;
    std::filesystem::remove(m_locations.appSupport / "claude-hook.py", ignored);
    const auto legacy = m_locations.legacyFolder();
    std::filesystem::remove(legacy / "claude-hook.sh", ignored);
    std::filesystem::remove(legacy / "claude-hook.py", ignored);
    if (std::filesystem::is_directory(std::filesystem::symlink_status(legacy, ignored))
        && std::filesystem::is_empty(legacy, ignored))
        std::filesystem::remove(legacy, ignored);
}

void HookInstaller::refresh()
{
    const auto settings = readSettings(settingsPath());
    const json &value = settings.error ? json::object() : settings.value;
    const auto hooks = value.find("hooks");

    std::size_t registered = 0;
    if (hooks != value.end() && hooks->is_object()) {
        for (const auto &event : events) {
            const auto groups = hooks->find(std::string(event.name));
            if (groups == hooks->end() || !isArrayOfObjects(*groups))
                continue;
            for (const auto &group : *groups) {
                if (isOurGroup(group)) {
                    ++registered;
                    break;
                }
            }
        }
    }

    if (registered == 0)
        setStatus(HookStatus::notInstalled());
    else if (registered == events.size() && installedVersion(m_locations, "hook-version") == currentVersion)
        setStatus(HookStatus::installed());
    else
        setStatus(HookStatus::outdated());
}

void HookInstaller::install()
{
    if (auto error = installScript(m_locations, HookAgent::Claude, "claude-hook.sh", "hook-version", currentVersion)) {
        setStatus(HookStatus::failed(*error));
        return;
    }
    const auto error = modifySettings([this](json &hooks) {
        for (const auto &event : events) {
            const std::string name(event.name);
            json groups = json::array();
            if (hooks.contains(name) && isArrayOfObjects(hooks[name])) {
                for (const auto &group : hooks[name]) {
                    if (!isOurGroup(group))
                        groups.push_back(group);
                }
            }
            groups.push_back(
                {{"hooks",
                  json::array(
                      {{{"type", "command"}, {"command", hookCommand(scriptPath(), event.state)}, {"timeout", 5}}})}});
            hooks[name] = std::move(groups);
        }
    });
    if (error) {
        setStatus(HookStatus::failed(*error));
        return;
    }
    removeLegacyHooks();
    setStatus(HookStatus::installed());
}

void HookInstaller::uninstall()
{
    const auto error = modifySettings([this](json &hooks) {
        for (const auto &event : events) {
            const std::string name(event.name);
            if (!hooks.contains(name) || !isArrayOfObjects(hooks[name]))
                continue;
            json kept = json::array();
            for (const auto &group : hooks[name]) {
                if (!isOurGroup(group))
                    kept.push_back(group);
            }
            if (kept.empty())
                hooks.erase(name);
            else
                hooks[name] = std::move(kept);
        }
    });
    if (error) {
        setStatus(HookStatus::failed(*error));
        return;
    }
    std::error_code ignored;
    std::filesystem::remove(scriptPath(), ignored);
    std::filesystem::remove(m_locations.appSupport / "hook-version", ignored);
    removeJsonToolIfUnused(m_locations);
    removeLegacyHooks();
    setStatus(HookStatus::notInstalled());
}

} // namespace lullwatch
