#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

namespace lullwatch {

// An open file descriptor, closed when it goes.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    { }
    FileDescriptor(FileDescriptor &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    { }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    void reset();

private:
    int m_fd = -1;
};

// Opens a file for reading without blocking on a FIFO or taking a terminal.
FileDescriptor openForReading(const std::filesystem::path &path);

// Reads up to `size` bytes from the start of `fd` into `bytes`, retrying
// short reads; fewer when the file shrank. False on a read error.
bool readFully(int fd, std::size_t size, std::string &bytes);

// Creates the folder, readable by the user alone, with its missing parents;
// an existing folder keeps its mode. Errors are ignored.
void ensurePrivateDirectory(const std::filesystem::path &directory);

// Replaces the file at `path` so that readers see the old content or the new,
// never a part: written beside the target, synced, renamed over it. A
// symbolic link is written through (its target gets the content, the link
// stays). The file keeps its permission bits; a new one gets `newFileMode`
// less the umask, or `mode` when given. A file the user cannot write is left
// as it is. Returns an error text on failure.
std::optional<std::string> writeFileAtomically(const std::filesystem::path &path, std::string_view bytes,
                                               std::optional<mode_t> mode = std::nullopt, mode_t newFileMode = 0666);

// The error text for an existing file that the user cannot write; none when
// it is writable or does not exist.
std::optional<std::string> readOnlyError(const std::filesystem::path &path);

// Deletes what interrupted atomic writes of `path` left beside it: our own
// regular files named like the temporaries of writeFileAtomically, last
// changed more than ten minutes ago.
void removeStaleTemporaries(const std::filesystem::path &path);

// Reads a whole regular file of at most `maxSize` bytes. No value when it
// cannot be read or is larger; `error` then says why (and is empty when the
// file does not exist).
std::optional<std::string> readWholeFile(const std::filesystem::path &path, std::string *error = nullptr,
                                         std::size_t maxSize = std::size_t {64} << 20);

// Writes all of `bytes` to a file descriptor, retrying short writes.
bool writeAll(int fd, std::string_view bytes);

// "Couldn't <verb> <path>: <reason>", the text shown for file-system failures.
std::string fileError(std::string_view verb, const std::filesystem::path &path, int error);

} // namespace lullwatch
