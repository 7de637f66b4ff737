#pragma once

#include "HookFiles.h"
#include "HookInstalling.h"

#include <array>
#include <string_view>

namespace lullwatch {

// Connects Copilot CLI: the hook script in the application's folder and a
// hooks file of our own, lullwatch.json in Copilot's hooks folder, written
// whole on install and deleted on removal. No user file is edited.
class CopilotHookInstaller final : public HookInstalling {
    Q_OBJECT

public:
    struct Event {
        std::string_view name;
        std::string_view state;
    };
    static constexpr std::array<Event, 6> events = {{
        {"sessionStart", "idle"},
        {"userPromptSubmitted", "working"},
        {"preToolUse", "working"},
        {"notification", "waiting"},
        {"agentStop", "idle"},
        {"sessionEnd", "ended"},
    }};
    static constexpr int currentVersion = 3;

    explicit CopilotHookInstaller(HookLocations locations, QObject *parent = nullptr);

    std::string displayName() const override { return "Copilot CLI"; }
    std::string detail() const override
    {
        return "Adds a hooks file at ~/.copilot/hooks/lullwatch.json. Restart Copilot CLI sessions after connecting.";
    }

    void refresh() override;
    void install() override;
    void uninstall() override;

    // $COPILOT_HOME when set and not empty, else ~/.copilot; read at every use.
    std::filesystem::path copilotHome() const;
    std::filesystem::path hooksFilePath() const { return copilotHome() / "hooks" / "lullwatch.json"; }
    std::filesystem::path scriptPath() const { return m_locations.appSupport / "copilot-hook.sh"; }

private:
    std::optional<std::string> writeHooksFile();
    bool hooksFileMatches() const;

    HookLocations m_locations;
};

} // namespace lullwatch
