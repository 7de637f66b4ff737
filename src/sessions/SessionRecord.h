#pragma once

#include "SessionState.h"

#include <cstddef>
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

// Records nest no deeper than this; deeper files are not records.
inline constexpr std::size_t maxRecordDepth = 512;

// Decodes the bytes of one record file. Unknown keys are ignored; a missing or
// mistyped required field, or an unknown state or source, fails the whole
// record (no partial result).
std::optional<SessionRecord> decodeSessionRecord(std::string_view bytes);
// The same with a parser whose buffers are reused; it keeps nothing of the record.
std::optional<SessionRecord> decodeSessionRecord(std::string_view bytes, simdjson::dom::parser &parser);

// What decides whether a record may be deleted: its age and its owner.
struct RecordLifetime {
    double updatedAt = 0;
    std::optional<std::int64_t> pid;

    friend bool operator==(const RecordLifetime &, const RecordLifetime &) = default;
};

// Finds the top-level "updatedAt" and "pid" of a record too large to decode
// whole, from pieces fed in file order, holding only a few bytes between
// them. The two values follow the decoder's rules; finish() gives nothing
// when they do not, or when the bytes are not one JSON object nested at most
// maxRecordDepth deep (the rest of the object is not checked).
class RecordLifetimeReader {
public:
    // False once the answer can no longer change (further pieces are not needed).
    bool feed(std::string_view piece);
    std::optional<RecordLifetime> finish() const;

private:
    enum class Step { Start, Key, AfterKey, Value, Scalar, AfterValue, Done, Failed };

    void fail() { m_step = Step::Failed; }
    void handle(char c);

    Step m_step = Step::Start;
    std::size_t m_depth = 0; // of the value being skipped, below the top-level object
    bool m_inString = false;
    bool m_escaped = false;
    std::string m_key; // the top-level key being read, cut short past the longest wanted one
    bool m_keyEscaped = false;
    std::string *m_target = nullptr; // where the wanted value's text goes
    std::optional<std::string> m_updatedAt; // raw text of the first occurrence
    std::optional<std::string> m_pid;
};

} // namespace lullwatch
