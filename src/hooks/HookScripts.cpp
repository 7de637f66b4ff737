#include "HookScripts.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace lullwatch {

namespace {

// One template for both agents. @NAME@ markers are filled per agent; the
// script must run unchanged under dash, bash and busybox sh, print nothing
// on standard output and always exit 0.
constexpr std::string_view scriptTemplate = R"SCRIPT(#!/bin/sh
# Lullwatch hook — records @AGENT_NAME@ session state for the menu bar app.
# Installed and overwritten by the app; edit the app, not this file.
# Reads the hook payload on stdin and writes one record per session into
# @SESSIONS_COMMENT@/<id>.json.
# Usage: @SCRIPT_NAME@ <state>@USAGE_PAD@(state: idle | working | waiting | ended)

LC_ALL=C
export LC_ALL
STATE="${1:-working}"
SESSIONS=@SESSIONS@
JSON=@JSON_TOOL@

# The payload goes straight into the record's temporary file in the private
# sessions folder: no copy of the user's prompt lands anywhere else.
if [ ! -d "$SESSIONS" ]; then
    [ "$STATE" = "ended" ] && exit 0
    (umask 077 && mkdir -p "$SESSIONS") 2>/dev/null || exit 0
fi
record=$(mktemp "$SESSIONS/.record.XXXXXXXX") || exit 0
trap 'rm -f "$record" 2>/dev/null' EXIT
trap 'exit 0' INT TERM HUP

newline='
'

# A payload member as text in $value, line feeds at its end included (a
# command substitution alone would drop them); empty when there is none.
read_key() {
    value=$("$JSON" extract "$1" "$record" 2>/dev/null && printf x) || value=
    value=${value%x}
    value=${value%"$newline"}
}

set_string() {
    "$JSON" replace "$1" -string "$2" "$record" >/dev/null 2>&1
}

set_integer() {
    "$JSON" replace "$1" -integer "$2" "$record" >/dev/null 2>&1
}

cat > "$record" 2>/dev/null || exit 0

read_key @ID_KEY@
session_id=$value
[ -n "$session_id" ] || exit 0

# Only letters, digits, ".", "_" and "-", at most 128 of them: a hostile id
# cannot leave the sessions folder. Agents' ids already qualify, so the
# programs run only for the rest. (A shell variable cannot hold a NUL byte:
# one in an id is dropped, not replaced.)
case $session_id in
    *[!ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-]*)
        session_id=$(printf '%s' "$session_id" | tr -c 'A-Za-z0-9._-' '_' | cut -c1-128) ;;
esac
if [ "${#session_id}" -gt 128 ]; then
    session_id=$(printf '%s' "$session_id" | cut -c1-128)
fi
[ -n "$session_id" ] || exit 0
target="$SESSIONS/$session_id.json"

if [ "$STATE" = "ended" ]; then
    rm -f "$target" 2>/dev/null
    exit 0
fi

# Records stay small: a long prompt or tool result is not kept.
"$JSON" trim "$record" >/dev/null 2>&1 || exit 0

@WRITE_KEYS@
set_integer updatedAt "$(date +%s)" || exit 0

# The owning agent: the nearest ancestor whose name matches, at most 30 steps
# up, else the direct parent. Agents start hooks through "sh -c", so the
# direct parent is usually a shell that exits at once.
owner=$PPID
p=$PPID
n=0
while [ "$n" -lt 30 ]; do
    case $p in ''|*[!0-9]*) break ;; esac
    [ "$p" -gt 1 ] || break
    name=
    parent=
    if [ -d /proc/self ]; then
        [ -r "/proc/$p/status" ] || break
        while IFS= read -r line; do
            case $line in
                Name:*) name=${line#Name:} ;;
                PPid:*) parent=${line#PPid:}; break ;;
            esac
        done < "/proc/$p/status"
        parent=${parent#"${parent%%[!	 ]*}"}
    else
        name=$(ps -o comm= -p "$p" 2>/dev/null) || break
        parent=$(ps -o ppid= -p "$p" 2>/dev/null | tr -d ' ')
    fi
    case $name in
        @OWNER_PATTERN@) owner=$p; break ;;
    esac
    p=$parent
    n=$((n + 1))
done
case $owner in
    ''|*[!0-9]*) ;;
    *) set_integer pid "$owner" ;;
esac

mv -f "$record" "$target" 2>/dev/null && record=
exit 0
)SCRIPT";

constexpr std::string_view claudeKeys = R"KEYS(set_string sessionId "$session_id" || exit 0
set_string state "$STATE" || exit 0
set_string source claude || exit 0
read_key hook_event_name
set_string event "$value"
read_key cwd
set_string cwd "$value"
read_key transcript_path
set_string transcriptPath "$value")KEYS";

constexpr std::string_view copilotKeys = R"KEYS(set_string sessionId "$session_id" || exit 0
set_string source copilot || exit 0
set_string state "$STATE" || exit 0
set_string event copilot || exit 0
read_key cwd
set_string cwd "$value"
read_key transcriptPath
set_string transcriptPath "$value")KEYS";

// Comments may not break the script: no line breaks from a folder name.
std::string commentSafe(std::string_view text)
{
    std::string safe(text);
    for (char &c : safe) {
        if (c == '\n' || c == '\r')
            c = '?';
    }
    return safe;
}

} // namespace

std::string shellQuote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += R"('\'')";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string hookScriptText(HookAgent agent, std::string_view sessionsDirectory, std::string_view jsonToolPath)
{
    const bool claude = agent == HookAgent::Claude;
    const std::string sessionsComment = commentSafe(sessionsDirectory);
    const std::string sessions = shellQuote(sessionsDirectory);
    const std::string jsonTool = shellQuote(jsonToolPath);
    const std::pair<std::string_view, std::string_view> values[] = {
        {"AGENT_NAME", claude ? "Claude Code" : "Copilot CLI"},
        {"SCRIPT_NAME", claude ? "claude-hook.sh" : "copilot-hook.sh"},
        {"USAGE_PAD", claude ? "    " : "   "},
        {"ID_KEY", claude ? "session_id" : "sessionId"},
        {"WRITE_KEYS", claude ? claudeKeys : copilotKeys},
        {"OWNER_PATTERN", claude ? "*[Cc]laude*" : "*[Cc]opilot*"},
        {"SESSIONS_COMMENT", sessionsComment},
        {"SESSIONS", sessions},
        {"JSON_TOOL", jsonTool},
    };

    // One pass, so that a value that happens to contain a marker (a folder
    // named @SESSIONS@) is never expanded again.
    std::string text;
    std::size_t position = 0;
    while (position < scriptTemplate.size()) {
        const auto open = scriptTemplate.find('@', position);
        const auto close = open == std::string_view::npos ? open : scriptTemplate.find('@', open + 1);
        if (close == std::string_view::npos) {
            text += scriptTemplate.substr(position);
            break;
        }
        const auto name = scriptTemplate.substr(open + 1, close - open - 1);
        const auto found = std::find_if(std::begin(values), std::end(values),
                                        [&](const auto &value) { return value.first == name; });
        if (found == std::end(values)) {
            text += scriptTemplate.substr(position, close - position);
            position = close;
            continue;
        }
        text += scriptTemplate.substr(position, open - position);
        text += found->second;
        position = close + 1;
    }
    return text;
}

} // namespace lullwatch
