#pragma once

#include "HookInstalling.h"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <string_view>
#include <vector>

namespace lullwatch {

// Connects Claude Code: the hook script in the application's folder and one
// group of ours per event in ~/.claude/settings.json, beside the user's own
// settings and hooks, with a backup of the file before every change.
class HookInstaller final : public HookInstalling {
    Q_OBJECT

public:
    static constexpr std::string_view settingsUnreadable
        = "~/.claude/settings.json isn't valid JSON. Fix or move it, then connect again.";

    HookInstaller(const Agent &agent, HookLocations locations, QObject *parent = nullptr);

    void refresh() override;
    void install() override;
    void uninstall() override;

    std::filesystem::path settingsPath() const { return locations().home / ".claude" / "settings.json"; }
    std::filesystem::path backupPath() const { return locations().home / ".claude" / "settings.json.lullwatch-backup"; }

private:
    std::vector<std::filesystem::path> ourScriptPaths() const;
    // Whether a hook entry runs one of our scripts, named by its full path.
    bool isOurEntry(const nlohmann::json &entry) const;
    bool hasOurEntry(const nlohmann::json &group) const;
    // Takes our entries out of an event's groups, dropping a group only when
    // nothing of the user's is left in it; anything of another shape stays.
    void removeOurEntries(nlohmann::json &groups) const;
    // Applies `change` to the "hooks" object and writes the settings back,
    // unless the settings are unreadable, read-only or `change` fails.
    enum class Change { Add, Remove };
    std::optional<std::string>
    modifySettings(Change kind, const std::function<std::optional<std::string>(nlohmann::json &hooks)> &change);
    void removeLegacyHooks();
};

} // namespace lullwatch
