#pragma once

#include "app/LoginItem.h"

#include <filesystem>

namespace lullwatch {

// Starting at login through an XDG autostart desktop entry.
class AutostartLoginItem final : public LoginItem {
public:
    AutostartLoginItem(std::filesystem::path desktopFile, std::filesystem::path executable);

    // $XDG_CONFIG_HOME/autostart/lullwatch.desktop
    static std::filesystem::path defaultDesktopFile();
    // The entry's Exec value for one program path: as it is when it holds
    // only plain characters, else quoted for the Exec key and escaped as a
    // desktop-entry string.
    static std::string execValue(const std::filesystem::path &program);

    std::optional<std::string> registerItem() override;
    std::optional<std::string> unregisterItem() override;
    bool isEnabled() const override;

private:
    std::filesystem::path m_desktopFile;
    std::filesystem::path m_executable;
};

} // namespace lullwatch
