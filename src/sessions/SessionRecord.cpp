#include "SessionRecord.h"

#include "JsonValues.h"
#include "RecordKeys.h"

#include <simdjson.h>

namespace lullwatch {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

// A present, non-null value; absent and null are the same "none".
std::optional<element> member(const object &record, std::string_view key)
{
    element value;
    if (record.at_key(key).get(value) != simdjson::SUCCESS || value.is_null())
        return std::nullopt;
    return value;
}

std::optional<std::string> requiredString(const object &record, std::string_view key)
{
    auto value = member(record, key);
    if (!value || value->type() != element_type::STRING)
        return std::nullopt;
    return std::string(value->get_string().value_unsafe());
}

} // namespace

std::optional<SessionRecord> decodeSessionRecord(std::string_view bytes)
{
    simdjson::dom::parser parser;
    return decodeSessionRecord(bytes, parser);
}

std::optional<SessionRecord> decodeSessionRecord(std::string_view bytes, simdjson::dom::parser &parser)
{
    // The depth stays with the parser's later allocations. The parser counts
    // a value inside the deepest container as one more level.
    constexpr std::size_t parserDepth = maxRecordDepth + 1;
    if (parser.max_depth() != parserDepth && parser.allocate(bytes.size(), parserDepth) != simdjson::SUCCESS)
        return std::nullopt;
    object top;
    if (parser.parse(bytes.data(), bytes.size()).get(top) != simdjson::SUCCESS)
        return std::nullopt;

    SessionRecord record;

    auto sessionId = requiredString(top, recordKey::sessionId);
    auto state = requiredString(top, recordKey::state);
    auto event = requiredString(top, recordKey::event);
    auto cwd = requiredString(top, recordKey::cwd);
    auto transcriptPath = requiredString(top, recordKey::transcriptPath);
    if (!sessionId || !state || !event || !cwd || !transcriptPath)
        return std::nullopt;

    auto decodedState = sessionStateFromRaw(*state);
    if (!decodedState)
        return std::nullopt;

    auto updatedAt = member(top, recordKey::updatedAt);
    if (!updatedAt || !updatedAt->is_number())
        return std::nullopt;

    record.sessionId = std::move(*sessionId);
    record.state = *decodedState;
    record.event = std::move(*event);
    record.cwd = std::move(*cwd);
    record.transcriptPath = std::move(*transcriptPath);
    record.updatedAt = updatedAt->get_double().value_unsafe();

    if (auto source = member(top, recordKey::source)) {
        std::string_view raw;
        if (source->get(raw) != simdjson::SUCCESS)
            return std::nullopt;
        record.source = sessionSourceFromRaw(raw);
        if (!record.source)
            return std::nullopt;
    }

    // A kind of any other type is no kind: the session is still shown.
    if (auto notificationType = member(top, recordKey::notificationType)) {
        std::string_view text;
        if (notificationType->get(text) == simdjson::SUCCESS)
            record.notificationType = std::string(text);
    }

    if (auto pid = member(top, recordKey::pid)) {
        // Whole numbers spelled with a fraction (42.0) still name a process.
        record.pid = exactInteger(*pid);
        if (!record.pid)
            return std::nullopt;
    }

    return record;
}

namespace {

bool isJsonWhitespace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Longer values cannot be a pid or a time the decoder would take.
constexpr std::size_t maxScalarLength = 64;
// Longer keys are none of the wanted ones.
constexpr std::size_t maxKeyLength = 16;
// Stands for a value of a type no wanted key accepts.
constexpr std::string_view otherType = R"("")";

} // namespace

bool RecordLifetimeReader::feed(std::string_view piece)
{
    for (const char c : piece) {
        handle(c);
        if (m_step == Step::Done || m_step == Step::Failed)
            return false;
    }
    // Later occurrences of a key do not count: both read whole is the answer.
    return !(m_updatedAt && m_pid && (m_step == Step::AfterValue || m_step == Step::Key));
}

