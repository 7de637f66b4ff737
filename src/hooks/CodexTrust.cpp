#include "CodexTrust.h"

#include <QCryptographicHash>

#include <nlohmann/json.hpp>

#include <cctype>
#include <optional>
#include <vector>

namespace lullwatch {

namespace {

using nlohmann::json;

// "PostToolUse" → "post_tool_use", as Codex names events in keys and hashes.
std::string snakeCase(std::string_view event)
{
    std::string name;
    for (const char c : event) {
        if (std::isupper(static_cast<unsigned char>(c))) {
            if (!name.empty())
                name += '_';
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            name += c;
        }
    }
    return name;
}

// Just enough TOML for the trust records: dotted keys of bare and quoted
// parts, string and boolean values, inline tables of those, comments.
// Anything else on a line makes the line count for nothing.
class TomlLine {
public:
    explicit TomlLine(std::string_view text)
        : m_text(text)
    { }

    void skipSpace()
    {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t'))
            ++m_at;
    }
    bool take(char c)
    {
        skipSpace();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool atEnd()
    {
        skipSpace();
        return m_at == m_text.size() || m_text[m_at] == '#';
    }

    std::optional<std::string> string()
    {
        skipSpace();
        if (m_at >= m_text.size())
            return std::nullopt;
        const char quote = m_text[m_at];
        if (quote != '"' && quote != '\'')
            return std::nullopt;
        std::string value;
        for (++m_at; m_at < m_text.size(); ++m_at) {
            char c = m_text[m_at];
            if (c == quote) {
                ++m_at;
                return value;
            }
            if (c == '\\' && quote == '"') {
                if (++m_at >= m_text.size())
                    return std::nullopt;
                switch (m_text[m_at]) {
                case '"':
                case '\\':
                    c = m_text[m_at];
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 't':
                    c = '\t';
                    break;
                default:
                    return std::nullopt; // no key or hash of ours needs more
                }
            }
            value += c;
        }
        return std::nullopt;
    }

    std::optional<std::vector<std::string>> dottedKey()
    {
        std::vector<std::string> parts;
        do {
            skipSpace();
            if (m_at < m_text.size() && (m_text[m_at] == '"' || m_text[m_at] == '\'')) {
                auto part = string();
                if (!part)
                    return std::nullopt;
                parts.push_back(std::move(*part));
                continue;
            }
            const std::size_t start = m_at;
            while (m_at < m_text.size()
                   && (std::isalnum(static_cast<unsigned char>(m_text[m_at])) || m_text[m_at] == '_'
                       || m_text[m_at] == '-'))
                ++m_at;
            if (m_at == start)
                return std::nullopt;
            parts.emplace_back(m_text.substr(start, m_at - start));
        } while (take('.'));
        return parts;
    }

    // A string or boolean; any other value is an empty optional.
    std::optional<std::string> scalar(bool &isFalse)
    {
        skipSpace();
        isFalse = m_text.substr(m_at).starts_with("false");
        if (isFalse) {
            m_at += 5;
            return std::string();
        }
        if (m_text.substr(m_at).starts_with("true")) {
            m_at += 4;
            return std::string();
        }
        return string();
    }

private:
    std::string_view m_text;
    std::size_t m_at = 0;
};

struct Entry {
    std::string hash;
    bool switchedOff = false;
};

// Takes `key = value` of a hook's state, where `path` leads to the key.
void takeMember(const std::vector<std::string> &path, const std::string &value, bool isFalse,
                std::map<std::string, Entry, std::less<>> &entries)
{
    if (path.size() != 4 || path[0] != "hooks" || path[1] != "state")
        return;
    if (path[3] == "trusted_hash")
        entries[path[2]].hash = value;
    else if (path[3] == "enabled" && isFalse)
        entries[path[2]].switchedOff = true;
}

} // namespace

std::string codexHookKey(std::string_view hooksPath, std::string_view event, std::size_t group, std::size_t handler)
{
    return std::string(hooksPath) + ':' + snakeCase(event) + ':' + std::to_string(group) + ':'
        + std::to_string(handler);
}

std::string codexHookHash(std::string_view event, const json &handler)
{
    const std::string name = snakeCase(event);
    json timeout = 600; // what Codex takes when none is given
    if (const auto given = handler.find("timeout"); given != handler.end() && given->is_number_integer())
        timeout = std::max<std::int64_t>(given->get<std::int64_t>(), 1);
    if (name == "session_end") // Codex holds a session's end for 3 seconds at most
        timeout = std::min<std::int64_t>(timeout.get<std::int64_t>(), 3);
    json hook = {{"type", "command"}, {"async", false}, {"timeout", timeout}};
    if (const auto command = handler.find("command"); command != handler.end())
        hook["command"] = *command;
    if (const auto status = handler.find("statusMessage"); status != handler.end() && status->is_string())
        hook["statusMessage"] = *status;
    // Keys sorted, no spaces, text as it is: what Codex hashes.
    const json identity = {{"event_name", name}, {"hooks", json::array({hook})}};
    const std::string text = identity.dump(-1, ' ', false, json::error_handler_t::replace);
    return "sha256:"
        + QCryptographicHash::hash(QByteArrayView(text.data(), qsizetype(text.size())), QCryptographicHash::Sha256)
              .toHex()
              .toStdString();
}

std::map<std::string, std::string, std::less<>> codexTrustedHooks(std::string_view configToml)
{
    std::map<std::string, Entry, std::less<>> entries;
    std::vector<std::string> table;
    std::size_t start = 0;
    while (start <= configToml.size()) {
        std::size_t end = configToml.find('\n', start);
        if (end == std::string_view::npos)
            end = configToml.size();
        TomlLine line(configToml.substr(start, end - start));
        start = end + 1;

        if (line.atEnd())
            continue;
        if (line.take('[')) {
            table.clear();
            if (line.take('['))
                continue; // an array of tables: nothing of ours
            auto key = line.dottedKey();
            if (key && line.take(']') && line.atEnd())
                table = std::move(*key);
            else
                table = {"?"}; // a header this reader does not follow
            continue;
        }
        auto key = line.dottedKey();
        if (!key || !line.take('='))
            continue;
        std::vector<std::string> path = table;
        path.insert(path.end(), key->begin(), key->end());
        bool isFalse = false;
        if (line.take('{')) {
            // An inline table of the hook's state.
            if (line.take('}'))
                continue;
            do {
                auto member = line.dottedKey();
                if (!member || !line.take('='))
                    break;
                auto value = line.scalar(isFalse);
                if (!value)
                    break;
                auto memberPath = path;
                memberPath.insert(memberPath.end(), member->begin(), member->end());
                takeMember(memberPath, *value, isFalse, entries);
            } while (line.take(','));
            continue;
        }
        if (auto value = line.scalar(isFalse); value && line.atEnd())
            takeMember(path, *value, isFalse, entries);
    }

    std::map<std::string, std::string, std::less<>> trusted;
    for (auto &[key, entry] : entries) {
        if (!entry.switchedOff && !entry.hash.empty())
            trusted.emplace(key, std::move(entry.hash));
    }
    return trusted;
}

} // namespace lullwatch
