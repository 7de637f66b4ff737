#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lullwatch {

// The user's preferences, a small typed key-value store.
class PreferenceStore {
public:
    virtual ~PreferenceStore() = default;
    // None when the key is absent.
    virtual std::optional<std::string> readString(std::string_view key) const = 0;
    // None when the key is absent or does not hold a Bool.
    virtual std::optional<bool> readBool(std::string_view key) const = 0;
    virtual void writeString(std::string_view key, std::string_view value) = 0;
    virtual void writeBool(std::string_view key, bool value) = 0;
};

} // namespace lullwatch
