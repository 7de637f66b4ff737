#include "ConfigHome.h"

#include "sessions/Locations.h"

#include <cstdlib>

namespace lullwatch {

std::filesystem::path configHomeDirectory()
{
    // XDG asks that a relative XDG_CONFIG_HOME be ignored like an unset one.
    const char *value = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path configHome = value ? value : "";
    if (!configHome.empty() && configHome.is_absolute())
        return configHome;
    return homeDirectory() / ".config";
}

} // namespace lullwatch
