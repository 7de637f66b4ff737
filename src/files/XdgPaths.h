#pragma once

#include <filesystem>

namespace lullwatch {

// The user's home folder, from HOME (the password database when HOME is unset or empty).
std::filesystem::path homeDirectory();
// The XDG base directories as Lullwatch uses them; a relative value counts as
// unset, as the XDG rules ask.

// $XDG_DATA_HOME/lullwatch, or ~/.local/share/lullwatch when XDG_DATA_HOME is unset or empty.
std::filesystem::path appSupportDirectory();
// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or relative.
std::filesystem::path configHomeDirectory();
// The folder the hooks write session records into.
std::filesystem::path sessionsDirectory();
// $XDG_RUNTIME_DIR when it names an absolute path; empty otherwise.
std::filesystem::path runtimeDirectory();
// The folder for temporary files: TMPDIR when it names an absolute path, else /tmp.
std::filesystem::path temporaryDirectory();

} // namespace lullwatch
