#include "TranscriptReader.h"

#include "LineSearch.h"
#include "Timestamp.h"
#include "files/FileWindow.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lullwatch {

// What one line says of the session's activity: the time of its latest
// conversation entry that has a valid one, and whether its last conversation
// entry ended the turn; neither when it holds no conversation entry.
struct ActivityChange {
    std::optional<TimePoint> at;
    std::optional<bool> turnEnded;
};

namespace {

namespace ondemand = simdjson::ondemand;

// What one entry's "message" holds, as far as counting and interrupts need it.
struct MessageFacts {
    bool isObject = false;
    bool isEmpty = true;
    std::optional<std::string_view> id;
    std::optional<std::string_view> model;
    bool hasUsage = false;
    TokenCounts counts;
    bool hasContent = false;
    bool contentHasMarker = false;
};

// Everything the reader takes from one line. The entry is read in one pass
// (keys come in any order); the views point into the parser's buffers.
struct EntryFacts {
    std::optional<std::string_view> type;
    bool isSidechain = false;
    bool isMeta = false;
    std::optional<std::string_view> timestamp;
    bool hasInterruptedMessageId = false;
    MessageFacts message;
};

// A conversation entry: the session moved on, or its turn ended, at `at`
// when the entry tells.
void noteActivity(std::optional<TimePoint> at, bool turnEnded, ActivityChange &change)
{
    if (at)
        change.at = at;
    change.turnEnded = turnEnded;
}

// Starts reading `line`, followed by simdjson's padding, as one JSON object.
bool startObject(ondemand::parser &parser, std::string_view line, ondemand::document &document, ondemand::object &top)
{
    return !parser.iterate(line.data(), line.size(), line.size() + simdjson::SIMDJSON_PADDING).get(document)
        && !document.get_object().get(top);
}

bool isDocumentEnd(ondemand::document &document)
{
    // Nothing may follow the object: past its end there is no location left.
    const char *trailing = nullptr;
    return document.current_location().get(trailing) != simdjson::SUCCESS;
}

enum class Wanted { Everything, Usage, Content, Nothing };

// Errors that mean "not this type" rather than "not JSON".
bool isMalformed(simdjson::error_code error)
{
    return error != simdjson::SUCCESS && error != simdjson::INCORRECT_TYPE;
}

// A real number counts when its value is an exact integer in the signed
// 64-bit range.
std::int64_t countOfReal(double real)
{
    constexpr double twoToThe63 = 9223372036854775808.0;
    if (std::isfinite(real) && std::trunc(real) == real && real >= -twoToThe63 && real < twoToThe63)
        return static_cast<std::int64_t>(real);
    return 0;
}

// A count is taken when it is a number with an exact integer value in the
// signed 64-bit range. Returns false when the number itself is malformed.
bool readCount(ondemand::value value, std::int64_t &count)
{
    count = 0;
    ondemand::json_type type;
    if (value.type().get(type))
        return false;
    if (type != ondemand::json_type::number)
        return true;
    ondemand::number number;
    if (value.get_number().get(number))
        return false; // out of range for any reader, like 1e999
    switch (number.get_number_type()) {
    case ondemand::number_type::signed_integer:
        count = number.get_int64();
        break;
    case ondemand::number_type::unsigned_integer:
        break; // beyond INT64_MAX
    case ondemand::number_type::floating_point_number:
        count = countOfReal(number.get_double());
        break;
    }
    return true;
}

// The same of a value that simdjson's DOM has checked already.
bool readCount(simdjson::dom::element value, std::int64_t &count)
{
    count = 0;
    if (value.is_int64())
        count = value.get_int64().value_unsafe();
    else if (value.is_double())
        count = countOfReal(value.get_double().value_unsafe());
    return true;
}

// The first quote or backslash from `name` on, in a name that simdjson has
// found closed; the line's padding makes reading past it safe.
const char *nameEnd(const char *name)
{
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (;; name += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(name));
        const int found
            = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
        if (found != 0)
            return name + __builtin_ctz(static_cast<unsigned>(found));
    }
#else
    while (*name != '"' && *name != '\\')
        ++name;
    return name;
#endif
}

// The member an object's iteration stands on, and its name: read where they
// stand, the name without copying when it holds no escape (the usual case).
// Null for malformed JSON. Copying the member out of the iteration's result
// stalled the loads that follow it, and a call for each member cost 7 %
// of a Claude Code read: this is the reader's hottest loop.
[[gnu::always_inline]] inline ondemand::field *namedMember(simdjson::simdjson_result<ondemand::field> &member,
                                                           std::string_view &name)
{
    if (member.error())
        return nullptr;
    ondemand::field &field = member.value_unsafe();
    const char *const raw = field.key().raw();
    const char *const end = nameEnd(raw);
    if (*end == '"') {
        name = std::string_view(raw, static_cast<std::size_t>(end - raw));
        return &field;
    }
    return field.unescaped_key().get(name) ? nullptr : &field;
}

// Iterates the members of `object`, handing each key and value to `visit`,
// which returns false for malformed JSON. Only the first of repeated keys
// reaches `visit`, among those named in `keys`.
template<std::size_t N, typename Visit>
bool forEachMember(ondemand::object object, const std::array<std::string_view, N> &keys, Visit &&visit)
{
    std::array<bool, N> seen {};
    for (auto member : object) {
        std::string_view key;
        ondemand::field *const field = namedMember(member, key);
        if (!field)
            return false;
        for (std::size_t index = 0; index < N; ++index) {
            if (key != keys[index] || seen[index])
                continue;
            seen[index] = true;
            if (!visit(index, field->value()))
                return false;
            break;
        }
    }
    return true;
}

