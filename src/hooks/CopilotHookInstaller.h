#pragma once

#include "HookInstalling.h"

namespace lullwatch {

// Connects Copilot CLI: the hook script in the application's folder and a
// hooks file of our own, lullwatch.json in Copilot's hooks folder, written
// whole on install and deleted on removal. No user file is edited.
class CopilotHookInstaller final : public HookInstalling {
    Q_OBJECT

public:
    CopilotHookInstaller(const Agent &agent, HookLocations locations, QObject *parent = nullptr);

    void refresh() override;
    void install() override;
    void uninstall() override;

    // $COPILOT_HOME when set and not empty, else ~/.copilot; read at every use.
    std::filesystem::path copilotHome() const;
    std::filesystem::path hooksFilePath() const { return copilotHome() / "hooks" / "lullwatch.json"; }

private:
    std::optional<std::string> writeHooksFile();
    bool hooksFileMatches() const;
};

} // namespace lullwatch
