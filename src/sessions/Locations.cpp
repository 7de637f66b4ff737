#include "Locations.h"

#include <cstdlib>
#include <system_error>

namespace lullwatch {

namespace {

std::filesystem::path environmentPath(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::filesystem::path(value) : std::filesystem::path();
}

} // namespace

std::filesystem::path homeDirectory()
{
    return environmentPath("HOME");
}

std::filesystem::path appSupportDirectory()
{
    // XDG asks that a relative XDG_DATA_HOME be ignored like an unset one.
    const auto dataHome = environmentPath("XDG_DATA_HOME");
    if (!dataHome.empty() && dataHome.is_absolute())
        return dataHome / "lullwatch";
    return homeDirectory() / ".local" / "share" / "lullwatch";
}

std::filesystem::path sessionsDirectory()
{
    return appSupportDirectory() / "sessions";
}

void ensureSessionsDirectory(const std::filesystem::path &directory)
{
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
}

} // namespace lullwatch