// The same over an object of simdjson's DOM.
template<std::size_t N, typename Visit>
bool forEachMember(simdjson::dom::object object, const std::array<std::string_view, N> &keys, Visit &&visit)
{
    std::array<bool, N> seen {};
    for (const auto member : object) {
        const auto index = static_cast<std::size_t>(std::find(keys.begin(), keys.end(), member.key) - keys.begin());
        if (index == N || std::exchange(seen[index], true))
            continue;
        if (!visit(index, member.value))
            return false;
    }
    return true;
}

// Counts named in `keys`, each clamped at zero; absent ones are zero.
template<typename Object, std::size_t N>
bool readCounts(Object object, const std::array<std::string_view, N> &keys, std::array<std::int64_t, N> &values)
{
    values = {};
    const bool ok
        = forEachMember(object, keys, [&](std::size_t index, auto value) { return readCount(value, values[index]); });
    for (auto &value : values)
        value = std::max<std::int64_t>(value, 0);
    return ok;
}

bool readUsage(ondemand::object usage, TokenCounts &counts)
{
    constexpr std::string_view keys[]
        = {"input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens"};
    std::int64_t *const targets[] = {&counts.input, &counts.output, &counts.cacheCreation, &counts.cacheRead};
    bool seen[4] = {};
    for (auto member : usage) {
        std::string_view key;
        ondemand::field *const field = namedMember(member, key);
        if (!field)
            return false;
        for (std::size_t index = 0; index < 4; ++index) {
            if (key != keys[index] || seen[index])
                continue;
            seen[index] = true;
            if (!readCount(field->value(), *targets[index]))
                return false;
        }
    }
    return true;
}

// Whether a message's content holds the interrupt marker: a string, or an
// array of objects whose "text" strings are joined with spaces. Any other
// shape holds no marker. Returns false when the JSON is malformed.
bool readContent(ondemand::value content, bool &hasMarker, std::string &joined)
{
    hasMarker = false;
    ondemand::json_type type;
    if (content.type().get(type))
        return false;
    if (type == ondemand::json_type::string) {
        std::string_view text;
        if (content.get_string().get(text))
            return false;
        hasMarker = text.find(interruptMarker) != std::string_view::npos;
        return true;
    }
    if (type != ondemand::json_type::array)
        return true;

    ondemand::array parts;
    if (content.get_array().get(parts))
        return false;
    joined.clear();
    bool first = true;
    for (auto element : parts) {
        ondemand::value part;
        ondemand::object partObject;
        if (std::move(element).get(part))
            return false;
        const auto error = part.get_object().get(partObject);
        if (error)
            return !isMalformed(error); // a non-object element: no marker at all
        bool seenText = false;
        for (auto member : partObject) {
            std::string_view key;
            ondemand::field *const field = namedMember(member, key);
            if (!field)
                return false;
            if (key != "text" || seenText)
                continue;
            seenText = true;
            std::string_view text;
            const auto textError = field->value().get_string().get(text);
            if (isMalformed(textError))
                return false;
            if (textError)
                continue;
            if (!first)
                joined += ' ';
            joined += text;
            first = false;
        }
    }
    hasMarker = joined.find(interruptMarker) != std::string::npos;
    return true;
}

template<typename Value> bool readOptionalString(Value value, std::optional<std::string_view> &target)
{
    std::string_view text;
    const auto error = value.get_string().get(text);
    if (!error)
        target = text;
    return !isMalformed(error);
}

bool readMessage(ondemand::value value, Wanted wanted, MessageFacts &message, std::string &joined)
{
    ondemand::object object;
    const auto error = value.get_object().get(object);
    if (error)
        return !isMalformed(error);
    message.isObject = true;
    const bool wantUsage = wanted == Wanted::Everything || wanted == Wanted::Usage;
    const bool wantContent = wanted == Wanted::Everything || wanted == Wanted::Content;
    bool seenId = false;
    bool seenModel = false;
    bool seenUsage = false;
    for (auto member : object) {
        std::string_view key;
        ondemand::field *const field = namedMember(member, key);
        if (!field)
            return false;
        message.isEmpty = false;
        bool ok = true;
        if (wantUsage && key == "id" && !seenId) {
            seenId = true;
            ok = readOptionalString(field->value(), message.id);
        } else if (wantUsage && key == "model" && !seenModel) {
            seenModel = true;
            ok = readOptionalString(field->value(), message.model);
        } else if (wantUsage && key == "usage" && !seenUsage) {
            seenUsage = true;
            ondemand::object usage;
            const auto usageError = field->value().get_object().get(usage);
            message.hasUsage = !usageError;
            ok = usageError ? !isMalformed(usageError) : readUsage(usage, message.counts);
        } else if (wantContent && key == "content" && !message.hasContent) {
            message.hasContent = true;
            ok = readContent(field->value(), message.contentHasMarker, joined);
        }
        if (!ok)
            return false;
    }
    return true;
}

Wanted wantedFor(const std::optional<std::string_view> &type)
{
    if (!type)
        return Wanted::Nothing;
    if (*type == "assistant")
        return Wanted::Usage;
    if (*type == "user")
        return Wanted::Content;
    return Wanted::Nothing;
}

