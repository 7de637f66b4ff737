#include "AutostartLoginItem.h"

#include "files/Files.h"
#include "files/XdgPaths.h"

#include <QStandardPaths>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <map>
#include <sstream>
#include <unistd.h>

namespace lullwatch {

namespace {

// Desktop-entry string escapes, undone before the Exec quoting is read.
std::string unescapeString(std::string_view value)
{
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        switch (const char next = value[++i]) {
        case 's':
            text += ' ';
            break;
        case 'n':
            text += '\n';
            break;
        case 't':
            text += '\t';
            break;
        case 'r':
            text += '\r';
            break;
        default:
            text += next;
        }
    }
    return text;
}

// The program an Exec command line starts: its first argument, unquoted,
// with the "%%" field code turned back into "%".
std::string firstExecArgument(std::string_view command)
{
    std::string argument;
    std::size_t i = command.find_first_not_of(" \t");
    if (i == std::string_view::npos)
        return argument;
    if (command[i] == '"') {
        for (++i; i < command.size() && command[i] != '"'; ++i) {
            if (command[i] == '\\' && i + 1 < command.size())
                ++i;
            argument += command[i];
        }
    } else {
        for (; i < command.size() && command[i] != ' ' && command[i] != '\t'; ++i)
            argument += command[i];
    }
    for (std::size_t percent = argument.find("%%"); percent != std::string::npos;
         percent = argument.find("%%", percent + 1))
        argument.erase(percent, 1);
    return argument;
}

// The keys of the [Desktop Entry] group, raw.
std::map<std::string, std::string> desktopEntryKeys(const std::string &text)
{
    std::map<std::string, std::string> keys;
    std::istringstream lines(text);
    bool inEntry = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inEntry = line.rfind("[Desktop Entry]", 0) == 0;
            continue;
        }
        const auto equals = line.find('=');
        if (!inEntry || equals == std::string::npos)
            continue;
        auto key = line.substr(0, equals);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
            key.pop_back();
        const auto value = line.find_first_not_of(" \t", equals + 1);
        keys.try_emplace(key, value == std::string::npos ? std::string() : line.substr(value));
    }
    return keys;
}

bool isExecutable(const std::string &program)
{
    if (program.empty())
        return false;
    if (program.front() == '/')
        return ::access(program.c_str(), X_OK) == 0;
    return !QStandardPaths::findExecutable(QString::fromStdString(program)).isEmpty();
}

} // namespace

AutostartLoginItem::AutostartLoginItem(std::filesystem::path desktopFile, std::filesystem::path executable)
    : m_desktopFile(std::move(desktopFile))
    , m_executable(std::move(executable))
{ }

std::filesystem::path AutostartLoginItem::defaultDesktopFile()
{
    return configHomeDirectory() / "autostart" / "lullwatch.desktop";
}

std::string AutostartLoginItem::execValue(const std::filesystem::path &program)
{
    // A path of plain characters stands as it is (/usr/bin/lullwatch, as
    // installed). Any other is quoted, which keeps reserved characters whole;
    // inside the quotes ", `, $ and \ take a backslash, and "%" doubles so it
    // is no field code.
    const std::string text = program.string();
    const auto isPlain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || std::string_view("/._+-").find(c) != std::string_view::npos;
    };
    if (!text.empty() && std::all_of(text.begin(), text.end(), isPlain))
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
        if (c == '%')
            quoted += '%';
    }
    quoted += '"';

    // The string escapes apply on top of the quoting.
    std::string value;
    for (const char c : quoted) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        default:
            value += c;
        }
    }
    return value;
}

std::optional<std::string> AutostartLoginItem::registerItem()
{
    std::error_code error;
    std::filesystem::create_directories(m_desktopFile.parent_path(), error);
    if (error)
        return fileError("create", m_desktopFile.parent_path(), error.value());

    auto program = std::filesystem::absolute(m_executable, error);
    if (error)
        program = m_executable;
    const std::string entry = "[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Lullwatch\n"
                              "Comment=Keeps the computer awake while coding agents work\n"
                              "Exec="
        + execValue(program) + "\n"
        + "Icon=lullwatch\n"
          "Terminal=false\n"
          "X-GNOME-Autostart-enabled=true\n";
    return writeFileAtomically(m_desktopFile, entry);
}

std::optional<std::string> AutostartLoginItem::unregisterItem()
{
    // unlink, not remove: a folder in the entry's place is not ours to delete.
    if (::unlink(m_desktopFile.c_str()) != 0 && errno != ENOENT)
        return fileError("remove", m_desktopFile, errno);
    return std::nullopt;
}

bool AutostartLoginItem::isEnabled() const
{
    const auto text = readWholeFile(m_desktopFile);
    if (!text)
        return false;
    const auto keys = desktopEntryKeys(*text);
    const auto value = [&](const std::string &key) {
        const auto found = keys.find(key);
        return found == keys.end() ? std::string() : unescapeString(found->second);
    };
    // GNOME's startup applications switch an entry off with its own key.
    if (value("Hidden") == "true" || value("X-GNOME-Autostart-enabled") == "false")
        return false;
    return isExecutable(firstExecArgument(value("Exec")));
}

} // namespace lullwatch
