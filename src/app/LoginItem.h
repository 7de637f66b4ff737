#pragma once

#include <optional>
#include <string>

namespace lullwatch {

// Starting the application when the user logs in.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // Each returns a readable message on failure.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
    virtual bool isEnabled() const = 0;
};

} // namespace lullwatch
