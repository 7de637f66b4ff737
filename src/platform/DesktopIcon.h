#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace lullwatch {

// Puts the application's icon into the user's icon theme folder under
// `dataHome` (icons/hicolor/scalable/apps/lullwatch.svg), where notification
// servers, the autostart entry and menus find it by name, also for a build
// run from its folder. Writes it only when it is missing or differs. Returns
// its path, or nothing when it could not be written.
std::optional<std::filesystem::path> installUserIcon(const std::filesystem::path &dataHome, std::string_view svg);

} // namespace lullwatch