// Reads the top-level object through to its end; false for anything that is
// not one JSON object. Members the reader has no use for are skipped over
// without being looked into.
bool readEntry(ondemand::parser &parser, std::string_view line, EntryFacts &entry, std::string &joined)
{
    ondemand::document document;
    ondemand::object top;
    if (!startObject(parser, line, document, top))
        return false;

    bool seenType = false;
    bool seenSidechain = false;
    bool seenMeta = false;
    bool seenTimestamp = false;
    bool seenMessage = false;
    for (auto member : top) {
        std::string_view key;
        ondemand::field *const field = namedMember(member, key);
        if (!field)
            return false;
        bool ok = true;
        if (key == "type" && !seenType) {
            seenType = true;
            ok = readOptionalString(field->value(), entry.type);
            // A line of another type says nothing, whatever follows.
            if (ok && entry.type && wantedFor(entry.type) == Wanted::Nothing)
                return true;
        } else if (key == "isSidechain" && !seenSidechain) {
            seenSidechain = true;
            bool flag = false;
            const auto error = field->value().get_bool().get(flag);
            entry.isSidechain = !error && flag;
            ok = !isMalformed(error);
        } else if (key == "isMeta" && !seenMeta) {
            seenMeta = true;
            bool flag = false;
            const auto error = field->value().get_bool().get(flag);
            entry.isMeta = !error && flag;
            ok = !isMalformed(error);
        } else if (key == "timestamp" && !seenTimestamp) {
            seenTimestamp = true;
            ok = readOptionalString(field->value(), entry.timestamp);
        } else if (key == "interruptedMessageId") {
            entry.hasInterruptedMessageId = true;
        } else if (key == "message" && !seenMessage) {
            seenMessage = true;
            // Agents write the type after the message in assistant lines.
            const Wanted wanted = seenType ? wantedFor(entry.type) : Wanted::Everything;
            if (wanted != Wanted::Nothing)
                ok = readMessage(field->value(), wanted, entry.message, joined);
        }
        if (!ok)
            return false;
    }
    return isDocumentEnd(document);
}

// Qwen Code's usage, in the Gemini API's terms: the prompt count includes its
// cached part, and thoughts are billed as output, beside the candidates.
bool readGeminiUsage(ondemand::object usage, TokenCounts &counts)
{
    static constexpr std::array<std::string_view, 5> keys = {
        "promptTokenCount", "candidatesTokenCount", "cachedContentTokenCount", "thoughtsTokenCount", "totalTokenCount"};
    std::array<std::int64_t, 5> values;
    if (!readCounts(usage, keys, values))
        return false;
    const auto [prompt, candidates, cached, thoughts, total] = values;
    counts.cacheRead = cached;
    counts.input = prompt > cached ? prompt - cached : 0;
    // Replies through an OpenAI-compatible API count the thoughts inside the
    // candidates as well; the total, when it is consistent, tells.
    counts.output = saturatingAdd(candidates, thoughts);
    if (total > 0 && total >= prompt)
        counts.output = std::min(counts.output, total - prompt);
    counts.cacheCreation = 0;
    return true;
}

// A Qwen Code line: the record's type and time, and for a model reply its
// model and "usageMetadata", all at the top level. The message itself is
// skipped.
bool readQwenEntry(ondemand::parser &parser, std::string_view line, EntryFacts &entry)
{
    ondemand::document document;
    ondemand::object top;
    if (!startObject(parser, line, document, top))
        return false;

    MessageFacts &message = entry.message;
    static constexpr std::array<std::string_view, 4> keys = {"type", "timestamp", "model", "usageMetadata"};
    const bool read = forEachMember(top, keys, [&](std::size_t index, ondemand::value value) {
        switch (index) {
        case 0:
            return readOptionalString(value, entry.type);
        case 1:
            return readOptionalString(value, entry.timestamp);
        case 2:
            return readOptionalString(value, message.model);
        default: {
            ondemand::object usage;
            const auto usageError = value.get_object().get(usage);
            message.hasUsage = !usageError;
            return usageError ? !isMalformed(usageError) : readGeminiUsage(usage, message.counts);
        }
        }
    });
    if (!read)
        return false;
    // Each reply is a record of its own, counted once.
    message.isObject = true;
    message.isEmpty = false;
    return isDocumentEnd(document);
}

// One message of a Gemini CLI chat: a line of its own, or an element of a
// "$set" of the whole list.
struct GeminiMessage {
    std::optional<std::string_view> id;
    std::optional<std::string_view> type;
    std::optional<std::string_view> timestamp;
    std::optional<std::string_view> model;
    bool hasTokens = false;
    TokenCounts counts;
};

// Gemini's "tokens", in the Gemini API's terms: the input count includes its
// cached part, the prompt of tool use is billed as input beside it, and
// thoughts are billed as output.
template<typename Object> bool readGeminiTokens(Object tokens, TokenCounts &counts)
{
    static constexpr std::array<std::string_view, 5> keys = {"input", "output", "cached", "thoughts", "tool"};
    std::array<std::int64_t, 5> values;
    if (!readCounts(tokens, keys, values))
        return false;
    const auto [input, output, cached, thoughts, tool] = values;
    counts.input = saturatingAdd(input > cached ? input - cached : 0, tool);
    counts.output = saturatingAdd(output, thoughts);
    counts.cacheRead = cached;
    counts.cacheCreation = 0;
    return true;
}

// The members of a message, read on demand or from simdjson's DOM; with
// `set`, also the "$set" of a top-level line, handed to it.
template<typename Object, typename OnSet> bool readGeminiMessage(Object object, GeminiMessage &message, OnSet &&set)
{
    static constexpr std::array<std::string_view, 6> keys = {"id", "type", "timestamp", "model", "tokens", "$set"};
    return forEachMember(object, keys, [&](std::size_t index, auto value) {
        switch (index) {
        case 0:
            return readOptionalString(value, message.id);
        case 1:
            return readOptionalString(value, message.type);
        case 2:
            return readOptionalString(value, message.timestamp);
        case 3:
            return readOptionalString(value, message.model);
        case 4: {
            Object tokens;
            const auto error = value.get_object().get(tokens);
            message.hasTokens = !error;
            return error ? !isMalformed(error) : readGeminiTokens(tokens, message.counts);
        }
        default:
            return set(value);
        }
    });
}

