#pragma once

#include "TranscriptUsage.h"
#include "agents/Agents.h"

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lullwatch {

// A message whose usage a later copy in the transcript may still replace.
struct RecentMessage {
    std::string id;
    TokenCounts counts;
    std::optional<TimePoint> at; // when the message was made

    friend bool operator==(const RecentMessage &, const RecentMessage &) = default;
};

// One reading position per transcript, kept between scans.
struct TranscriptCursor {
    std::uint64_t offset = 0; // where the next read starts
    // The bytes before `offset` of a line whose line feed has not arrived yet,
    // when they are few; a longer such line is read again from its start.
    std::string remainder;
    TranscriptUsage usage; // totals of the lines consumed so far
    TranscriptActivity activity; // what those lines say about the session's activity
    std::optional<std::string> lastCountedMessageId;

    // Older agent versions write one message as several lines whose usage grows;
    // the latest copy replaces what the earlier ones contributed, so the totals
    // are kept as the settled messages plus the message that may still grow.
    TokenCounts settled;
    TokenCounts lastMessage; // contribution of lastCountedMessageId's message
    // Gemini CLI appends a message again whenever it changes, not always
    // right after the earlier copy: the latest messages stay replaceable,
    // older ones are settled.
    std::deque<RecentMessage> recentMessages;
    // The newest time of the settled messages: an older message that comes
    // again was counted when it was first seen.
    std::optional<TimePoint> settledThrough;
    bool discardingLine = false; // skipping an over-long line up to its line feed

    friend bool operator==(const TranscriptCursor &, const TranscriptCursor &) = default;
};

// How many of the latest messages a later copy may still replace.
inline constexpr std::size_t replaceableMessages = 256;

// The text that marks a user entry as an interrupt (no closing bracket).
inline constexpr std::string_view interruptMarker = "[Request interrupted by user";

struct ActivityChange;

// Reads transcripts from their cursors and interprets their entries. Holds
// only reusable buffers; all state that lasts between reads is in the cursor.
class TranscriptReader {
public:
    struct Limits {
        std::size_t chunkSize = 1 << 18; // bytes read per system call
        std::size_t maxLineLength = 64 << 20; // longer lines are skipped whole
        // Bytes read from one transcript by one read (never less than what
        // finding, then reading, one longest line takes): a huge file costs
        // each scan a bounded time, the rest waits for the next read.
        std::size_t maxBytesPerRead = 256 << 20;
        std::size_t maxKeptRemainder = 64 << 10; // longest unfinished line kept between reads
        // A read of at least this many bytes views the file's pages this many
        // at a time instead of copying them (0: never).
        std::size_t viewedWindow = 16 << 20;
    };

    TranscriptReader();
    explicit TranscriptReader(Limits limits);

    // Consumes what was appended to the file at `path`, a transcript in
    // `format`, since the cursor's offset, up to the read limit, and starts
    // over when the file has shrunk. A path that cannot be opened as a
    // regular file leaves the cursor as it is.
    void read(const std::string &path, TranscriptCursor &cursor,
              TranscriptFormat format = TranscriptFormat::ClaudeCode);

    // Interprets one complete line (without its line feed).
    void ingestEntry(std::string_view line, TranscriptCursor &cursor,
                     TranscriptFormat format = TranscriptFormat::ClaudeCode);

private:
    // False when a viewed page could not be read: the file shrank, or an
    // I/O error.
    bool readNewBytes(int fd, std::uint64_t size, TranscriptCursor &cursor);
    // Whether a read from the cursor to `size` views the file's pages.
    bool viewsPages(std::uint64_t size, const TranscriptCursor &cursor) const;
    bool readViewedLines(int fd, std::uint64_t size, std::uint64_t &budget, TranscriptCursor &cursor);
    bool followLongLine(int fd, std::uint64_t lineStart, std::uint64_t size, std::uint64_t &budget,
                        TranscriptCursor &cursor);
    void ensureBufferSize(std::size_t size);
    // `lines`, each ended by a line feed, must be followed by
    // simdjson::SIMDJSON_PADDING readable bytes, as must `line` below.
    void ingestLines(std::string_view lines, TranscriptCursor &cursor);
    void ingestWholly(std::string_view line, TranscriptCursor &cursor);
    // Counts the line's tokens into `counted` unless it is null, and notes
    // what it says of the activity in `change`.
    void ingestPaddedEntry(std::string_view line, TranscriptCursor *counted, ActivityChange &change);
    void releaseOversizedBuffers();

    Limits m_limits;
    TranscriptFormat m_format = TranscriptFormat::ClaudeCode; // of the read under way
    simdjson::ondemand::parser m_parser;
    simdjson::dom::parser m_validator; // for the rare lines that must be wholly valid
    std::string m_joinedText;
    std::vector<char> m_buffer;
    std::string m_paddedLine;
};

} // namespace lullwatch
