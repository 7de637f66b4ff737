#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace lullwatch {

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

// Reads a whole regular file. No value when it cannot be read; `error`
// then says why (and is empty when the file does not exist).
std::optional<std::string> readWholeFile(const std::filesystem::path &path, std::string *error = nullptr);

// Writes all of `bytes` to a file descriptor, retrying short writes.
bool writeAll(int fd, std::string_view bytes);

// "Couldn't <verb> <path>: <reason>", the text shown for file-system failures.
std::string fileError(std::string_view verb, const std::filesystem::path &path, int error);

} // namespace lullwatch
