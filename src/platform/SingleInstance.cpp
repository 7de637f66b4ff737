#include "SingleInstance.h"

#include "files/Files.h"
#include "files/XdgPaths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lullwatch {

namespace {

// Whether `folder` is a real folder of the user's, closed to everyone else.
bool isPrivateFolder(const std::filesystem::path &folder)
{
    struct stat status { };
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
        && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

} // namespace

std::filesystem::path SingleInstance::defaultLockFile()
{
    const auto runtime = runtimeDirectory();
    if (!runtime.empty() && isPrivateFolder(runtime))
        return runtime / "lullwatch.lock";
    return appSupportDirectory() / "instance" / "lullwatch.lock";
}

SingleInstance::SingleInstance(const std::filesystem::path &lockFile)
{
    const auto fail = [this, &lockFile](const std::string &why) {
        m_outcome = Outcome::Failed;
        m_error = "cannot open the lock file " + lockFile.string() + ": " + why;
    };

    const std::filesystem::path folder = lockFile.parent_path();
    ensurePrivateDirectory(folder); // an existing folder is checked below
    if (!isPrivateFolder(folder)) {
        fail(folder.string() + " is not a folder of the user's own that only the user can reach");
        return;
    }

    m_fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0) {
        fail(errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
        return;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
        m_outcome = Outcome::First;
        return;
    }
    const int error = errno;
    ::close(m_fd);
    m_fd = -1;
    if (error == EWOULDBLOCK)
        m_outcome = Outcome::AlreadyRunning;
    else
        fail(std::strerror(error));
}

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace lullwatch