void RecordLifetimeReader::handle(char c)
{
    switch (m_step) {
    case Step::Start:
        if (c == '{')
            m_step = Step::Key;
        else if (!isJsonWhitespace(c))
            fail();
        return;
    case Step::Key:
        if (m_inString) {
            if (m_escaped) {
                m_escaped = false;
            } else if (c == '\\') {
                m_escaped = m_keyEscaped = true;
            } else if (c == '"') {
                m_inString = false;
                m_step = Step::AfterKey;
            } else if (m_key.size() <= maxKeyLength) {
                m_key += c;
            }
        } else if (c == '"') {
            m_inString = true;
            m_key.clear();
            m_keyEscaped = false;
        } else if (c == '}') {
            m_step = Step::Done;
        } else if (!isJsonWhitespace(c)) {
            fail();
        }
        return;
    case Step::AfterKey:
        if (c == ':') {
            m_target = nullptr;
            // Escaped spellings of the keys are not recognised here.
            if (!m_keyEscaped && m_key == recordKey::updatedAt && !m_updatedAt)
                m_target = &m_updatedAt.emplace();
            else if (!m_keyEscaped && m_key == recordKey::pid && !m_pid)
                m_target = &m_pid.emplace();
            m_step = Step::Value;
        } else if (!isJsonWhitespace(c)) {
            fail();
        }
        return;
    case Step::Value:
        if (m_depth == 0 && !m_inString) {
            if (isJsonWhitespace(c))
                return;
            if (c == '"' || c == '{' || c == '[') {
                if (m_target)
                    *m_target = otherType;
                if (c == '"')
                    m_inString = true;
                else
                    m_depth = 1;
                return;
            }
            if (c == ',' || c == '}' || c == ']' || c == ':') {
                fail();
                return;
            }
            m_step = Step::Scalar;
            handle(c);
            return;
        }
        if (m_inString) {
            if (m_escaped)
                m_escaped = false;
            else if (c == '\\')
                m_escaped = true;
            else if (c == '"')
                m_inString = false;
        } else if (c == '"') {
            m_inString = true;
        } else if (c == '{' || c == '[') {
            // The top-level object is the first level.
            if (++m_depth + 1 > maxRecordDepth)
                fail();
            return;
        } else if (c == '}' || c == ']') {
            --m_depth;
        }
        if (m_depth == 0 && !m_inString)
            m_step = Step::AfterValue;
        return;
    case Step::Scalar:
        if (isJsonWhitespace(c) || c == ',' || c == '}') {
            m_step = Step::AfterValue;
            handle(c);
        } else if (m_target) {
            if (m_target->size() < maxScalarLength)
                *m_target += c;
            else
                *m_target = otherType;
        }
        return;
    case Step::AfterValue:
        if (c == ',') {
            m_step = Step::Key;
        } else if (c == '}') {
            m_step = Step::Done;
        } else if (!isJsonWhitespace(c)) {
            fail();
        }
        return;
    case Step::Done:
    case Step::Failed:
        return;
    }
}

std::optional<RecordLifetime> RecordLifetimeReader::finish() const
{
    // A value cut short by the end of the file is no value.
    if (m_step == Step::Failed || m_step == Step::Scalar || m_step == Step::Value || !m_updatedAt)
        return std::nullopt;

    // The values go through the decoder's own reading of numbers.
    std::string json = R"({"updatedAt":)" + *m_updatedAt;
    if (m_pid)
        json += R"(,"pid":)" + *m_pid;
    json += '}';
    simdjson::dom::parser parser;
    object top;
    if (parser.parse(json).get(top) != simdjson::SUCCESS)
        return std::nullopt;

    RecordLifetime lifetime;
    auto updatedAt = member(top, recordKey::updatedAt);
    if (!updatedAt || !updatedAt->is_number())
        return std::nullopt;
    lifetime.updatedAt = updatedAt->get_double().value_unsafe();
    if (auto pid = member(top, recordKey::pid)) {
        lifetime.pid = exactInteger(*pid);
        if (!lifetime.pid)
            return std::nullopt;
    }
    return lifetime;
}

} // namespace lullwatch