std::optional<TimePoint> timeOf(std::optional<std::string_view> timestamp)
{
    return timestamp ? parseTimestamp(*timestamp) : std::nullopt;
}

// The latest copy of each message counts. A copy of one of the latest
// messages replaces its usage; older messages are settled for good, which
// keeps the memory per transcript bounded.
void countGeminiMessage(const GeminiMessage &message, TranscriptCursor *counted, ActivityChange &change)
{
    const auto at = timeOf(message.timestamp);
    if (message.type == "user" || message.type == "gemini")
        noteActivity(at, false, change);
    if (!counted || message.type != "gemini" || !message.hasTokens)
        return;
    TranscriptCursor &cursor = *counted;

    auto &recent = cursor.recentMessages;
    // Newest first: a copy is nearly always of one of the last few messages.
    auto known = recent.end();
    if (message.id) {
        const auto newest = std::find_if(recent.rbegin(), recent.rend(),
                                         [&](const RecentMessage &entry) { return entry.id == *message.id; });
        if (newest != recent.rend())
            known = std::prev(newest.base());
    }
    // No count is below zero, so while no kind has reached the maximum the
    // total follows each change instead of being summed again.
    const TokenCounts before = cursor.usage.tokens;
    constexpr auto cap = std::numeric_limits<std::int64_t>::max();
    const bool incremental
        = before.input < cap && before.output < cap && before.cacheCreation < cap && before.cacheRead < cap;
    TokenCounts removed;
    if (known != recent.end()) {
        removed = known->counts;
        known->counts = message.counts;
    } else if (message.id && at && cursor.settledThrough && *at <= *cursor.settledThrough) {
        return; // a settled message listed again, as the agent does when it restores the conversation
    } else {
        cursor.usage.turns = saturatingAdd(cursor.usage.turns, 1);
        if (!message.id) {
            cursor.settled = cursor.settled + message.counts;
        } else {
            if (recent.size() >= replaceableMessages) {
                const RecentMessage &oldest = recent.front();
                cursor.settled = cursor.settled + oldest.counts;
                if (oldest.at && (!cursor.settledThrough || *oldest.at > *cursor.settledThrough))
                    cursor.settledThrough = oldest.at;
                recent.pop_front();
            }
            recent.push_back({std::string(*message.id), message.counts, at});
        }
    }
    if (incremental) {
        cursor.usage.tokens
            = TokenCounts {before.input - removed.input, before.output - removed.output,
                           before.cacheCreation - removed.cacheCreation, before.cacheRead - removed.cacheRead}
            + message.counts;
    } else {
        TokenCounts total = cursor.settled;
        for (const auto &entry : recent)
            total = total + entry.counts;
        cursor.usage.tokens = total;
    }
    cursor.usage.contextTokens = message.counts.total();
    if (message.model)
        cursor.usage.model = std::string(*message.model);
}

// A Gemini CLI line: a message, or a "$set" whose "messages" list replaces
// the conversation (its messages count like copies), or bookkeeping.
// "$rewindTo" takes messages out of the conversation, but not what they cost.
// Whether the line only moves the chat's time on: {"$set":{"lastUpdated":"…"}},
// every other line Gemini CLI writes, which counts nothing.
bool isTimeUpdate(std::string_view line)
{
    constexpr std::string_view head = R"({"$set":{"lastUpdated":")";
    constexpr std::string_view tail = R"("}})";
    if (!line.starts_with(head) || !line.ends_with(tail) || line.size() < head.size() + tail.size())
        return false;
    const std::string_view time = line.substr(head.size(), line.size() - head.size() - tail.size());
    return time.find_first_of("\"\\") == std::string_view::npos;
}

// The object and array types that go with a value read on demand or from
// simdjson's DOM.
template<typename Value> struct JsonTypes;
template<> struct JsonTypes<ondemand::value> {
    using Object = ondemand::object;
    using Array = ondemand::array;
};
template<> struct JsonTypes<simdjson::dom::element> {
    using Object = simdjson::dom::object;
    using Array = simdjson::dom::array;
};

// The messages that the value of a "$set" lists, added to `listed`.
template<typename Value> bool readListedMessages(Value value, std::vector<GeminiMessage> &listed)
{
    typename JsonTypes<Value>::Object set;
    const auto error = value.get_object().get(set);
    if (error)
        return !isMalformed(error);
    static constexpr std::array<std::string_view, 1> keys = {"messages"};
    return forEachMember(set, keys, [&](std::size_t, Value messages) {
        typename JsonTypes<Value>::Array list;
        const auto listError = messages.get_array().get(list);
        if (listError)
            return !isMalformed(listError);
        for (auto element : list) {
            typename JsonTypes<Value>::Object object;
            const auto elementError = element.get_object().get(object);
            if (elementError) {
                if (isMalformed(elementError))
                    return false;
                continue;
            }
            GeminiMessage &entry = listed.emplace_back();
            if (!readGeminiMessage(object, entry, [](Value) { return true; }))
                return false;
        }
        return true;
    });
}

