#pragma once

#include "app/PreferenceStore.h"

#include <functional>
#include <map>
#include <variant>

namespace lullwatch::test {

// Preferences in memory; a value read as the other type is absent.
class FakePreferenceStore final : public PreferenceStore {
public:
    using Value = std::variant<std::string, bool>;

    std::optional<std::string> readString(std::string_view key) const override { return read<std::string>(key); }
    std::optional<bool> readBool(std::string_view key) const override { return read<bool>(key); }
    void writeString(std::string_view key, std::string_view value) override
    {
        values[std::string(key)] = std::string(value);
    }
    void writeBool(std::string_view key, bool value) override { values[std::string(key)] = value; }

    std::map<std::string, Value, std::less<>> values;

private:
    template<typename T> std::optional<T> read(std::string_view key) const
    {
        const auto found = values.find(key);
        if (found == values.end() || !std::holds_alternative<T>(found->second))
            return std::nullopt;
        return std::get<T>(found->second);
    }
};

} // namespace lullwatch::test
