#pragma once

#include "app/LoginItem.h"

namespace lullwatch::test {

// Registration succeeds; unregistration flips `enabled` unless an error is set.
class FakeLoginItem final : public LoginItem {
public:
    std::optional<std::string> registerItem() override
    {
        ++registrations;
        enabled = true;
        return std::nullopt;
    }
    std::optional<std::string> unregisterItem() override
    {
        ++unregistrations;
        if (!unregisterError)
            enabled = false;
        return unregisterError;
    }
    bool isEnabled() const override { return enabled; }

    bool enabled = false;
    std::optional<std::string> unregisterError;
    int registrations = 0;
    int unregistrations = 0;
};

} // namespace lullwatch::test
