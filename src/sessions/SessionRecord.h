#pragma once

#include "SessionState.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace simdjson::dom {
class parser;
}

namespace lullwatch {

// The decoded content of one record file that a hook script wrote.
struct SessionRecord {
    std::string sessionId;
    SessionState state = SessionState::Idle;
    std::string event;
    std::string cwd;
    std::string transcriptPath;
    double updatedAt = 0; // seconds since the Unix epoch
    std::optional<SessionSource> source;
    std::optional<std::string> notificationType; // key "notification_type"
    std::optional<std::int64_t> pid;

    friend bool operator==(const SessionRecord &, const SessionRecord &) = default;
};

// Decodes the bytes of one record file. Unknown keys are ignored; a missing or
// mistyped required field, or an unknown state or source, fails the whole
// record (no partial result).
std::optional<SessionRecord> decodeSessionRecord(std::string_view bytes);
// The same with a parser whose buffers are reused; it keeps nothing of the record.
std::optional<SessionRecord> decodeSessionRecord(std::string_view bytes, simdjson::dom::parser &parser);

} // namespace lullwatch
