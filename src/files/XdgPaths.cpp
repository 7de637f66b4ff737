#include "XdgPaths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

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
    auto home = environmentPath("HOME");
    if (home.empty()) {
        // Services started without a login environment may lack HOME.
        if (const passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
            home = entry->pw_dir;
    }
    return home;
}

std::filesystem::path appSupportDirectory()
{
    const auto dataHome = environmentPath("XDG_DATA_HOME");
    if (dataHome.is_absolute())
        return dataHome / "lullwatch";
    return homeDirectory() / ".local" / "share" / "lullwatch";
}

std::filesystem::path configHomeDirectory()
{
    const auto configHome = environmentPath("XDG_CONFIG_HOME");
    if (configHome.is_absolute())
        return configHome;
    return homeDirectory() / ".config";
}

std::filesystem::path sessionsDirectory()
{
    return appSupportDirectory() / "sessions";
}

std::filesystem::path runtimeDirectory()
{
    const auto runtime = environmentPath("XDG_RUNTIME_DIR");
    return runtime.is_absolute() ? runtime : std::filesystem::path();
}

std::filesystem::path temporaryDirectory()
{
    const auto temporary = environmentPath("TMPDIR");
    return temporary.is_absolute() ? temporary : std::filesystem::path("/tmp");
}

} // namespace lullwatch
