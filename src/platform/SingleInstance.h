#pragma once

#include <filesystem>
#include <string>

namespace lullwatch {

// One running application per user: an advisory lock on a file in a folder
// that only the user can reach, held until the process ends.
class SingleInstance {
public:
    enum class Outcome { First, AlreadyRunning, Failed };

    // $XDG_RUNTIME_DIR/lullwatch.lock when that folder is the user's own and
    // private, else lullwatch.lock in a private folder of the application's
    // data folder.
    static std::filesystem::path defaultLockFile();

    // Creates the lock file's folder, private, when it is missing; a folder
    // that others can reach, or a lock file that is a symbolic link, fails.
    explicit SingleInstance(const std::filesystem::path &lockFile);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    Outcome outcome() const { return m_outcome; }
    // Why the lock could not be taken, naming the file; empty unless Failed.
    const std::string &error() const { return m_error; }

private:
    int m_fd = -1;
    Outcome m_outcome = Outcome::Failed;
    std::string m_error;
};

} // namespace lullwatch
