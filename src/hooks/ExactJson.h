#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace lullwatch {

// A JSON document read to be changed and written back without losing what
// the user wrote: a number keeps its spelling where a double could not hold
// it exactly (an integer beyond 64 bits, a long fraction), and nesting is
// bounded so that neither reading nor writing runs out of stack.
class ExactJson {
public:
    static constexpr int maxDepth = 512;

    // No value for text that is not JSON, is not valid UTF-8 or nests deeper
    // than maxDepth.
    static std::optional<ExactJson> parse(std::string_view text);

    nlohmann::json &value() { return m_value; }
    const nlohmann::json &value() const { return m_value; }

    // Indented by two spaces, keys sorted, UTF-8 as it is, a line feed at
    // the end; numbers as they were read.
    std::string dump() const;

private:
    nlohmann::json m_value;
    // Stands in front of a number's spelling, kept as a string until dump().
    std::string m_numberMarker;
};

} // namespace lullwatch
