#pragma once

#include "sessions/ProcessProbe.h"

#include <functional>
#include <map>
#include <mutex>

namespace lullwatch::test {

// Answers from a table; pids not in it exist.
class FakeProcessProbe final : public ProcessProbe {
public:
    int probe(std::int32_t pid) const override
    {
        if (m_whenProbed)
            m_whenProbed(pid);
        std::lock_guard lock(m_mutex);
        const auto found = m_answers.find(pid);
        return found == m_answers.end() ? 0 : found->second;
    }

    // Runs on the scanner's thread at each probe, before the answer: the
    // moment between reading a record and acting on it.
    void whenProbed(std::function<void(std::int32_t)> action) { m_whenProbed = std::move(action); }

    void answer(std::int32_t pid, int error)
    {
        std::lock_guard lock(m_mutex);
        m_answers[pid] = error;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::int32_t, int> m_answers;
    std::function<void(std::int32_t)> m_whenProbed;
};

} // namespace lullwatch::test
