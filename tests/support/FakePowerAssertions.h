#pragma once

#include "power/PowerAssertions.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lullwatch::test {

// Hands out identifiers from 1 up, refuses as many creations of each type as
// asked, drops an assertion as a provider that goes away does, and remembers
// every call.
class FakePowerAssertions final : public PowerAssertions {
public:
    struct Assertion {
        Type type;
        std::string name;
        friend bool operator==(const Assertion &, const Assertion &) = default;
    };

    std::optional<std::uint32_t> create(Type type, std::string_view name) override
    {
        attempts.push_back({type, std::string(name)});
        int &refusals = type == Type::NoDisplaySleep ? refuseDisplay : refuseSystem;
        if (refusals > 0) {
            --refusals;
            return std::nullopt;
        }
        live[m_next] = attempts.back();
        return m_next++;
    }

    void release(std::uint32_t identifier) override
    {
        released.push_back(identifier);
        if (live.erase(identifier) == 0)
            ++unknownReleases;
    }

    // The assertion ends as if its provider had gone away.
    void drop(std::uint32_t identifier)
    {
        live.erase(identifier);
        reportLoss(identifier);
    }

    // The names of the assertions of `type` held now, oldest first.
    std::vector<std::string> names(Type type) const
    {
        std::vector<std::string> result;
        for (const auto &[identifier, assertion] : live) {
            if (assertion.type == type)
                result.push_back(assertion.name);
        }
        return result;
    }

    int refuseSystem = 0;
    int refuseDisplay = 0;
    std::vector<Assertion> attempts;
    std::map<std::uint32_t, Assertion> live;
    std::vector<std::uint32_t> released;
    int unknownReleases = 0; // identifiers that were not held

private:
    std::uint32_t m_next = 1;
};

} // namespace lullwatch::test
