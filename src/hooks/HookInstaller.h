#pragma once

#include "HookFiles.h"
#include "HookInstalling.h"

#include <nlohmann/json_fwd.hpp>

#include <array>
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
    struct Event {
        std::string_view name;
        std::string_view state;
    };
    static constexpr std::array<Event, 5> events = {{
        {"SessionStart", "idle"},
        {"UserPromptSubmit", "working"},
        {"Notification", "waiting"},
        {"Stop", "idle"},
        {"SessionEnd", "ended"},
    }};
    static constexpr int currentVersion = 5;
    static constexpr std::string_view settingsUnreadable
        = "~/.claude/settings.json isn't valid JSON. Fix or move it, then connect again.";

    explicit HookInstaller(HookLocations locations, QObject *parent = nullptr);

    std::string displayName() const override { return "Claude Code"; }
    std::string detail() const override
    {
        return "Adds hooks to ~/.claude/settings.json (a backup is written first). Restart Claude Code sessions "
               "after connecting.";
    }

    void refresh() override;
    void install() override;
    void uninstall() override;

    std::filesystem::path settingsPath() const { return m_locations.home / ".claude" / "settings.json"; }
    std::filesystem::path backupPath() const { return m_locations.home / ".claude" / "settings.json.lullwatch-backup"; }
    std::filesystem::path scriptPath() const { return m_locations.appSupport / "claude-hook.sh"; }

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

    HookLocations m_locations;
};

} // namespace lullwatch
