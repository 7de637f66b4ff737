#include "Locations.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
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

std::filesystem::path temporaryDirectory()
{
    const auto temporary = environmentPath("TMPDIR");
    return temporary.is_absolute() ? temporary : std::filesystem::path("/tmp");
}

void ensureSessionsDirectory(const std::filesystem::path &directory)
{
    // The records name the user's projects and transcripts.
    const auto folder = directory.has_filename() ? directory : directory.parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(folder.parent_path(), ignored);
    ::mkdir(folder.c_str(), 0700);
}

} // namespace lullwatch
