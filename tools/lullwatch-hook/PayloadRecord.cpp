#include "PayloadRecord.h"

#include "sessions/RecordKeys.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace lullwatch {

namespace {

constexpr std::string_view replacementCharacter = "\xef\xbf\xbd";
constexpr std::string_view byteOrderMark = "\xef\xbb\xbf";

bool isWhitespace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(unsigned char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A byte a string may hold that is not a quote, an escape, a control
// character or part of a multi-byte sequence.
bool isPlain(unsigned char c)
{
    return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

// What follows the first byte of a well-formed UTF-8 sequence: how many
// continuation bytes, and the range of the first of them (RFC 3629, which
// leaves out overlong forms, surrogates and code points above U+10FFFF).
struct Utf8Lead {
    int continuations = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
};

std::optional<Utf8Lead> utf8Lead(unsigned char c)
{
    if (c >= 0xc2 && c <= 0xdf)
        return Utf8Lead {1};
    if (c == 0xe0)
        return Utf8Lead {2, 0xa0};
    if (c == 0xed)
        return Utf8Lead {2, 0x80, 0x9f};
    if (c >= 0xe1 && c <= 0xef)
        return Utf8Lead {2};
    if (c == 0xf0)
        return Utf8Lead {3, 0x90};
    if (c >= 0xf1 && c <= 0xf3)
        return Utf8Lead {3};
    if (c == 0xf4)
        return Utf8Lead {3, 0x80, 0x8f};
    return std::nullopt;
}

void appendUtf8(std::string &out, std::uint32_t codePoint)
{
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xc0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3f));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xe0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (codePoint & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (codePoint & 0x3f));
    }
}

// Whether the application's reader takes the number: an integer must fit in
// 64 bits, any other number in a double (one that rounds to zero does).
bool isReadableNumber(std::string_view number)
{
    const char *first = number.data();
    const char *last = first + number.size();
    if (number.find_first_of(".eE") == std::string_view::npos) {
        std::int64_t signedValue = 0;
        std::uint64_t unsignedValue = 0;
        return std::from_chars(first, last, signedValue).ec == std::errc()
            || std::from_chars(first, last, unsignedValue).ec == std::errc();
    }
    const std::string text(number);
    return std::isfinite(std::strtod(text.c_str(), nullptr));
}

// Appends to a text that only needs to show whether it passed memberLimit.
void appendBounded(std::string &text, std::string_view bytes)
{
    if (text.size() <= memberLimit)
        text.append(bytes.substr(0, memberLimit + 1 - text.size()));
}

} // namespace

PayloadReader::PayloadReader(const PayloadKeys &keys)
    : m_keys {keys.sessionId, keys.event, keys.cwd, keys.transcriptPath}
{
    if (keys.event.empty())
        m_texts[Event] = keys.fixedEvent;
}

bool PayloadReader::feed(std::string_view piece)
{
    std::size_t position = 0;
    while (position < piece.size() && m_step != Step::Failed) {
        // Long strings (a prompt, a tool result) go through in runs.
        if (m_step == Step::String) {
            const auto end = std::find_if_not(piece.begin() + static_cast<std::ptrdiff_t>(position), piece.end(),
                                              [](char c) { return isPlain(static_cast<unsigned char>(c)); });
            const auto run = piece.substr(position, static_cast<std::size_t>(end - piece.begin()) - position);
            if (!run.empty()) {
                keep(run);
                decoded(run);
                position += run.size();
                continue;
            }
        }
        handle(static_cast<unsigned char>(piece[position++]));
    }
    return m_step != Step::Failed;
}

std::optional<PayloadParts> PayloadReader::finish()
{
    if (m_step != Step::End)
        return std::nullopt;
    PayloadParts parts;
    for (Member &member : m_members) {
        if (member.kept)
            parts.members.push_back(std::move(member.member));
    }
    parts.sessionId = sanitisedSessionId(m_texts[SessionId]);
    parts.event = std::move(m_texts[Event]);
    parts.cwd = std::move(m_texts[Cwd]);
    parts.transcriptPath = std::move(m_texts[TranscriptPath]);
    return parts;
}

void PayloadReader::keep(std::string_view bytes)
{
    if (m_inMember)
        appendBounded(m_value, bytes);
}

void PayloadReader::decoded(std::string_view bytes)
{
    if (m_depth != 1)
        return;
    if (m_inKey)
        appendBounded(m_name, bytes);
    else if (std::find(m_wanted.begin(), m_wanted.end(), true) != m_wanted.end())
        appendBounded(m_text, bytes);
}