bool ingestGeminiLine(ondemand::parser &parser, simdjson::dom::parser &validator, std::string_view line,
                      TranscriptCursor *counted, ActivityChange &change)
{
    if (isTimeUpdate(line))
        return true;
    GeminiMessage message;
    std::vector<GeminiMessage> listed;
    const auto count = [&] {
        for (const auto &element : listed)
            countGeminiMessage(element, counted, change);
        countGeminiMessage(message, counted, change);
        return true;
    };
    // Counted only once the whole line has proved to be JSON, as the agent
    // itself skips a line that is not (reading on demand leaves the values
    // it skips unchecked). A line that lists the conversation is read from
    // simdjson's DOM, which checks it all, in one pass; one the DOM rejects
    // is read like any other line, which then rejects it too if it lists
    // messages.
    simdjson::dom::element whole;
    simdjson::dom::object wholeObject;
    if (line.starts_with(R"({"$set":{"messages":[)") && !validator.parse(line.data(), line.size(), false).get(whole)
        && !whole.get_object().get(wholeObject)) {
        const auto readSet = [&](simdjson::dom::element value) { return readListedMessages(value, listed); };
        return readGeminiMessage(wholeObject, message, readSet) && count();
    }

    ondemand::document document;
    ondemand::object top;
    if (!startObject(parser, line, document, top))
        return false;
    const auto readSet = [&](ondemand::value value) { return readListedMessages(value, listed); };
    if (!readGeminiMessage(top, message, readSet) || !isDocumentEnd(document))
        return false;
    if (!listed.empty() && validator.parse(line.data(), line.size(), false).get(whole))
        return false;
    return count();
}

// Codex's usage, in the OpenAI API's terms: the input count includes its
// cached and cache-written parts, and the output count includes reasoning.
bool readCodexUsage(ondemand::value value, std::optional<TokenCounts> &counts)
{
    ondemand::object usage;
    const auto error = value.get_object().get(usage);
    if (error)
        return !isMalformed(error);
    static constexpr std::array<std::string_view, 4> keys
        = {"input_tokens", "cached_input_tokens", "cache_write_input_tokens", "output_tokens"};
    std::array<std::int64_t, 4> values;
    if (!readCounts(usage, keys, values))
        return false;
    const auto [input, cached, written, output] = values;
    const std::int64_t cachedParts = saturatingAdd(cached, written);
    counts = TokenCounts {.input = input > cachedParts ? input - cachedParts : 0,
                          .output = output,
                          .cacheCreation = written,
                          .cacheRead = cached};
    return true;
}

// What one line of a Codex rollout says: `{timestamp, type, payload}`.
struct CodexLine {
    std::optional<std::string_view> timestamp;
    std::optional<std::string_view> type;
    std::optional<std::string_view> payloadType;
    std::optional<std::string_view> model;
    std::optional<TokenCounts> total; // cumulative over the session
    std::optional<TokenCounts> last; // of the latest request
};

bool readCodexPayload(ondemand::value value, CodexLine &line)
{
    ondemand::object payload;
    const auto error = value.get_object().get(payload);
    if (error)
        return !isMalformed(error);
    // A token count event's "info" (null before the first reply) holds the
    // totals; a usage record holds them at the top, one record per reply.
    static constexpr std::array<std::string_view, 5> keys = {"type", "model", "info", "thread_token_usage", "usage"};
    return forEachMember(payload, keys, [&](std::size_t index, ondemand::value member) {
        switch (index) {
        case 0:
            return readOptionalString(member, line.payloadType);
        case 1:
            return readOptionalString(member, line.model);
        case 3:
            return readCodexUsage(member, line.total);
        case 4:
            return readCodexUsage(member, line.last);
        default:
            break;
        }
        ondemand::object info;
        const auto infoError = member.get_object().get(info);
        if (infoError)
            return !isMalformed(infoError);
        static constexpr std::array<std::string_view, 2> usageKeys = {"total_token_usage", "last_token_usage"};
        return forEachMember(info, usageKeys, [&](std::size_t which, ondemand::value usage) {
            return readCodexUsage(usage, which == 0 ? line.total : line.last);
        });
    });
}

// A Codex rollout line. Token counts come cumulative in each reply's usage
// record and again in the token count event that follows (which waits while
// the user approves a command); the model in each turn's context; the
// conversation's moves in the other events. Response items, the bulk of the
// file, are skipped unread.
bool ingestCodexLine(ondemand::parser &parser, std::string_view text, TranscriptCursor *counted, ActivityChange &change)
{
    ondemand::document document;
    ondemand::object top;
    if (!startObject(parser, text, document, top))
        return false;
    CodexLine line;
    static constexpr std::array<std::string_view, 3> keys = {"timestamp", "type", "payload"};
    const auto isRead = [](std::string_view type) {
        return type == "event_msg" || type == "turn_context" || type == "token_usage_record";
    };
    const bool read = forEachMember(top, keys, [&](std::size_t index, ondemand::value value) {
        if (index == 0)
            return readOptionalString(value, line.timestamp);
        if (index == 1)
            return readOptionalString(value, line.type);
        if (line.type && !isRead(*line.type))
            return true;
        return readCodexPayload(value, line);
    });
    if (!read || !isDocumentEnd(document) || !line.type)
        return false;

    const std::string_view type = *line.type;
    const std::string_view event = type == "event_msg" ? line.payloadType.value_or("") : std::string_view();
    if (event == "task_started" || event == "user_message" || event == "agent_message") {
        noteActivity(timeOf(line.timestamp), false, change);
    } else if (event == "task_complete" || event == "turn_aborted") {
        noteActivity(timeOf(line.timestamp), true, change);
    } else if (!counted) {
        return true;
    } else if (type == "turn_context") {
        if (line.model)
            counted->usage.model = std::string(*line.model);
    } else if ((event == "token_count" || type == "token_usage_record") && line.total) {
        // The event after a usage record repeats its totals: no new turn.
        TranscriptUsage &usage = counted->usage;
        if (*line.total != usage.tokens)
            usage.turns = saturatingAdd(usage.turns, 1);
        usage.tokens = *line.total;
        if (line.last)
            usage.contextTokens = line.last->total();
    }
    return true;
}

