#pragma once

#include "sessions/SessionState.h"

#include <filesystem>
#include <span>
#include <string_view>

namespace lullwatch {

// How an agent's hooks are configured, which decides the installer.
enum class HookFormat {
    ClaudeSettings, // groups of ours in the agent's settings.json, beside the user's
    CopilotHooksFile, // a hooks file of our own in the agent's hooks folder
};

// Which reader counts an agent's tokens in its transcript.
enum class TranscriptFormat { None, ClaudeCode, QwenCode, GeminiCli, CodexRollout };

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

// The agent's own folder in the home folder, and the environment variable
// that moves it.
struct ConfigFolder {
    std::string_view underHome; // ".codex"
    std::string_view variable; // "CODEX_HOME"; empty when nothing moves it
    // Whether the variable names a home folder that holds `underHome`
    // (GEMINI_CLI_HOME) rather than the folder itself (CODEX_HOME).
    bool variableNamesHome = false;
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
    // The command that starts the agent, looked for on PATH.
    std::string_view executable;
    ConfigFolder configFolder;
    // The file that holds the agent's hooks, in its folder (HookFormat::ClaudeSettings
    // only): "settings.json".
    std::string_view settingsFile;
    // A hook's time limit, in the unit the agent reads it in.
    int hookTimeout;
    // Whether the agent runs hooks from the user's own files only once the
    // user has reviewed and trusted them in the agent.
    bool hooksNeedApproval;
    // What the user does in the agent to trust the hooks (hooksNeedApproval only).
    std::string_view approvalHint;
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
    // fnmatch(3) patterns for a word of the command line of a process that
    // matches the above but serves many sessions, so is no session's owner.
    std::span<const std::string_view> sharedProcessCommandPatterns;
    TranscriptFormat transcript;
    // Notification kinds that tell the user something but ask nothing of
    // them: a session waiting for one of these is idle.
    std::span<const std::string_view> notificationKindsNotNeedingUser;
};

std::span<const Agent> agents();
// getenv(3).
const char *defaultEnvironment(const char *name);
// The agent's folder: `configFolder.underHome` in `home`, unless the
// agent's variable in `environment` moves it.
std::filesystem::path configFolderOf(const Agent &agent, const std::filesystem::path &home,
                                     const char *(*environment)(const char *) = defaultEnvironment);
const Agent &agentFor(SessionSource source);
// The agent of a raw source word; none for any other text (exact, case-sensitive).
const Agent *agentFromRaw(std::string_view raw);

} // namespace lullwatch
