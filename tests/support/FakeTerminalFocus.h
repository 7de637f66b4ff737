#pragma once

#include "sessions/TerminalFocus.h"

#include <QPromise>

#include <utility>
#include <vector>

namespace lullwatch::test {

// Remembers each pid asked for and keeps the answer open until the test gives it.
class FakeTerminalFocus final : public TerminalFocus {
public:
    QFuture<bool> focus(std::int32_t pid) override
    {
        requests.push_back(pid);
        auto &promise = m_pending.emplace_back();
        promise.start();
        return promise.future();
    }

    // Answers every request made so far.
    void answer(bool shown)
    {
        for (auto &promise : std::exchange(m_pending, {})) {
            promise.addResult(shown);
            promise.finish();
        }
    }

    std::vector<std::int32_t> requests;

private:
    std::vector<QPromise<bool>> m_pending;
};

} // namespace lullwatch::test
