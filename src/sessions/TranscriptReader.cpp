#include "TranscriptReader.h"

#include "JsonValues.h"
#include "Timestamp.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace lullwatch {

namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

// Counters stop at the ends of the signed 64-bit range instead of wrapping.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b)
{
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return sum;
}

TokenCounts operator+(const TokenCounts &a, const TokenCounts &b)
{
    return {saturatingAdd(a.input, b.input), saturatingAdd(a.output, b.output),
            saturatingAdd(a.cacheCreation, b.cacheCreation), saturatingAdd(a.cacheRead, b.cacheRead)};
}

std::int64_t countAt(const object &usage, std::string_view key)
{
    element value;
    if (usage.at_key(key).get(value) != simdjson::SUCCESS)
        return 0;
    return exactInteger(value).value_or(0);
}

void countUsage(const object &entry, TranscriptCursor &cursor)
{
    object message;
    if (entry.at_key("message").get(message) != simdjson::SUCCESS || message.begin() == message.end())
        return;
    object usage;
    if (message.at_key("usage").get(usage) != simdjson::SUCCESS)
        return;

    const TokenCounts counts {countAt(usage, "input_tokens"), countAt(usage, "output_tokens"),
                              countAt(usage, "cache_creation_input_tokens"), countAt(usage, "cache_read_input_tokens")};

    std::string_view id;
    const bool hasId = message.at_key("id").get(id) == simdjson::SUCCESS;
    if (hasId && cursor.lastCountedMessageId == id) {
        // A later copy of the message just counted: its usage replaces the earlier one.
        cursor.lastMessage = counts;
    } else if (hasId) {
        cursor.settled = cursor.settled + cursor.lastMessage;
        cursor.lastMessage = counts;
        cursor.lastCountedMessageId = std::string(id);
        cursor.usage.turns = saturatingAdd(cursor.usage.turns, 1);
    } else {
        cursor.settled = cursor.settled + counts;
        cursor.usage.turns = saturatingAdd(cursor.usage.turns, 1);
    }

    const TokenCounts totals = cursor.settled + cursor.lastMessage;
    cursor.usage.inputTokens = totals.input;
    cursor.usage.outputTokens = totals.output;
    cursor.usage.cacheCreationTokens = totals.cacheCreation;
    cursor.usage.cacheReadTokens = totals.cacheRead;
    cursor.usage.contextTokens = saturatingAdd(
        saturatingAdd(saturatingAdd(counts.input, counts.cacheCreation), counts.cacheRead), counts.output);

    std::string_view model;
    if (message.at_key("model").get(model) == simdjson::SUCCESS)
        cursor.usage.model = std::string(model);
}

void updateActivity(const object &entry, bool isUser, TranscriptActivity &activity)
{
    std::string_view stamp;
    if (entry.at_key("timestamp").get(stamp) == simdjson::SUCCESS) {
        if (auto parsed = parseTimestamp(stamp))
            activity.lastEntryAt = parsed;
    }
    activity.endedInInterrupt = isUser && isInterruptEntry(entry);
}

} // namespace

bool isInterruptEntry(const object &entry)
{
    element ignored;
    if (entry.at_key("interruptedMessageId").get(ignored) == simdjson::SUCCESS)
        return true;

    object message;
    if (entry.at_key("message").get(message) != simdjson::SUCCESS)
        return false;
    element content;
    if (message.at_key("content").get(content) != simdjson::SUCCESS)
        return false;

    std::string_view text;
    if (content.get(text) == simdjson::SUCCESS)
        return text.find(interruptMarker) != std::string_view::npos;

    array parts;
    if (content.get(parts) != simdjson::SUCCESS)
        return false;
    std::string joined;
    bool first = true;
    for (element part : parts) {
        object partObject;
        if (part.get(partObject) != simdjson::SUCCESS)
            return false;
        std::string_view partText;
        if (partObject.at_key("text").get(partText) != simdjson::SUCCESS)
            continue;
        if (!first)
            joined += ' ';
        joined += partText;
        first = false;
    }
    return joined.find(interruptMarker) != std::string::npos;
}

TranscriptReader::TranscriptReader()
    : TranscriptReader(Limits {})
{ }

TranscriptReader::TranscriptReader(Limits limits)
    : m_limits(limits)
{ }

