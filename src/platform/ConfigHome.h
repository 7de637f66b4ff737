#pragma once

#include <filesystem>

namespace lullwatch {

// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or relative.
std::filesystem::path configHomeDirectory();

} // namespace lullwatch
