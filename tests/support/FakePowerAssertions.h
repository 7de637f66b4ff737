#pragma once

#include "power/PowerAssertions.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lullwatch::test {

// Hands out identifiers from 1 up, refuses as many creations of each type as
// asked, and drops an assertion as a provider that goes away does.
class FakePowerAssertions final : public PowerAssertions {
public:
    std::optional<std::uint32_t> create(Type type, std::string_view name) override
    {
        int &refusals = type == Type::NoDisplaySleep ? refuseDisplay : refuseSystem;
        if (refusals > 0) {
            --refusals;
            return std::nullopt;
        }
        m_live[m_next] = {type, std::string(name)};
        return m_next++;
    }
    void release(std::uint32_t identifier) override { unknownReleases += m_live.erase(identifier) == 0 ? 1 : 0; }

    // The assertion ends as if its provider had gone away.
    void drop(std::uint32_t identifier)
    {
        m_live.erase(identifier);
        reportLoss(identifier);
    }

    // The names of the assertions of `type` held now, oldest first.
    std::vector<std::string> names(Type type) const
    {
        std::vector<std::string> result;
        for (const auto &[identifier, assertion] : m_live) {
            if (assertion.first == type)
                result.push_back(assertion.second);
        }
        return result;
    }

    int refuseSystem = 0;
    int refuseDisplay = 0;
    int unknownReleases = 0; // releases of identifiers that were not held

private:
    std::map<std::uint32_t, std::pair<Type, std::string>> m_live;
    std::uint32_t m_next = 1;
};

} // namespace lullwatch::test
