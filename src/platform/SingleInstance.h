#pragma once

#include <filesystem>

namespace lullwatch {

// One running application per user: an advisory lock on a file in the
// user's runtime folder, held until the process ends.
class SingleInstance {
public:
    // $XDG_RUNTIME_DIR/lullwatch.lock, or one named after the user in the
    // temporary folder when there is no runtime folder.
    static std::filesystem::path defaultLockFile();

    explicit SingleInstance(const std::filesystem::path &lockFile);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // False when another process holds the lock.
    bool isFirst() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace lullwatch
