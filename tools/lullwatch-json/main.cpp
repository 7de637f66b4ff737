// lullwatch-json: the two JSON operations the hook scripts need, in a binary
// that starts about as fast as /bin/true.
//
//   lullwatch-json extract KEY FILE
//       Prints the top-level member KEY of the JSON object in FILE as plain
//       text and a line feed: a string without quotes, a number as spelled in
//       the file, true or false. Fails for null, objects, arrays, a missing
//       key, or a file that is not one JSON object.
//   lullwatch-json replace KEY -string VALUE FILE
//   lullwatch-json replace KEY -integer N FILE
//       Sets the top-level member KEY of the JSON object in FILE, keeping
//       every other member and its value. The file is replaced atomically.
//   lullwatch-json trim FILE
//       Drops the top-level members of the JSON object in FILE that take more
//       than 16 KiB once written, and those past 1 MiB in all, so that a
//       record keeps a payload's small members but not a long prompt.
//
// Input nested deeper than 512 levels is not JSON to this tool.
//
// Exit status 0 on success, 1 on failure, 2 on wrong usage; nothing else is
// printed, so the hooks stay silent.

#include "hooks/AtomicFile.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

constexpr int success = 0;
constexpr int failure = 1;
constexpr int wrongUsage = 2;
constexpr int maxDepth = 512;
constexpr std::size_t largeMember = 16 * 1024;
constexpr std::size_t largeRecord = 1024 * 1024;

// Fails the parse of input that nests deeper than maxDepth, so that neither
// a parse nor a dump recurses without bound.
class DepthCheck final : public nlohmann::json_sax<nlohmann::ordered_json> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return false; }
    bool start_object(std::size_t) override { return ++m_depth <= maxDepth; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return --m_depth >= 0; }
    bool start_array(std::size_t) override { return ++m_depth <= maxDepth; }
    bool end_array() override { return --m_depth >= 0; }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }

private:
    int m_depth = 0;
};

// The JSON object in a file, or none.
std::optional<nlohmann::ordered_json> readObject(const char *path)
{
    const auto bytes = lullwatch::readWholeFile(path);
    if (!bytes)
        return std::nullopt;
    DepthCheck check;
    if (!nlohmann::ordered_json::sax_parse(*bytes, &check))
        return std::nullopt;
    auto document = nlohmann::ordered_json::parse(*bytes, nullptr, false);
    if (!document.is_object())
        return std::nullopt;
    return document;
}

// Values arrived here as valid UTF-8; a replacement may not be, and a
// replacement character beats a file that no reader accepts.
std::string written(const nlohmann::ordered_json &value)
{
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Finds one top-level member while checking that the whole input is one
// JSON object; numbers keep their spelling.
class Extractor final : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit Extractor(std::string_view key)
        : m_key(key)
    { }

    bool isObject() const { return m_isObject; }
    const std::optional<std::string> &text() const { return m_text; }

    bool null() override { return scalar(std::nullopt); }
    bool boolean(bool value) override { return scalar(std::string(value ? "true" : "false")); }
    bool number_integer(number_integer_t value) override { return scalar(std::to_string(value)); }
    bool number_unsigned(number_unsigned_t value) override { return scalar(std::to_string(value)); }
    bool number_float(number_float_t, const string_t &spelling) override { return scalar(spelling); }
    bool string(string_t &value) override { return scalar(value); }
    bool binary(binary_t &) override { return false; }

    bool start_object(std::size_t) override
    {
        if (m_depth == 0)
            m_isObject = true;
        return container();
    }
    bool key(string_t &name) override
    {
        m_wanted = m_depth == 1 && name == m_key;
        return true;
    }
    bool end_object() override
    {
        --m_depth;
        return true;
    }
    bool start_array(std::size_t) override { return container(); }
    bool end_array() override
    {
        --m_depth;
        return true;
    }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }

private:
    bool scalar(std::optional<std::string> text)
    {
        if (m_depth == 1 && m_wanted) {
            m_text = std::move(text); // the last of duplicate keys wins, as in a parsed object
            m_wanted = false;
        }
        return true;
    }

    bool container()
    {
        if (m_depth == 1 && m_wanted) {
            m_text.reset(); // objects and arrays have no plain text
            m_wanted = false;
        }
        return ++m_depth <= maxDepth;
    }

    std::string m_key;
    std::optional<std::string> m_text;
    int m_depth = 0;
    bool m_wanted = false;
    bool m_isObject = false;
};

int extract(std::string_view key, const char *path)
{
    const auto bytes = lullwatch::readWholeFile(path);
    if (!bytes)
        return failure;
    Extractor extractor(key);
    if (!nlohmann::json::sax_parse(*bytes, &extractor) || !extractor.isObject() || !extractor.text())
        return failure;
    std::string line = *extractor.text();
    line += '\n';
    return lullwatch::writeAll(STDOUT_FILENO, line) ? success : failure;
}

std::optional<std::int64_t> parseInteger(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

int replace(std::string_view key, std::string_view type, std::string_view value, const char *path)
{
    nlohmann::ordered_json replacement;
    if (type == "-string") {
        replacement = std::string(value);
    } else if (type == "-integer") {
        const auto number = parseInteger(value);
        if (!number)
            return failure;
        replacement = *number;
    } else {
        return wrongUsage;
    }

    auto document = readObject(path);
    if (!document)
        return failure;
    (*document)[std::string(key)] = std::move(replacement);
    return lullwatch::writeFileAtomically(path, written(*document)) ? failure : success;
}

int trim(const char *path)
{
    const auto document = readObject(path);
    if (!document)
        return failure;
    nlohmann::ordered_json kept = nlohmann::ordered_json::object();
    std::size_t size = 0;
    bool dropped = false;
    for (const auto &[name, value] : document->items()) {
        const std::size_t memberSize = written(value).size() + written(name).size() + 2;
        if (memberSize > largeMember || size + memberSize > largeRecord) {
            dropped = true;
            continue;
        }
        size += memberSize;
        kept[name] = value;
    }
    if (!dropped)
        return success;
    return lullwatch::writeFileAtomically(path, written(kept)) ? failure : success;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "extract" && argc == 4)
        return extract(argv[2], argv[3]);
    if (command == "replace" && argc == 6)
        return replace(argv[2], argv[3], argv[4], argv[5]);
    if (command == "trim" && argc == 3)
        return trim(argv[2]);
    return wrongUsage;
}
