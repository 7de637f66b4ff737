#pragma once

#include "HookInstalling.h"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <string_view>
#include <vector>

namespace lullwatch {

// Connects an agent whose hooks live in its settings file (Claude Code's
// ~/.claude/settings.json, and the agents that copied its format): the hook
// script in the application's folder and one group of ours per event in the
// agent's settings file, beside the user's own settings and hooks, with a
// backup of the file before every change.
class HookInstaller final : public HookInstalling {
    Q_OBJECT

public:
    HookInstaller(const Agent &agent, HookLocations locations, QObject *parent = nullptr);

    void refresh() override;
    void install() override;
    void uninstall() override;

    std::filesystem::path settingsPath() const;
    std::filesystem::path backupPath() const;

private:
    // "~/.claude/settings.json", as the messages name the file.
    std::string settingsName() const;
    std::string unreadableText() const;
    std::string unexpectedShape(std::string_view where) const;
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
    // Installed, or waiting for the user to trust our hooks in the agent
    // when it asks for that, as its own records tell.
    HookStatus installedStatus(const nlohmann::json &hooks) const;
};

} // namespace lullwatch
