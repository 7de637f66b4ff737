#pragma once

#include <simdjson.h>

#include <cmath>
#include <cstdint>
#include <optional>

namespace lullwatch {

// A JSON number with an exact integer value within the signed 64-bit range
// (12 and 12.0 qualify; 12.5, "12" and 2^63 do not).
inline std::optional<std::int64_t> exactInteger(simdjson::dom::element element)
{
    switch (element.type()) {
    case simdjson::dom::element_type::INT64:
        return element.get_int64().value_unsafe();
    case simdjson::dom::element_type::UINT64:
        return std::nullopt; // only unsigned values beyond INT64_MAX get this type
    case simdjson::dom::element_type::DOUBLE: {
        const double value = element.get_double().value_unsafe();
        constexpr double twoToThe63 = 9223372036854775808.0;
        if (!std::isfinite(value) || std::trunc(value) != value || value < -twoToThe63 || value >= twoToThe63)
            return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
    default:
        return std::nullopt;
    }
}

} // namespace lullwatch