void countUsage(const MessageFacts &message, TranscriptCursor &cursor)
{
    if (!message.isObject || message.isEmpty || !message.hasUsage)
        return;

    const TokenCounts &counts = message.counts;
    if (message.id && cursor.lastCountedMessageId == *message.id) {
        // A later copy of the message just counted: its usage replaces the earlier one.
        cursor.lastMessage = counts;
    } else if (message.id) {
        cursor.settled = cursor.settled + cursor.lastMessage;
        cursor.lastMessage = counts;
        cursor.lastCountedMessageId = std::string(*message.id);
        cursor.usage.turns = saturatingAdd(cursor.usage.turns, 1);
    } else {
        cursor.settled = cursor.settled + counts;
        cursor.usage.turns = saturatingAdd(cursor.usage.turns, 1);
    }

    cursor.usage.tokens = cursor.settled + cursor.lastMessage;
    cursor.usage.contextTokens = counts.total();
    if (message.model)
        cursor.usage.model = std::string(*message.model);
}

void applyChange(const ActivityChange &change, TranscriptActivity &activity)
{
    if (change.at)
        activity.lastEntryAt = change.at;
    if (change.turnEnded)
        activity.endedInInterrupt = *change.turnEnded;
}

// An exact test of which lines can matter, before any is parsed. Only a
// message of one type carries tokens, and only conversation entries move the
// activity; a type is an ASCII word, so its string stands in the line as it
// is unless a letter of it is written as a \u00XX escape.
struct LineTest {
    std::string_view countingType; // quoted; empty when no line can be passed over
    std::string_view conversationType; // the other type that moves the activity, quoted

    bool everyLineCounts() const { return countingType.empty(); }
    // The end of the line of `lines` at `start`, and whether it may count.
    LineSearch searchCounting(std::string_view lines, std::size_t start) const
    {
        if (everyLineCounts())
            return {lines.find('\n', start), true};
        return searchLine(lines, start, countingType, "\\u00");
    }
    // For a line that cannot count.
    bool mayMoveActivity(std::string_view lines, std::size_t start) const
    {
        return searchLine(lines, start, conversationType, conversationType).holds;
    }
};

LineTest lineTestFor(TranscriptFormat format)
{
    switch (format) {
    case TranscriptFormat::None:
    case TranscriptFormat::ClaudeCode:
    case TranscriptFormat::QwenCode:
        return {R"("assistant")", R"("user")"};
    case TranscriptFormat::GeminiCli:
        return {R"("gemini")", R"("user")"};
    case TranscriptFormat::CodexRollout:
        break;
    }
    return {};
}

