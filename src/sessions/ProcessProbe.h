#pragma once

#include <cstdint>

namespace lullwatch {

// Asks whether a process exists without signalling it. Implementations are
// called from the scanner's thread.
class ProcessProbe {
public:
    virtual ~ProcessProbe() = default;
    // 0 when the process exists and may be signalled, otherwise the error
    // number (EPERM: it exists but belongs to someone else; ESRCH: it is gone).
    // Only called with pids from 1 to 2147483647.
    virtual int probe(std::int32_t pid) const = 0;
};

} // namespace lullwatch
