#include "StatusReport.h"

#include "agents/Agents.h"
#include "sessions/TokenCount.h"

#include <nlohmann/json.hpp>

#include <array>

namespace lullwatch {

namespace {

constexpr std::size_t columnCount = 8;
using Row = std::array<std::string, columnCount>;

// The length of the UTF-8 sequence at the start of `text` when it encodes a
// C1 control (U+0080 to U+009F) or a bidirectional control: the marks
// (U+061C, U+200E, U+200F), embeddings and overrides (U+202A to U+202E) and
// isolates (U+2066 to U+2069); 0 otherwise.
std::size_t wideControlLength(std::string_view text)
{
    const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
    if (text.size() >= 2
        && ((byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) || (byte(0) == 0xD8 && byte(1) == 0x9C)))
        return 2;
    if (text.size() >= 3 && byte(0) == 0xE2
        && ((byte(1) == 0x80 && (byte(2) == 0x8E || byte(2) == 0x8F || (byte(2) >= 0xAA && byte(2) <= 0xAE)))
            || (byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9)))
        return 3;
    return 0;
}

// Folder and model names come from files anyone can write: keep control
// characters (escape sequences, line breaks, text reversal) away from the
// terminal, each replaced by one question mark.
std::string printable(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t index = 0; index < text.size();) {
        const auto byte = static_cast<unsigned char>(text[index]);
        if (byte < 0x20 || byte == 0x7f) {
            result += '?';
            ++index;
        } else if (const std::size_t length = wideControlLength(text.substr(index))) {
            result += '?';
            index += length;
        } else {
            result += text[index];
            ++index;
        }
    }
    return result;
}

// Columns are aligned by characters, not bytes, so UTF-8 names line up.
std::size_t displayWidth(std::string_view text)
{
    std::size_t width = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++width;
    }
    return width;
}

Row rowFor(const SessionInfo &session)
{
    return {printable(folderName(session.cwd)),
            std::string(agentFor(session.source).shortName),
            std::string(stateLabel(session)),
            formatTokenCount(session.usage.contextTokens),
            formatTokenCount(session.usage.tokens.output),
            formatTokenCount(session.usage.tokens.cacheRead),
            std::to_string(session.usage.turns),
            session.usage.model ? printable(*session.usage.model) : std::string("-")};
}

} // namespace

std::string formatStatusTable(const std::vector<SessionInfo> &sessions)
{
    if (sessions.empty())
        return "No active sessions\n";

    std::vector<Row> rows {{"FOLDER", "AGENT", "STATE", "CONTEXT", "OUTPUT", "CACHE", "TURNS", "MODEL"}};
    for (const auto &session : sessions)
        rows.push_back(rowFor(session));

    std::array<std::size_t, columnCount> widths {};
    for (const auto &row : rows) {
        for (std::size_t column = 0; column < columnCount; ++column)
            widths[column] = std::max(widths[column], displayWidth(row[column]));
    }

    std::string table;
    for (const auto &row : rows) {
        for (std::size_t column = 0; column < columnCount; ++column) {
            table += row[column];
            if (column + 1 < columnCount)
                table.append(widths[column] - displayWidth(row[column]) + 2, ' ');
        }
        table += '\n';
    }
    return table;
}

std::string formatStatusJson(const std::vector<SessionInfo> &sessions)
{
    auto list = nlohmann::ordered_json::array();
    for (const auto &session : sessions) {
        const auto &usage = session.usage;
        list.push_back({
            {"id", session.id},
            {"source", rawValue(session.source)},
            {"state", rawValue(session.state)},
            {"event", session.event},
            {"cwd", session.cwd},
            {"transcriptPath", session.transcriptPath},
            {"updatedAt", epochSeconds(session.updatedAt)},
            {"isStale", session.isStale},
            {"usage",
             {
                 {"inputTokens", usage.tokens.input},
                 {"outputTokens", usage.tokens.output},
                 {"cacheCreationTokens", usage.tokens.cacheCreation},
                 {"cacheReadTokens", usage.tokens.cacheRead},
                 {"contextTokens", usage.contextTokens},
                 {"model", usage.model ? nlohmann::ordered_json(*usage.model) : nlohmann::ordered_json(nullptr)},
                 {"turns", usage.turns},
             }},
        });
    }
    // Invalid UTF-8 cannot reach here through the record decoder, but a
    // replacement character is better than an exception at the edge.
    return list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
}

} // namespace lullwatch