void TranscriptReader::read(const std::string &path, TranscriptCursor &cursor)
{
    // Non-blocking open: a FIFO or device named as a transcript must not stall the scan.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;

    struct stat status { };
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const auto size = static_cast<std::uint64_t>(status.st_size);
        if (size < cursor.offset)
            cursor = TranscriptCursor {}; // truncated or replaced: read it again from the start
        if (cursor.offset < size)
            readNewBytes(fd, size, cursor);
    }
    ::close(fd);
    releaseOversizedBuffers();
}

void TranscriptReader::readNewBytes(int fd, std::uint64_t size, TranscriptCursor &cursor)
{
    // Only the bytes that existed when the size was taken: what the agent
    // appends meanwhile is read on the next scan, not twice.
    std::uint64_t remaining = size - cursor.offset;
    std::size_t carried = cursor.remainder.size();
    if (m_buffer.size() < carried + simdjson::SIMDJSON_PADDING)
        m_buffer.resize(carried + simdjson::SIMDJSON_PADDING);
    std::memcpy(m_buffer.data(), cursor.remainder.data(), carried);

    while (remaining > 0) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, m_limits.chunkSize));
        const std::size_t needed = carried + wanted + simdjson::SIMDJSON_PADDING;
        if (m_buffer.size() < needed)
            m_buffer.resize(needed);

        ssize_t got;
        do {
            got = ::pread(fd, m_buffer.data() + carried, wanted, static_cast<off_t>(cursor.offset));
        } while (got < 0 && errno == EINTR);
        if (got <= 0)
            break;

        cursor.offset += static_cast<std::uint64_t>(got);
        remaining -= static_cast<std::uint64_t>(got);

        char *const data = m_buffer.data();
        const std::size_t end = carried + static_cast<std::size_t>(got);
        std::size_t start = 0;

        if (cursor.discardingLine) {
            auto *lineFeed = static_cast<char *>(std::memchr(data, '\n', end));
            if (!lineFeed) {
                carried = 0;
                continue;
            }
            start = static_cast<std::size_t>(lineFeed - data) + 1;
            cursor.discardingLine = false;
        }

        while (start < end) {
            auto *lineFeed = static_cast<char *>(std::memchr(data + start, '\n', end - start));
            if (!lineFeed)
                break;
            const auto lineEnd = static_cast<std::size_t>(lineFeed - data);
            if (lineEnd > start)
                ingestPaddedEntry(std::string_view(data + start, lineEnd - start), cursor);
            start = lineEnd + 1;
        }

        carried = end - start;
        if (carried > m_limits.maxLineLength) {
            cursor.discardingLine = true;
            carried = 0;
        } else if (start > 0) {
            std::memmove(data, data + start, carried);
        }
    }

    cursor.remainder.assign(m_buffer.data(), carried);
}

void TranscriptReader::ingestEntry(std::string_view line, TranscriptCursor &cursor)
{
    m_paddedLine.assign(line);
    m_paddedLine.append(simdjson::SIMDJSON_PADDING, '\0');
    ingestPaddedEntry(std::string_view(m_paddedLine.data(), line.size()), cursor);
}

void TranscriptReader::ingestPaddedEntry(std::string_view line, TranscriptCursor &cursor)
{
    object entry;
    if (m_parser.parse(line.data(), line.size(), false).get(entry) != simdjson::SUCCESS)
        return;
    std::string_view type;
    if (entry.at_key("type").get(type) != simdjson::SUCCESS)
        return;

    // Only the conversation itself tells whether the session moved on or was
    // interrupted; bookkeeping lines of other types (snapshots, progress,
    // summaries) and side conversations leave the activity alone.
    const bool isUser = type == "user";
    const bool isAssistant = type == "assistant";
    bool isSidechain = false;
    if (entry.at_key("isSidechain").get(isSidechain) != simdjson::SUCCESS)
        isSidechain = false;
    if ((isUser || isAssistant) && !isSidechain)
        updateActivity(entry, isUser, cursor.activity);

    if (isAssistant)
        countUsage(entry, cursor);
}

void TranscriptReader::releaseOversizedBuffers()
{
    // A rare huge line must not pin its memory for the life of the process.
    const std::size_t keep = m_limits.chunkSize * 2 + simdjson::SIMDJSON_PADDING;
    if (m_buffer.capacity() > keep)
        std::vector<char>().swap(m_buffer);
    if (m_parser.capacity() > (16u << 20))
        m_parser = simdjson::dom::parser {};
    if (m_paddedLine.capacity() > (1u << 20))
        std::string().swap(m_paddedLine);
}

} // namespace lullwatch
