#include "PosixProcessProbe.h"

#include <cerrno>
#include <csignal>

namespace lullwatch {

int PosixProcessProbe::probe(std::int32_t pid) const
{
    if (pid < 1)
        return ESRCH; // never address a process group
    return ::kill(pid, 0) == 0 ? 0 : errno;
}

} // namespace lullwatch
