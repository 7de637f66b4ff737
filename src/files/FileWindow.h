#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace lullwatch {

// A read-only view of part of a file through its pages in the page cache,
// without copying them. A file that shrinks while it is viewed would end the
// process with SIGBUS at the first page past its new end; here such a page
// reads as quotes and line feeds instead, and shrank() tells that what was
// read is not the file. The page after the view reads the same, so that a
// search through the zeros of a file cut inside the view's last page stops
// there. One window at a time per thread; none where the guard cannot be set
// up.
class FileWindow {
public:
    // `offset` must be a multiple of the page size.
    FileWindow(int fd, std::uint64_t offset, std::size_t length);
    FileWindow(const FileWindow &) = delete;
    FileWindow &operator=(const FileWindow &) = delete;
    ~FileWindow();

    bool isValid() const { return m_data != nullptr; }
    const char *data() const { return m_data; }
    std::size_t size() const { return m_size; }
    bool shrank() const { return m_shrank != 0; }

    static std::size_t pageSize();

private:
    friend struct FileWindowGuard;

    char *m_data = nullptr;
    std::size_t m_size = 0;
    mutable volatile std::sig_atomic_t m_shrank = 0; // set by the handler, also in a const view
};

} // namespace lullwatch