void PayloadReader::decodedCodePoint(std::uint32_t codePoint)
{
    std::string bytes;
    appendUtf8(bytes, codePoint);
    decoded(bytes);
}

void PayloadReader::handle(unsigned char c)
{
    if (m_step >= Step::Minus && m_step <= Step::Exponent) {
        if (continueNumber(c)) {
            keep(std::string_view(reinterpret_cast<const char *>(&c), 1));
            return;
        }
        // The number ended before this byte, which is handled after it.
        if (m_step != Step::Zero && m_step != Step::Integer && m_step != Step::Fraction && m_step != Step::Exponent) {
            fail();
            return;
        }
        if (m_inMember && m_value.size() <= memberLimit
            && !isReadableNumber(std::string_view(m_value).substr(m_numberStart)))
            m_unreadable = true;
        valueEnded();
    }

    const bool inString = m_step >= Step::String && m_step <= Step::Continuation;
    if (inString || !isWhitespace(c))
        keep(std::string_view(reinterpret_cast<const char *>(&c), 1));

    switch (m_step) {
    case Step::Start:
        // A byte order mark may lead, as JSON readers accept it.
        if (m_byteOrderMark < byteOrderMark.size() && c == static_cast<unsigned char>(byteOrderMark[m_byteOrderMark])) {
            ++m_byteOrderMark;
            return;
        }
        if ((m_byteOrderMark != 0 && m_byteOrderMark != byteOrderMark.size()) || (c != '{' && !isWhitespace(c)))
            fail();
        else if (c == '{')
            open(true);
        m_byteOrderMark = byteOrderMark.size();
        return;
    case Step::FirstKey:
    case Step::Key:
        if (c == '"') {
            m_inKey = true;
            if (m_depth == 1)
                m_name.clear();
            m_step = Step::String;
        } else if (c == '}' && m_step == Step::FirstKey) {
            close();
        } else if (!isWhitespace(c)) {
            fail();
        }
        return;
    case Step::Colon:
        if (c == ':') {
            m_step = Step::Value;
            if (m_depth == 1) {
                m_inMember = true;
                m_value.clear();
                m_text.clear();
                m_valueIsString = false;
                m_unreadable = false;
                for (std::size_t slot = 0; slot < SlotCount; ++slot)
                    m_wanted[slot] = !m_keys[slot].empty() && m_name == m_keys[slot];
            }
        } else if (!isWhitespace(c)) {
            fail();
        }
        return;
    case Step::FirstValue:
        if (c == ']')
            close();
        else if (!isWhitespace(c))
            startValue(c);
        return;
    case Step::Value:
        if (!isWhitespace(c))
            startValue(c);
        return;
    case Step::AfterValue:
        if (c == ',')
            m_step = m_isObject[m_depth] ? Step::Key : Step::Value;
        else if (c == '}' && m_isObject[m_depth])
            close();
        else if (c == ']' && !m_isObject[m_depth])
            close();
        else if (!isWhitespace(c))
            fail();
        return;
    case Step::String:
        if (c == '"') {
            if (m_inKey) {
                m_inKey = false;
                m_step = Step::Colon;
            } else {
                valueEnded();
            }
        } else if (c == '\\') {
            m_step = Step::Escape;
        } else if (c < 0x20) {
            fail();
        } else if (c < 0x80) {
            decoded(std::string_view(reinterpret_cast<const char *>(&c), 1));
        } else if (const auto lead = utf8Lead(c)) {
            m_continuations = lead->continuations;
            m_low = lead->low;
            m_high = lead->high;
            decoded(std::string_view(reinterpret_cast<const char *>(&c), 1));
            m_step = Step::Continuation;
        } else {
            fail();
        }
        return;
    case Step::Continuation:
        if (c < m_low || c > m_high) {
            fail();
            return;
        }
        decoded(std::string_view(reinterpret_cast<const char *>(&c), 1));
        m_low = 0x80;
        m_high = 0xbf;
        if (--m_continuations == 0)
            m_step = Step::String;
        return;
    case Step::Escape: {
        static constexpr std::string_view escaped = "\"\\/bfnrt";
        static constexpr std::string_view meant = "\"\\/\b\f\n\r\t";
        const auto found = escaped.find(static_cast<char>(c));
        if (c == 'u') {
            m_codeUnit = 0;
            m_hexDigits = 0;
            m_step = Step::Hex;
        } else if (found != std::string_view::npos) {
            decoded(meant.substr(found, 1));
            m_step = Step::String;
        } else {
            fail();
        }
        return;
    }
    case Step::Hex: {
        const int value = hexValue(c);
        if (value < 0) {
            fail();
            return;
        }
        m_codeUnit = m_codeUnit * 16 + static_cast<std::uint32_t>(value);
        if (++m_hexDigits < 4)
            return;
        const bool high = m_codeUnit >= 0xd800 && m_codeUnit <= 0xdbff;
        const bool low = m_codeUnit >= 0xdc00 && m_codeUnit <= 0xdfff;
        if (m_highSurrogate != 0) {
            if (!low) {
                fail();
                return;
            }
            decodedCodePoint(0x10000 + ((m_highSurrogate - 0xd800) << 10) + (m_codeUnit - 0xdc00));
            m_highSurrogate = 0;
            m_step = Step::String;
        } else if (high) {
            m_highSurrogate = m_codeUnit;
            m_step = Step::LowSurrogateBackslash;
        } else if (low) {
            fail();
        } else {
            decodedCodePoint(m_codeUnit);
            m_step = Step::String;
        }
        return;
    }
    case Step::LowSurrogateBackslash:
        if (c == '\\')
            m_step = Step::LowSurrogateU;
        else
            fail();
        return;
    case Step::LowSurrogateU:
        if (c == 'u') {
            m_codeUnit = 0;
            m_hexDigits = 0;
            m_step = Step::Hex;
        } else {
            fail();
        }
        return;
    case Step::Literal:
        if (c != static_cast<unsigned char>(m_literal.front())) {
            fail();
            return;
        }
        m_literal.remove_prefix(1);
        if (m_literal.empty())
            valueEnded();
        return;
    case Step::End:
        if (!isWhitespace(c))
            fail();
        return;
    case Step::Minus:
    case Step::Zero:
    case Step::Integer:
    case Step::FractionStart:
    case Step::Fraction:
    case Step::ExponentStart:
    case Step::ExponentSign:
    case Step::Exponent:
    case Step::Failed:
        return;
    }
}

