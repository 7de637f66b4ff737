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

    std::optional<std::string> readString(std::string_view key) const override
    {
        const auto found = values.find(key);
        if (found == values.end() || !std::holds_alternative<std::string>(found->second))
            return std::nullopt;
        return std::get<std::string>(found->second);
    }
    std::optional<bool> readBool(std::string_view key) const override
    {
        const auto found = values.find(key);
        if (found == values.end() || !std::holds_alternative<bool>(found->second))
            return std::nullopt;
        return std::get<bool>(found->second);
    }
    void writeString(std::string_view key, std::string_view value) override
    {
        values[std::string(key)] = std::string(value);
        ++writes[std::string(key)];
    }
    void writeBool(std::string_view key, bool value) override
    {
        values[std::string(key)] = value;
        ++writes[std::string(key)];
    }

    std::optional<Value> value(std::string_view key) const
    {
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional(found->second);
    }
    int writesOf(std::string_view key) const
    {
        const auto found = writes.find(key);
        return found == writes.end() ? 0 : found->second;
    }

    std::map<std::string, Value, std::less<>> values;
    std::map<std::string, int, std::less<>> writes;
};

} // namespace lullwatch::test
