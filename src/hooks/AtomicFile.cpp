#include "AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace lullwatch {

namespace {

// The process's umask without changing it (changing it would race with any
// other thread that creates files).
mode_t currentUmask()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    }
    return 022;
}

// Follows symbolic links to the file that really holds the content.
std::filesystem::path resolveLinks(std::filesystem::path path)
{
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error)))
            return path;
        auto target = std::filesystem::read_symlink(path, error);
        if (error)
            return path;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path;
}

} // namespace

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string fileError(std::string_view verb, const std::filesystem::path &path, int error)
{
    return "Couldn't " + std::string(verb) + ' ' + path.string() + ": " + std::strerror(error);
}

std::optional<std::string> writeFileAtomically(const std::filesystem::path &path, std::string_view bytes,
                                               std::optional<mode_t> mode, mode_t newFileMode)
{
    const auto target = resolveLinks(path);
    struct stat existing { };
    if (!mode) {
        if (::stat(target.c_str(), &existing) == 0)
            mode = existing.st_mode & 07777;
        else
            mode = newFileMode & ~currentUmask();
    }

    std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return fileError("write", path, errno);

    int error = 0;
    if (!writeAll(fd, bytes) || ::fchmod(fd, *mode) != 0 || ::fdatasync(fd) != 0)
        error = errno ? errno : EIO;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        return fileError("write", path, error);
    }

    return std::nullopt;
}

std::optional<std::string> readWholeFile(const std::filesystem::path &path, std::string *error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (error)
            *error = errno == ENOENT ? std::string() : fileError("read", path, errno);
        return std::nullopt;
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int reason = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        if (error)
            *error = fileError("read", path, reason);
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int reason = errno;
            ::close(fd);
            if (error)
                *error = fileError("read", path, reason);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}

} // namespace lullwatch
