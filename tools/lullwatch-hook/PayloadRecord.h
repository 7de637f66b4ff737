#pragma once

#include "agents/Agents.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace lullwatch {

// Bounds of a record: a payload member longer than memberLimit once written
// is left out (a prompt, a tool result), and so is one holding a number the
// application cannot read (an integer beyond 64 bits, a double beyond its
// range), which would make the whole record unreadable. A member that would
// take the kept ones past recordLimit is left out, later ones that fit are
// kept, and a later value of a kept member replaces it or, when it cannot be
// kept, drops it.
inline constexpr std::size_t memberLimit = 16 * 1024;
inline constexpr std::size_t recordLimit = 1024 * 1024;
// A payload nested deeper than this (the top object is level 1) is invalid.
inline constexpr std::size_t maxPayloadDepth = 512;
inline constexpr std::size_t maxSessionIdLength = 128;

// What a record takes from a hook's payload.
struct PayloadParts {
    struct Member {
        std::string name; // as decoded
        std::string value; // JSON text without the whitespace between tokens
    };
    // The payload's kept top-level members, each with its last value, in the
    // order in which they were first kept; none named like the record's own.
    std::vector<Member> members;
    // Texts of the members the agent table names: a string as decoded, a
    // number as spelled, true or false; empty for null, objects, arrays, a
    // missing member or one longer than memberLimit. The id is sanitised
    // (empty: the payload has no usable id), and the event is the agent's
    // fixed word when the table names no member for it.
    std::string sessionId;
    std::string event;
    std::string cwd;
    std::string transcriptPath;
};

// Reads a hook's payload from pieces fed in order, holding no more of it than
// a record keeps. The payload must be one JSON object (RFC 8259, well-formed
// UTF-8, nested at most maxPayloadDepth deep) and nothing else but whitespace.
class PayloadReader {
public:
    explicit PayloadReader(const PayloadKeys &keys);

    // False once the payload is known to be invalid (further pieces are not needed).
    bool feed(std::string_view piece);
    // The parts, or none for an invalid payload.
    std::optional<PayloadParts> finish();

private:
    enum class Step {
        Start,
        Value,
        FirstValue,
        FirstKey,
        Key,
        Colon,
        AfterValue,
        String,
        Escape,
        Hex,
        LowSurrogateBackslash,
        LowSurrogateU,
        Continuation,
        Minus,
        Zero,
        Integer,
        FractionStart,
        Fraction,
        ExponentStart,
        ExponentSign,
        Exponent,
        Literal,
        End,
        Failed,
    };
    enum Slot { SessionId, Event, Cwd, TranscriptPath, SlotCount };

    void handle(unsigned char c);
    void startValue(unsigned char c);
    bool continueNumber(unsigned char c);
    void valueEnded();
    void memberEnded();
    void drop(std::size_t index);
    void open(bool object);
    void close();
    void keep(std::string_view bytes);
    void decoded(std::string_view bytes);
    void decodedCodePoint(std::uint32_t codePoint);
    void fail() { m_step = Step::Failed; }

    struct Member {
        PayloadParts::Member member;
        std::size_t size = 0; // once written, with its separators
        bool kept = true;
    };

    std::array<std::string_view, SlotCount> m_keys;
    // The kept members in order, and some that were dropped since.
    std::vector<Member> m_members;
    std::unordered_map<std::string, std::size_t> m_memberIndex; // name to position in m_members
    std::size_t m_keptSize = 0;
    std::size_t m_dropped = 0; // entries of m_members no longer kept

    Step m_step = Step::Start;
    std::size_t m_byteOrderMark = 0; // bytes of a leading byte order mark seen, 3 once past it
    std::array<bool, maxPayloadDepth + 1> m_isObject {}; // per level: object, else array
    std::size_t m_depth = 0;
    bool m_inKey = false;
    std::string_view m_literal; // the rest of true, false or null still to come
    std::uint32_t m_codeUnit = 0;
    std::uint32_t m_highSurrogate = 0;
    int m_hexDigits = 0;
    int m_continuations = 0; // UTF-8 continuation bytes still to come
    unsigned char m_low = 0x80, m_high = 0xbf; // the range of the next continuation byte

    // The top-level member being read: its name, its value's text, and what
    // its value is text for.
    bool m_inMember = false; // between a top-level member's ":" and the end of its value
    std::string m_name;
    std::string m_value;
    std::string m_text;
    bool m_valueIsString = false;
    bool m_unreadable = false; // holds a number the application cannot read
    std::size_t m_numberStart = 0; // of the number being read, in m_value
    std::array<bool, SlotCount> m_wanted {};
    std::array<std::string, SlotCount> m_texts;
};

// The record's own members, which replace payload members of the same name.
struct RecordFields {
    std::string_view state;
    std::string_view source;
    std::int64_t updatedAt = 0;
    std::int64_t pid = 0;
};

// The record file's text: our members first, so that a reader looking for the
// time and the owner finds them at once, then the kept payload members.
std::string recordText(const PayloadParts &parts, const RecordFields &fields);

// `text` as a JSON string, quotes included; invalid UTF-8 becomes U+FFFD.
std::string jsonString(std::string_view text);

// Only letters, digits, ".", "_" and "-", at most maxSessionIdLength of them:
// a hostile id cannot leave the sessions folder.
std::string sanitisedSessionId(std::string_view id);

} // namespace lullwatch
