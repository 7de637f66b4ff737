#include "StatusReport.h"

#include "SessionText.h"
#include "sessions/TokenCount.h"

#include <nlohmann/json.hpp>

#include <array>

namespace lullwatch {

namespace {

constexpr std::size_t columnCount = 8;
using Row = std::array<std::string, columnCount>;

// Folder and model names come from files anyone can write: keep control
// characters (escape sequences, line breaks) away from the terminal.
std::string printable(std::string_view text)
{
    std::string result(text);
    for (char &c : result) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            c = '?';
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
            std::string(sourceLabel(session.source)),
            std::string(stateLabel(session)),
            formatTokenCount(session.usage.contextTokens),
            formatTokenCount(session.usage.outputTokens),
            formatTokenCount(session.usage.cacheReadTokens),
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
                 {"inputTokens", usage.inputTokens},
                 {"outputTokens", usage.outputTokens},
                 {"cacheCreationTokens", usage.cacheCreationTokens},
                 {"cacheReadTokens", usage.cacheReadTokens},
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