ssize_t readAt(int fd, char *into, std::size_t count, std::uint64_t offset)
{
    ssize_t got;
    do {
        got = ::pread(fd, into, count, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

} // namespace

TranscriptReader::TranscriptReader()
    : TranscriptReader(Limits {})
{ }

TranscriptReader::TranscriptReader(Limits limits)
    : m_limits(limits)
{ }

void TranscriptReader::read(const std::string &path, TranscriptCursor &cursor, TranscriptFormat format)
{
    m_format = format;
    // Non-blocking open: a FIFO or device named as a transcript must not stall the scan.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;

    struct stat status { };
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const auto size = static_cast<std::uint64_t>(status.st_size);
        if (size < cursor.offset)
            cursor = TranscriptCursor {}; // truncated or replaced: read it again from the start
        // Kept when the read may view pages: a page that cannot be read
        // (an I/O error) faults like one past a shrunk file's end.
        std::optional<TranscriptCursor> before;
        if (viewsPages(size, cursor))
            before = cursor;
        if (cursor.offset < size && !readNewBytes(fd, size, cursor)) {
            // What was read is not the file. Shrunk, it is read again from
            // the start, copied this time; unreadable, it is left as it was.
            if (::fstat(fd, &status) == 0 && static_cast<std::uint64_t>(status.st_size) < size) {
                cursor = TranscriptCursor {};
                const std::size_t viewed = std::exchange(m_limits.viewedWindow, 0);
                readNewBytes(fd, static_cast<std::uint64_t>(status.st_size), cursor);
                m_limits.viewedWindow = viewed;
            } else if (before) {
                cursor = *before;
            }
        }
    }
    ::close(fd);
    releaseOversizedBuffers();
}

void TranscriptReader::ensureBufferSize(std::size_t size)
{
    if (m_buffer.size() < size) {
        m_buffer.reserve(size); // exactly: growth by doubling would double the peak
        m_buffer.resize(size);
    }
}

bool TranscriptReader::readNewBytes(int fd, std::uint64_t size, TranscriptCursor &cursor)
{
    // Only the bytes that existed when the size was taken: what the agent
    // appends meanwhile is read on the next scan, not twice.
    std::uint64_t budget = std::max<std::uint64_t>(
        m_limits.maxBytesPerRead, 2 * (std::uint64_t {m_limits.chunkSize} + m_limits.maxLineLength) + 1);
    if (viewsPages(size, cursor)) {
        // The start of an unfinished line is read again where it stands.
        cursor.offset -= cursor.remainder.size();
        cursor.remainder.clear();
        if (!readViewedLines(fd, size, budget, cursor))
            return false;
    }
    std::size_t carried = cursor.remainder.size();
    ensureBufferSize(carried + simdjson::SIMDJSON_PADDING);
    std::memcpy(m_buffer.data(), cursor.remainder.data(), carried);

    while (cursor.offset < size && budget > 0) {
        const std::size_t wanted
            = static_cast<std::size_t>(std::min({size - cursor.offset, budget, std::uint64_t {m_limits.chunkSize}}));
        ensureBufferSize(carried + wanted + simdjson::SIMDJSON_PADDING);
        const ssize_t got = readAt(fd, m_buffer.data() + carried, wanted, cursor.offset);
        if (got <= 0)
            break;

        cursor.offset += static_cast<std::uint64_t>(got);
        budget -= static_cast<std::uint64_t>(got);

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

        if (const auto *lastFeed = static_cast<const char *>(::memrchr(data + start, '\n', end - start))) {
            const auto linesEnd = static_cast<std::size_t>(lastFeed - data) + 1;
            ingestLines(std::string_view(data + start, linesEnd - start), cursor);
            start = linesEnd;
        }

        carried = end - start;
        if (carried > m_limits.chunkSize || carried > m_limits.maxLineLength) {
            const std::uint64_t lineStart = cursor.offset - carried;
            carried = 0;
            if (!followLongLine(fd, lineStart, size, budget, cursor)) {
                cursor.offset = lineStart; // read again from its start next time
                break;
            }
        } else if (start > 0) {
            std::memmove(data, data + start, carried);
        }
    }

    if (carried > m_limits.maxKeptRemainder) {
        cursor.offset -= carried; // read again from its start next time
        carried = 0;
    }
    cursor.remainder.assign(m_buffer.data(), carried);
    return true;
}

bool TranscriptReader::viewsPages(std::uint64_t size, const TranscriptCursor &cursor) const
{
    return m_limits.viewedWindow != 0 && !cursor.discardingLine && size - cursor.offset >= m_limits.viewedWindow;
}

// Consumes the whole lines of a large read where they stand in the file's
// pages, a window at a time; what remains (the last lines, or a line longer
// than a window) is left to the copying read. False when the file shrank.
bool TranscriptReader::readViewedLines(int fd, std::uint64_t size, std::uint64_t &budget, TranscriptCursor &cursor)
{
    const std::uint64_t window = m_limits.viewedWindow;
    const std::uint64_t page = FileWindow::pageSize();
    const std::uint64_t end = cursor.offset + std::min(size - cursor.offset, budget);
    while (end - cursor.offset > simdjson::SIMDJSON_PADDING) {
        const std::uint64_t viewStart = cursor.offset / page * page;
        const FileWindow view(fd, viewStart, static_cast<std::size_t>(std::min(window, size - viewStart)));
        if (!view.isValid())
            return true;
        // Each line handed on is followed by simdjson's padding inside the view.
        const std::uint64_t viewEnd = viewStart + view.size();
        if (viewEnd <= cursor.offset + simdjson::SIMDJSON_PADDING)
            return true; // a view too small to hold a line past its first page
        const std::uint64_t usableEnd = std::min(end, viewEnd - simdjson::SIMDJSON_PADDING);
        const std::string_view unread(view.data() + (cursor.offset - viewStart),
                                      static_cast<std::size_t>(usableEnd - cursor.offset));
        const auto *lastFeed = static_cast<const char *>(::memrchr(unread.data(), '\n', unread.size()));
        if (!lastFeed)
            return true; // a line longer than the view, or the last ones: read by copying
        const std::string_view lines = unread.substr(0, static_cast<std::size_t>(lastFeed - unread.data()) + 1);
        ingestLines(lines, cursor);
        if (view.shrank())
            return false;
        cursor.offset += lines.size();
        budget -= lines.size();
    }
    return true;
}

// Looks for the end of a line longer than a chunk that starts at `lineStart`
// and has no line feed before the cursor's offset, without keeping its bytes;
// a line of acceptable length is then read whole, once. False when the read
// ends before the line does.
bool TranscriptReader::followLongLine(int fd, std::uint64_t lineStart, std::uint64_t size, std::uint64_t &budget,
                                      TranscriptCursor &cursor)
{
    for (;;) {
        const std::uint64_t seen = cursor.offset - lineStart;
        if (seen > m_limits.maxLineLength) {
            cursor.discardingLine = true;
            return true;
        }
        if (cursor.offset >= size || budget == 0)
            return false;
        // One byte past the longest line is far enough to tell.
        const std::size_t wanted = static_cast<std::size_t>(std::min(
            {size - cursor.offset, budget, std::uint64_t {m_limits.chunkSize}, m_limits.maxLineLength + 1 - seen}));
        ensureBufferSize(wanted + simdjson::SIMDJSON_PADDING);
        const ssize_t got = readAt(fd, m_buffer.data(), wanted, cursor.offset);
        if (got <= 0)
            return false;
        budget -= static_cast<std::uint64_t>(got);
        const auto *lineFeed
            = static_cast<const char *>(std::memchr(m_buffer.data(), '\n', static_cast<std::size_t>(got)));
        if (!lineFeed) {
            cursor.offset += static_cast<std::uint64_t>(got);
            continue;
        }

        const std::uint64_t length = seen + static_cast<std::uint64_t>(lineFeed - m_buffer.data());
        if (budget < length)
            return false; // the whole line fits in the next read
        m_paddedLine.clear();
        m_paddedLine.reserve(length + simdjson::SIMDJSON_PADDING); // exactly, for the same reason
        m_paddedLine.resize(length + simdjson::SIMDJSON_PADDING);
        std::uint64_t filled = 0;
        while (filled < length) {
            const ssize_t part = readAt(fd, m_paddedLine.data() + filled, length - filled, lineStart + filled);
            if (part <= 0)
                return false;
            filled += static_cast<std::uint64_t>(part);
        }
        budget -= length;
        cursor.offset = lineStart + length + 1;
        ingestWholly(std::string_view(m_paddedLine.data(), length), cursor);
        return true;
    }
}

void TranscriptReader::ingestEntry(std::string_view line, TranscriptCursor &cursor, TranscriptFormat format)
{
    m_format = format;
    m_paddedLine.assign(line);
    m_paddedLine.append(simdjson::SIMDJSON_PADDING, '\0');
    ingestWholly(std::string_view(m_paddedLine.data(), line.size()), cursor);
}

void TranscriptReader::ingestWholly(std::string_view line, TranscriptCursor &cursor)
{
    ActivityChange change;
    ingestPaddedEntry(line, &cursor, change);
    applyChange(change, cursor.activity);
}

void TranscriptReader::ingestLines(std::string_view lines, TranscriptCursor &cursor)
{
    // Longer lines are skipped whole, wherever they stand.
    const auto isReadable
        = [&](std::string_view line) { return !line.empty() && line.size() <= m_limits.maxLineLength; };
    static_assert(lineSearchPadding <= simdjson::SIMDJSON_PADDING);
    const LineTest test = lineTestFor(m_format);
    // Where the last line read in full that moved each part of the activity starts.
    std::optional<std::size_t> timeFrom;
    std::optional<std::size_t> endFrom;
    for (std::size_t start = 0; start < lines.size();) {
        const auto [end, mayCount] = test.searchCounting(lines, start);
        const std::string_view line = lines.substr(start, end - start);
        if (isReadable(line) && mayCount) {
            ActivityChange change;
            ingestPaddedEntry(line, &cursor, change);
            if (change.at)
                timeFrom = start;
            if (change.turnEnded)
                endFrom = start;
            applyChange(change, cursor.activity);
        }
        start = end + 1;
    }
    if (test.everyLineCounts())
        return;

    // The lines passed over can only have moved the activity. Only the latest
    // line that did matters, for each part, and only when it comes after the
    // lines read in full: the search goes back from the end until both parts
    // are settled, which is usually a line or two.
    bool timeSettled = false;
    bool endSettled = false;
    for (std::size_t end = lines.size() - 1;;) {
        const auto *previousFeed = static_cast<const char *>(::memrchr(lines.data(), '\n', end));
        const std::size_t start = previousFeed ? static_cast<std::size_t>(previousFeed - lines.data()) + 1 : 0;
        timeSettled = timeSettled || (timeFrom && start <= *timeFrom);
        endSettled = endSettled || (endFrom && start <= *endFrom);
        if (timeSettled && endSettled)
            break;
        const std::string_view line = lines.substr(start, end - start);
        if (isReadable(line) && !test.searchCounting(lines, start).holds && test.mayMoveActivity(lines, start)) {
            ActivityChange change;
            ingestPaddedEntry(line, nullptr, change);
            if (!timeSettled && change.at) {
                cursor.activity.lastEntryAt = change.at;
                timeSettled = true;
            }
            if (!endSettled && change.turnEnded) {
                cursor.activity.endedInInterrupt = *change.turnEnded;
                endSettled = true;
            }
        }
        if (start == 0)
            break;
        end = start - 1;
    }
}

void TranscriptReader::ingestPaddedEntry(std::string_view line, TranscriptCursor *counted, ActivityChange &change)
{
    switch (m_format) {
    case TranscriptFormat::GeminiCli:
        ingestGeminiLine(m_parser, m_validator, line, counted, change);
        return;
    case TranscriptFormat::CodexRollout:
        ingestCodexLine(m_parser, line, counted, change);
        return;
    case TranscriptFormat::None:
    case TranscriptFormat::ClaudeCode:
    case TranscriptFormat::QwenCode:
        break;
    }
    EntryFacts entry;
    const bool read = m_format == TranscriptFormat::QwenCode ? readQwenEntry(m_parser, line, entry)
                                                             : readEntry(m_parser, line, entry, m_joinedText);
    if (!read || !entry.type)
        return;

    // Only the conversation itself tells whether the session moved on or was
    // interrupted; bookkeeping lines of other types (snapshots, progress,
    // summaries), side conversations and the agent's own meta entries (the
    // reminder a local command such as /rename leaves for the model, also
    // after an interrupt) leave the activity alone.
    const bool isUser = *entry.type == "user";
    const bool isAssistant = *entry.type == "assistant";
    if ((isUser || isAssistant) && !entry.isSidechain && !entry.isMeta)
        noteActivity(timeOf(entry.timestamp),
                     isUser && (entry.hasInterruptedMessageId || entry.message.contentHasMarker), change);

    if (isAssistant && counted)
        countUsage(entry.message, *counted);
}

void TranscriptReader::releaseOversizedBuffers()
{
    // A rare huge line must not pin its memory for the life of the process.
    if (m_buffer.capacity() > 2 * m_limits.chunkSize + simdjson::SIMDJSON_PADDING)
        std::vector<char>().swap(m_buffer);
    if (m_parser.capacity() > (16u << 20))
        m_parser = simdjson::ondemand::parser {};
    if (m_validator.capacity() > (16u << 20))
        m_validator = simdjson::dom::parser {};
    if (m_paddedLine.capacity() > (1u << 20))
        std::string().swap(m_paddedLine);
}

} // namespace lullwatch
