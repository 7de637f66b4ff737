#pragma once

#include "app/LoginItem.h"

namespace lullwatch::test {

// Registration succeeds and flips `enabled` unless an error is set.
class FakeLoginItem final : public LoginItem {
public:
    std::optional<std::string> registerItem() override
    {
        ++registrations;
        if (!registerError)
            enabled = true;
        return registerError;
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
    std::optional<std::string> registerError;
    std::optional<std::string> unregisterError;
    int registrations = 0;
    int unregistrations = 0;
};

} // namespace lullwatch::test