void PayloadReader::startValue(unsigned char c)
{
    m_numberStart = m_value.empty() ? 0 : m_value.size() - 1; // where this byte was kept
    switch (c) {
    case '"':
        m_inKey = false;
        m_valueIsString = m_depth == 1;
        m_step = Step::String;
        return;
    case '{':
        open(true);
        return;
    case '[':
        open(false);
        return;
    case '-':
        m_step = Step::Minus;
        return;
    case '0':
        m_step = Step::Zero;
        return;
    case 't':
        m_literal = "rue";
        m_step = Step::Literal;
        return;
    case 'f':
        m_literal = "alse";
        m_step = Step::Literal;
        return;
    case 'n':
        m_literal = "ull";
        m_step = Step::Literal;
        return;
    default:
        if (isDigit(c))
            m_step = Step::Integer;
        else
            fail();
        return;
    }
}

bool PayloadReader::continueNumber(unsigned char c)
{
    const bool exponent = c == 'e' || c == 'E';
    switch (m_step) {
    case Step::Minus:
        if (!isDigit(c))
            return false;
        m_step = c == '0' ? Step::Zero : Step::Integer;
        return true;
    case Step::Zero:
    case Step::Integer:
        if (isDigit(c) && m_step == Step::Integer)
            return true;
        if (c == '.')
            m_step = Step::FractionStart;
        else if (exponent)
            m_step = Step::ExponentStart;
        else
            return false;
        return true;
    case Step::FractionStart:
    case Step::Fraction:
        if (isDigit(c))
            m_step = Step::Fraction;
        else if (exponent && m_step == Step::Fraction)
            m_step = Step::ExponentStart;
        else
            return false;
        return true;
    case Step::ExponentStart:
        if (c == '+' || c == '-')
            m_step = Step::ExponentSign;
        else if (isDigit(c))
            m_step = Step::Exponent;
        else
            return false;
        return true;
    case Step::ExponentSign:
    case Step::Exponent:
        if (!isDigit(c))
            return false;
        m_step = Step::Exponent;
        return true;
    default:
        return false;
    }
}

void PayloadReader::open(bool object)
{
    if (m_depth == maxPayloadDepth) {
        fail();
        return;
    }
    m_isObject[++m_depth] = object;
    m_step = object ? Step::FirstKey : Step::FirstValue;
}

void PayloadReader::close()
{
    --m_depth;
    valueEnded();
}

