#pragma once

#include <filesystem>

namespace lullwatch {

// The user's home folder, from HOME (the password database when HOME is unset or empty).
std::filesystem::path homeDirectory();
// $XDG_DATA_HOME/lullwatch, or ~/.local/share/lullwatch when XDG_DATA_HOME is unset or empty.
std::filesystem::path appSupportDirectory();
// The folder the hook scripts write session records into.
std::filesystem::path sessionsDirectory();
// The folder for temporary files: TMPDIR when it names an absolute path, else /tmp.
std::filesystem::path temporaryDirectory();
// Creates the folder, readable by the user alone, with its missing parents; an
// existing folder keeps its mode. Errors are ignored (a scan of a missing
// folder just finds nothing).
void ensureSessionsDirectory(const std::filesystem::path &directory);

} // namespace lullwatch
