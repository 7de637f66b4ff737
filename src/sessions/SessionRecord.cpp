#include "SessionRecord.h"

#include "JsonValues.h"

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
    object top;
    if (parser.parse(bytes.data(), bytes.size()).get(top) != simdjson::SUCCESS)
        return std::nullopt;

    SessionRecord record;

    auto sessionId = requiredString(top, "sessionId");
    auto state = requiredString(top, "state");
    auto event = requiredString(top, "event");
    auto cwd = requiredString(top, "cwd");
    auto transcriptPath = requiredString(top, "transcriptPath");
    if (!sessionId || !state || !event || !cwd || !transcriptPath)
        return std::nullopt;

    auto decodedState = sessionStateFromRaw(*state);
    if (!decodedState)
        return std::nullopt;

    auto updatedAt = member(top, "updatedAt");
    if (!updatedAt || !updatedAt->is_number())
        return std::nullopt;

    record.sessionId = std::move(*sessionId);
    record.state = *decodedState;
    record.event = std::move(*event);
    record.cwd = std::move(*cwd);
    record.transcriptPath = std::move(*transcriptPath);
    record.updatedAt = updatedAt->get_double().value_unsafe();

    if (auto source = member(top, "source")) {
        std::string_view raw;
        if (source->get(raw) != simdjson::SUCCESS)
            return std::nullopt;
        record.source = sessionSourceFromRaw(raw);
        if (!record.source)
            return std::nullopt;
    }

    if (auto notificationType = member(top, "notification_type")) {
        std::string_view text;
        if (notificationType->get(text) != simdjson::SUCCESS)
            return std::nullopt;
        record.notificationType = std::string(text);
    }

    if (auto pid = member(top, "pid")) {
        // Whole numbers spelled with a fraction (42.0) still name a process.
        record.pid = exactInteger(*pid);
        if (!record.pid)
            return std::nullopt;
    }

    return record;
}

} // namespace lullwatch
