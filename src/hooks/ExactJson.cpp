#include "ExactJson.h"

#include <random>

namespace lullwatch {

namespace {

using nlohmann::json;

// Builds the document like nlohmann's own DOM parser, with two differences:
// floating-point numbers arrive as their spelling behind a marker, and a
// container deeper than the limit ends the parse.
class ExactBuilder {
public:
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    ExactBuilder(json &result, std::string_view marker)
        : m_builder(result, false)
        , m_marker(marker)
    { }

    bool null() { return m_builder.null(); }
    bool boolean(bool value) { return m_builder.boolean(value); }
    bool number_integer(number_integer_t value) { return m_builder.number_integer(value); }
    bool number_unsigned(number_unsigned_t value) { return m_builder.number_unsigned(value); }
    bool number_float(number_float_t, const string_t &spelling)
    {
        string_t text = m_marker + spelling;
        return m_builder.string(text);
    }
    bool string(string_t &value) { return !containsMarker(value) && m_builder.string(value); }
    bool binary(binary_t &value) { return m_builder.binary(value); }
    bool start_object(std::size_t size) { return ++m_depth <= ExactJson::maxDepth && m_builder.start_object(size); }
    bool key(string_t &name) { return !containsMarker(name) && m_builder.key(name); }
    bool end_object()
    {
        --m_depth;
        return m_builder.end_object();
    }
    bool start_array(std::size_t size) { return ++m_depth <= ExactJson::maxDepth && m_builder.start_array(size); }
    bool end_array()
    {
        --m_depth;
        return m_builder.end_array();
    }
    template<class Exception> bool parse_error(std::size_t position, const std::string &token, const Exception &error)
    {
        return m_builder.parse_error(position, token, error);
    }

private:
    // A text holding the marker would be taken for a number when written.
    bool containsMarker(const string_t &text) const { return text.find(m_marker) != string_t::npos; }

    nlohmann::detail::json_sax_dom_parser<json> m_builder;
    std::string m_marker;
    int m_depth = 0;
};

std::string newMarker(std::string_view text)
{
    std::random_device device;
    for (;;) {
        const auto word = (std::uint64_t(device()) << 32) | device();
        std::string marker = "lullwatch-number-" + std::to_string(word) + ':';
        if (text.find(marker) == std::string_view::npos)
            return marker;
    }
}

} // namespace

std::optional<ExactJson> ExactJson::parse(std::string_view text)
{
    ExactJson document;
    document.m_numberMarker = newMarker(text);
    ExactBuilder builder(document.m_value, document.m_numberMarker);
    if (!json::sax_parse(text, &builder))
        return std::nullopt;
    return document;
}

std::string ExactJson::dump() const
{
    // Sorted keys (nlohmann's objects are ordered maps), "/" unescaped, UTF-8 as it is.
    const std::string text = m_value.dump(2) + '\n';
    // Every marked number is a string of the marker and digits, signs, dots
    // and exponents, none of which a dump escapes: put back the bare spelling.
    const std::string quotedMarker = '"' + m_numberMarker;
    std::string result;
    result.reserve(text.size());
    std::size_t position = 0;
    for (;;) {
        const auto found = text.find(quotedMarker, position);
        if (found == std::string::npos)
            break;
        const auto close = text.find('"', found + quotedMarker.size());
        result.append(text, position, found - position);
        result.append(text, found + quotedMarker.size(), close - found - quotedMarker.size());
        position = close + 1;
    }
    result.append(text, position);
    return result;
}

} // namespace lullwatch
