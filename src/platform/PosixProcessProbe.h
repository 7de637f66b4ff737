#pragma once

#include "sessions/ProcessProbe.h"

namespace lullwatch {

// kill(pid, 0): reports existence without sending anything.
class PosixProcessProbe final : public ProcessProbe {
public:
    int probe(std::int32_t pid) const override;
};

} // namespace lullwatch
