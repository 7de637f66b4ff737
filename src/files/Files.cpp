#include "Files.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
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

// Named so that no file of the user's is taken for one of ours.
constexpr std::string_view temporarySuffix = ".lullwatch-XXXXXX";

std::filesystem::path temporaryTemplate(const std::filesystem::path &target)
{
    // Appended piece by piece: GCC 12 warns falsely of overlap on "." + string.
    std::string name(1, '.');
    name += target.filename().string();
    name += temporarySuffix;
    return target.parent_path() / name;
}

bool isTemporaryOf(std::string_view name, std::string_view target)
{
    constexpr std::string_view prefix = temporarySuffix.substr(0, temporarySuffix.size() - 6);
    const std::size_t length = 1 + target.size() + temporarySuffix.size();
    if (name.size() != length || name.front() != '.' || name.substr(1, target.size()) != target
        || name.substr(1 + target.size(), prefix.size()) != prefix)
        return false;
    for (const char c : name.substr(length - 6)) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
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
    if (auto readOnly = readOnlyError(target))
        return readOnly;
    struct stat existing { };
    if (!mode) {
        if (::stat(target.c_str(), &existing) == 0)
            mode = existing.st_mode & 07777;
        else
            mode = newFileMode & ~currentUmask();
    }

    std::string temporary = temporaryTemplate(target).string();
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

std::optional<std::string> readOnlyError(const std::filesystem::path &path)
{
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 || (errno != EACCES && errno != EROFS))
        return std::nullopt;
    return path.string() + " is read-only. Make it writable, then try again.";
}

void removeStaleTemporaries(const std::filesystem::path &path)
{
    const auto target = resolveLinks(path);
    const std::string name = target.filename().string();
    const int folder = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    DIR *listing = ::fdopendir(folder);
    if (!listing) {
        ::close(folder);
        return;
    }
    const auto now = std::chrono::system_clock::now();
    while (const dirent *entry = ::readdir(listing)) {
        if (!isTemporaryOf(entry->d_name, name))
            continue;
        struct stat status { };
        if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)
            || status.st_uid != ::geteuid())
            continue;
        const auto changed = std::chrono::system_clock::time_point(std::chrono::seconds(status.st_mtim.tv_sec));
        if (now - changed > std::chrono::minutes(10))
            ::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(listing);
}

void FileDescriptor::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

FileDescriptor openForReading(const std::filesystem::path &path)
{
    return FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

bool readFully(int fd, std::size_t size, std::string &bytes)
{
    bytes.resize(size);
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break; // shrank since its size was taken
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return true;
}

void ensurePrivateDirectory(const std::filesystem::path &directory)
{
    const auto folder = directory.has_filename() ? directory : directory.parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(folder.parent_path(), ignored);
    ::mkdir(folder.c_str(), 0700);
}

std::optional<std::string> readWholeFile(const std::filesystem::path &path, std::string *error, std::size_t maxSize)
{
    const auto fail = [&](int reason) -> std::optional<std::string> {
        if (error)
            *error = reason == ENOENT ? std::string() : fileError("read", path, reason);
        return std::nullopt;
    };
    const FileDescriptor file = openForReading(path);
    if (!file.isValid())
        return fail(errno);
    struct stat status { };
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return fail(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    // Read to the end rather than to the size taken: files of the kernel's
    // own (sysfs, proc) report sizes that are not their length.
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(errno);
        if (got == 0)
            return bytes;
        if (bytes.size() + static_cast<std::size_t>(got) > maxSize)
            return fail(EFBIG);
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace lullwatch
