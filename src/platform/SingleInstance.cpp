#include "SingleInstance.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace lullwatch {

std::filesystem::path SingleInstance::defaultLockFile()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::filesystem::path(runtime) / "lullwatch.lock";
    const char *temporary = std::getenv("TMPDIR");
    const std::filesystem::path folder = temporary && *temporary ? temporary : "/tmp";
    return folder / ("lullwatch-" + std::to_string(::getuid()) + ".lock");
}

SingleInstance::SingleInstance(const std::filesystem::path &lockFile)
{
    m_fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace lullwatch
