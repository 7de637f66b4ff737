#pragma once

#include "sessions/SessionState.h"

#include <span>
#include <string_view>

namespace lullwatch {

// How an agent's hooks are configured, which decides the installer.
enum class HookFormat {
    ClaudeSettings, // groups of ours in the agent's settings.json, beside the user's
    CopilotHooksFile, // a hooks file of our own in the agent's hooks folder
};

// Which reader counts an agent's tokens in its transcript.
enum class TranscriptFormat { None, ClaudeCode, QwenCode };

// One hook event the agent offers, and the state our hook records for it.
struct HookEvent {
    std::string_view name;
    SessionState state;
};

// Where the recorder finds what a record needs in a hook's payload.
struct PayloadKeys {
    std::string_view sessionId;
    std::string_view event; // empty: every record's event is `fixedEvent`
    std::string_view fixedEvent;
    std::string_view cwd;
    std::string_view transcriptPath;
};

// Everything that differs between the agents Lullwatch watches. Adding an
// agent is a row in the table plus what is truly its own: an installer for a
// new configuration format, a reader for a new transcript format.
struct Agent {
    SessionSource source;
    std::string_view raw; // the source word in records and on the command line
    std::string_view name; // "Claude Code"
    std::string_view shortName; // "Claude"
    HookFormat hookFormat;
    std::string_view hookScript; // file name in the application's folder
    std::string_view versionStamp; // file name of the installed script's version
    int hookVersion;
    std::string_view hookDetail; // what connecting does, as the hook row says it
    // The settings file that holds the agent's hooks, under the home folder
    // (HookFormat::ClaudeSettings only): ".claude/settings.json".
    std::string_view settingsFile;
    // Names of the scripts that earlier releases installed, in the
    // application's folder and in the folder those releases used.
    std::span<const std::string_view> earlierHookScripts;
    std::span<const HookEvent> events;
    PayloadKeys payload;
    // fnmatch(3) pattern for the name of the agent's process, which owns the session.
    std::string_view ownerPattern;
    // fnmatch(3) patterns for a word of the owner's command line, for agents
    // that run under an interpreter (node .../cli.js): a process whose
    // command line has a matching word owns the session too.
    std::span<const std::string_view> ownerCommandPatterns;
    TranscriptFormat transcript;
    // Notification kinds that tell the user something but ask nothing of
    // them: a session waiting for one of these is idle.
    std::span<const std::string_view> notificationKindsNotNeedingUser;
};

std::span<const Agent> agents();
const Agent &agentFor(SessionSource source);
// The agent of a raw source word; none for any other text (exact, case-sensitive).
const Agent *agentFromRaw(std::string_view raw);

} // namespace lullwatch