void PayloadReader::valueEnded()
{
    if (m_depth == 0) {
        m_step = Step::End;
        return;
    }
    m_step = Step::AfterValue;
    if (m_depth == 1 && m_inMember)
        memberEnded();
}

void PayloadReader::memberEnded()
{
    m_inMember = false;
    const bool tooLong = m_value.size() > memberLimit;
    for (std::size_t slot = 0; slot < SlotCount; ++slot) {
        if (!m_wanted[slot])
            continue;
        // Numbers, true and false are their own text; null, objects and arrays have none.
        const unsigned char first = m_value.empty() ? 0 : static_cast<unsigned char>(m_value.front());
        if (tooLong || (!m_valueIsString && first != '-' && first != 't' && first != 'f' && !isDigit(first)))
            m_texts[slot].clear();
        else
            m_texts[slot] = m_valueIsString ? m_text : m_value;
    }
    m_wanted = {};

    if (m_name.size() > memberLimit)
        return;
    const std::size_t size = tooLong || m_unreadable ? memberLimit + 1 : jsonString(m_name).size() + m_value.size() + 2;
    const auto fits = [&] { return size <= memberLimit && m_keptSize + size <= recordLimit; };
    if (const auto found = m_memberIndex.find(m_name); found != m_memberIndex.end()) {
        // A later value replaces the kept one in its place, or drops it.
        Member &member = m_members[found->second];
        m_keptSize -= member.size;
        if (fits()) {
            member.member.value = m_value;
            member.size = size;
            m_keptSize += size;
        } else {
            drop(found->second);
        }
        return;
    }
    if (!fits() || std::find(recordKey::ours.begin(), recordKey::ours.end(), m_name) != recordKey::ours.end())
        return;
    m_memberIndex.emplace(m_name, m_members.size());
    m_members.push_back({{m_name, m_value}, size, true});
    m_keptSize += size;
}

void PayloadReader::drop(std::size_t index)
{
    Member &member = m_members[index];
    m_memberIndex.erase(member.member.name);
    member = Member {.member = {}, .size = 0, .kept = false};
    // What was dropped is forgotten once it outnumbers what is kept, so that
    // no payload makes the reader hold more than a record's worth.
    ++m_dropped;
    if (m_dropped <= m_members.size() - m_dropped)
        return;
    std::erase_if(m_members, [](const Member &kept) { return !kept.kept; });
    m_dropped = 0;
    m_memberIndex.clear();
    for (std::size_t position = 0; position < m_members.size(); ++position)
        m_memberIndex.emplace(m_members[position].member.name, position);
}

std::string jsonString(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // A well-formed sequence is copied; an ill-formed one, as far as
            // it looked well-formed, becomes one replacement character.
            const auto lead = utf8Lead(c);
            std::size_t length = 1;
            if (lead) {
                unsigned char low = lead->low, high = lead->high;
                while (length <= static_cast<std::size_t>(lead->continuations) && i + length < text.size()) {
                    const auto next = static_cast<unsigned char>(text[i + length]);
                    if (next < low || next > high)
                        break;
                    ++length;
                    low = 0x80;
                    high = 0xbf;
                }
            }
            if (lead && length == static_cast<std::size_t>(lead->continuations) + 1)
                out.append(text.substr(i, length));
            else
                out += replacementCharacter;
            i += length;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                static constexpr char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xf];
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string sanitisedSessionId(std::string_view id)
{
    std::string safe(id.substr(0, maxSessionIdLength));
    for (char &c : safe) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit(static_cast<unsigned char>(c))
            || c == '.' || c == '_' || c == '-';
        if (!allowed)
            c = '_';
    }
    return safe;
}

std::string recordText(const PayloadParts &parts, const RecordFields &fields)
{
    std::string text = "{";
    const auto add = [&text](std::string_view name, const std::string &value) {
        if (text.size() > 1)
            text += ',';
        text += jsonString(name);
        text += ':';
        text += value;
    };
    add(recordKey::sessionId, jsonString(parts.sessionId));
    add(recordKey::state, jsonString(fields.state));
    add(recordKey::source, jsonString(fields.source));
    add(recordKey::event, jsonString(parts.event));
    add(recordKey::cwd, jsonString(parts.cwd));
    add(recordKey::transcriptPath, jsonString(parts.transcriptPath));
    add(recordKey::updatedAt, std::to_string(fields.updatedAt));
    if (fields.pid > 0) // a session whose owner is unknown has none
        add(recordKey::pid, std::to_string(fields.pid));
    for (const auto &[name, value] : parts.members)
        add(name, value);
    text += '}';
    return text;
}

} // namespace lullwatch
