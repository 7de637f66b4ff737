// Feeds arbitrary bytes to the hook recorder's payload reader, whole and in
// pieces. Besides not crashing, the reader must give the same parts however
// the bytes are split, make a record that the application decodes with the
// same texts, take exactly the JSON objects nlohmann's parser takes (nested
// at most 512 deep) and keep each member's last value as that parser reads it.

#include "PayloadRecord.h"
#include "agents/Agents.h"
#include "sessions/SessionRecord.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

using nlohmann::json;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_payload_record: check failed: %s\n", what);
        std::abort();
    }
}

// Fails the parse of input that nests deeper than the reader accepts.
class DepthCheck final : public nlohmann::json_sax<json> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return false; }
    bool start_object(std::size_t) override { return ++m_depth <= lullwatch::maxPayloadDepth; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return --m_depth, true; }
    bool start_array(std::size_t) override { return ++m_depth <= lullwatch::maxPayloadDepth; }
    bool end_array() override { return --m_depth, true; }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &error) override
    {
        m_numberOverflow = error.id == 406;
        return false;
    }

    // nlohmann's parser refuses numbers beyond a double, which RFC 8259 allows.
    bool numberOverflow() const { return m_numberOverflow; }

private:
    std::size_t m_depth = 0;
    bool m_numberOverflow = false;
};

bool sameParts(const std::optional<lullwatch::PayloadParts> &a, const std::optional<lullwatch::PayloadParts> &b)
{
    if (!a || !b)
        return !a && !b;
    if (a->members.size() != b->members.size())
        return false;
    for (std::size_t i = 0; i < a->members.size(); ++i) {
        if (a->members[i].name != b->members[i].name || a->members[i].value != b->members[i].value)
            return false;
    }
    return a->sessionId == b->sessionId && a->event == b->event && a->cwd == b->cwd
        && a->transcriptPath == b->transcriptPath;
}

// The text nlohmann's reading gives a member: what the reader must give.
std::string textOf(const json &object, std::string_view key)
{
    const auto found = object.find(key);
    if (found == object.end() || found->is_null() || found->is_structured())
        return {};
    if (found->is_string())
        return found->get<std::string>();
    return found->dump();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace lullwatch;
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const Agent &agent = agents()[size % agents().size()];

    PayloadReader whole(agent.payload);
    whole.feed(bytes);
    const auto parts = whole.finish();

    // Pieces of sizes taken from the input itself, down to single bytes.
    PayloadReader pieces(agent.payload);
    for (std::size_t position = 0, step = 1; position < size; position += step)
        pieces.feed(bytes.substr(position, step = 1 + data[position] % 7));
    check(sameParts(parts, pieces.finish()), "pieces read as the whole");

    // The record carries the texts through the application's decoder, with a
    // state made of the input's first bytes, valid UTF-8 or not.
    if (parts) {
        const std::string state(bytes.substr(0, 8));
        const std::string text = recordText(*parts, {state, agent.raw, 1'700'000'000, 4242});
        check(json::accept(text), "the record is JSON");
        const auto record = decodeSessionRecord(text);
        check(record.has_value() == sessionStateFromRaw(state).has_value(), "the record decodes when its state is one");
        if (record) {
            check(record->sessionId == parts->sessionId && record->event == parts->event && record->cwd == parts->cwd
                      && record->transcriptPath == parts->transcriptPath,
                  "the record's texts decode as written");
            check(record->pid == 4242 && record->updatedAt == 1'700'000'000, "the record's own members win");
        }
    }

    DepthCheck depth;
    // Both skip one leading byte order mark.
    const auto body = bytes.starts_with("\xef\xbb\xbf") ? bytes.substr(3) : bytes;
    const auto start = body.find_first_not_of(" \t\n\r");
    const bool accepted = json::sax_parse(bytes, &depth) && start != body.npos && body[start] == '{';
    // nlohmann's parser ends the input at a NUL byte; RFC 8259 does not.
    if (depth.numberOverflow() || bytes.find('\0') != bytes.npos)
        return 0;
    check(parts.has_value() == accepted, "valid exactly when nlohmann's parser accepts an object");
    if (!parts)
        return 0;

    const json payload = json::parse(bytes);
    for (const auto &[name, value] : parts->members) {
        check(payload.contains(name), "kept members are the payload's");
        check(json::parse(value) == payload[name], "a kept member has its last value");
        check(name.size() + value.size() + 4 <= memberLimit, "a kept member is small");
    }
    const bool small = size <= memberLimit; // no text can be too long
    const auto &keys = agent.payload;
    const auto id = payload.find(keys.sessionId);
    if (small && id != payload.end() && !id->is_number())
        check(parts->sessionId == sanitisedSessionId(textOf(payload, keys.sessionId)), "the id is the payload's");
    for (const auto &[key, text] :
         {std::pair {keys.event, parts->event}, {keys.cwd, parts->cwd}, {keys.transcriptPath, parts->transcriptPath}}) {
        const auto value = payload.find(key);
        if (key.empty() || !small)
            continue;
        if (value != payload.end() && value->is_number())
            check(json::parse(text) == *value, "a number's text is its spelling");
        else
            check(text == textOf(payload, key), "a member's text is the payload's");
    }
    return 0;
}
