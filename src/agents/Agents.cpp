#include "Agents.h"

#include <array>
#include <cstdlib>

namespace lullwatch {

namespace {

using enum SessionState;

constexpr std::array<HookEvent, 5> claudeEvents = {{
    {"SessionStart", Idle},
    {"UserPromptSubmit", Working},
    {"Notification", Waiting},
    {"Stop", Idle},
    {"SessionEnd", Ended},
}};

constexpr std::array<HookEvent, 6> copilotEvents = {{
    {"sessionStart", Idle},
    {"userPromptSubmitted", Working},
    {"preToolUse", Working},
    {"notification", Waiting},
    {"agentStop", Idle},
    {"sessionEnd", Ended},
}};

// Qwen Code fires Claude Code's events with Claude Code's payloads.
constexpr auto qwenEvents = claudeEvents;

// Gemini CLI's names for the same moments; a tool's end means the turn goes on.
constexpr std::array<HookEvent, 6> geminiEvents = {{
    {"SessionStart", Idle},
    {"BeforeAgent", Working},
    {"AfterTool", Working},
    {"Notification", Waiting},
    {"AfterAgent", Idle},
    {"SessionEnd", Ended},
}};

// Codex CLI asks for permission in an event of its own, without a kind.
constexpr std::array<HookEvent, 6> codexEvents = {{
    {"SessionStart", Idle},
    {"UserPromptSubmit", Working},
    {"PermissionRequest", Waiting},
    {"PostToolUse", Working},
    {"Stop", Idle},
    {"SessionEnd", Ended},
}};

constexpr std::array<std::string_view, 5> claudeQuietKinds = {
    "idle_prompt", "agent_completed", "auth_success", "elicitation_complete", "elicitation_response",
};

constexpr std::array<std::string_view, 5> copilotQuietKinds = {
    "idle_prompt", "agent_completed", "agent_idle", "shell_completed", "shell_detached_completed",
};

constexpr std::array<std::string_view, 2> qwenQuietKinds = {"idle_prompt", "auth_success"};

constexpr std::array<std::string_view, 2> claudeEarlierScripts = {"claude-hook.sh", "claude-hook.py"};

// Qwen Code is node running the package's bundle, started through its bin link.
constexpr std::array<std::string_view, 2> qwenCommandWords = {"*/qwen-code/cli.js", "*/.bin/qwen"};

// Gemini CLI is node running the package's bundle, named as the user started
// it: the bundle, or its link in a bin folder. The entry relaunches itself
// with the same words as a second node, which runs the hooks.
constexpr std::array<std::string_view, 3> geminiCommandWords
    = {"*/gemini-cli/bundle/gemini.js", "*/bin/gemini", "*/.bin/gemini"};

// Codex CLI serves the sessions of a terminal from one background
// app-server, which outlives them.
constexpr std::array<std::string_view, 1> codexSharedWords = {"app-server"};

constexpr std::array<Agent, 5> table = {{
    {
        .source = SessionSource::Claude,
        .raw = "claude",
        .name = "Claude Code",
        .shortName = "Claude",
        .hookFormat = HookFormat::ClaudeSettings,
        .hookScript = "claude-hook.sh",
        .versionStamp = "hook-version",
        .hookVersion = 6,
        .hookDetail = "Adds hooks to ~/.claude/settings.json (a backup is written first). Restart Claude Code "
                      "sessions after connecting.",
        .executable = "claude",
        .configFolder = {".claude", "", false},
        .settingsFile = "settings.json",
        .hookTimeout = 5,
        .hooksNeedApproval = false,
        .approvalHint = "",
        .earlierHookScripts = claudeEarlierScripts,
        .events = claudeEvents,
        .payload = {.sessionId = "session_id",
                    .event = "hook_event_name",
                    .fixedEvent = "",
                    .cwd = "cwd",
                    .transcriptPath = "transcript_path"},
        .ownerPattern = "*[Cc]laude*",
        .ownerCommandPatterns = {},
        .sharedProcessCommandPatterns = {},
        .transcript = TranscriptFormat::ClaudeCode,
        .notificationKindsNotNeedingUser = claudeQuietKinds,
    },
    {
        .source = SessionSource::Copilot,
        .raw = "copilot",
        .name = "Copilot CLI",
        .shortName = "Copilot",
        .hookFormat = HookFormat::CopilotHooksFile,
        .hookScript = "copilot-hook.sh",
        .versionStamp = "copilot-hook-version",
        .hookVersion = 4,
        .hookDetail = "Adds a hooks file at ~/.copilot/hooks/lullwatch.json. Restart Copilot CLI sessions after "
                      "connecting.",
        .executable = "copilot",
        .configFolder = {".copilot", "COPILOT_HOME", false},
        .settingsFile = "",
        .hookTimeout = 5,
        .hooksNeedApproval = false,
        .approvalHint = "",
        .earlierHookScripts = {},
        .events = copilotEvents,
        .payload = {.sessionId = "sessionId",
                    .event = "",
                    .fixedEvent = "copilot",
                    .cwd = "cwd",
                    .transcriptPath = "transcriptPath"},
        .ownerPattern = "*[Cc]opilot*",
        .ownerCommandPatterns = {},
        .sharedProcessCommandPatterns = {},
        .transcript = TranscriptFormat::None,
        .notificationKindsNotNeedingUser = copilotQuietKinds,
    },
    {
        .source = SessionSource::Qwen,
        .raw = "qwen",
        .name = "Qwen Code",
        .shortName = "Qwen",
        .hookFormat = HookFormat::ClaudeSettings,
        .hookScript = "qwen-hook.sh",
        .versionStamp = "qwen-hook-version",
        .hookVersion = 1,
        .hookDetail = "Adds hooks to ~/.qwen/settings.json (a backup is written first). Restart Qwen Code "
                      "sessions after connecting.",
        .executable = "qwen",
        .configFolder = {".qwen", "", false},
        .settingsFile = "settings.json",
        .hookTimeout = 5,
        .hooksNeedApproval = false,
        .approvalHint = "",
        .earlierHookScripts = {},
        .events = qwenEvents,
        .payload = {.sessionId = "session_id",
                    .event = "hook_event_name",
                    .fixedEvent = "",
                    .cwd = "cwd",
                    .transcriptPath = "transcript_path"},
        .ownerPattern = "*[Qq]wen*",
        .ownerCommandPatterns = qwenCommandWords,
        .sharedProcessCommandPatterns = {},
        .transcript = TranscriptFormat::QwenCode,
        .notificationKindsNotNeedingUser = qwenQuietKinds,
    },
    {
        .source = SessionSource::Gemini,
        .raw = "gemini",
        .name = "Gemini CLI",
        .shortName = "Gemini",
        .hookFormat = HookFormat::ClaudeSettings,
        .hookScript = "gemini-hook.sh",
        .versionStamp = "gemini-hook-version",
        .hookVersion = 1,
        .hookDetail = "Adds hooks to ~/.gemini/settings.json (a backup is written first). Restart Gemini CLI "
                      "sessions after connecting.",
        .executable = "gemini",
        .configFolder = {".gemini", "GEMINI_CLI_HOME", true},
        .settingsFile = "settings.json",
        .hookTimeout = 5000,
        .hooksNeedApproval = false,
        .approvalHint = "",
        .earlierHookScripts = {},
        .events = geminiEvents,
        .payload = {.sessionId = "session_id",
                    .event = "hook_event_name",
                    .fixedEvent = "",
                    .cwd = "cwd",
                    .transcriptPath = "transcript_path"},
        .ownerPattern = "*[Gg]emini*",
        .ownerCommandPatterns = geminiCommandWords,
        .sharedProcessCommandPatterns = {},
        .transcript = TranscriptFormat::GeminiCli,
        .notificationKindsNotNeedingUser = {}, // it notifies only to ask for a tool's permission
    },
    {
        .source = SessionSource::Codex,
        .raw = "codex",
        .name = "Codex CLI",
        .shortName = "Codex",
        .hookFormat = HookFormat::ClaudeSettings,
        .hookScript = "codex-hook.sh",
        .versionStamp = "codex-hook-version",
        .hookVersion = 1,
        .hookDetail = "Adds hooks to ~/.codex/hooks.json (a backup is written first). Then review and trust them "
                      "in Codex with /hooks, and restart Codex CLI sessions.",
        .executable = "codex",
        .configFolder = {".codex", "CODEX_HOME", false},
        .settingsFile = "hooks.json",
        .hookTimeout = 3, // the most Codex allows at a session's end
        .hooksNeedApproval = true,
        .approvalHint = "Codex runs the hooks once you trust them: open Codex CLI, type /hooks, and trust "
                        "Lullwatch's hooks.",
        .earlierHookScripts = {},
        .events = codexEvents,
        .payload = {.sessionId = "session_id",
                    .event = "hook_event_name",
                    .fixedEvent = "",
                    .cwd = "cwd",
                    .transcriptPath = "transcript_path"},
        .ownerPattern = "codex",
        .ownerCommandPatterns = {},
        .sharedProcessCommandPatterns = codexSharedWords,
        .transcript = TranscriptFormat::CodexRollout,
        .notificationKindsNotNeedingUser = {},
    },
}};

} // namespace

std::span<const Agent> agents()
{
    return table;
}

const char *defaultEnvironment(const char *name)
{
    return std::getenv(name);
}

std::filesystem::path configFolderOf(const Agent &agent, const std::filesystem::path &home,
                                     const char *(*environment)(const char *))
{
    const ConfigFolder &folder = agent.configFolder;
    if (!folder.variable.empty()) {
        const std::string variable(folder.variable);
        const char *value = environment(variable.c_str());
        if (value && *value)
            return folder.variableNamesHome ? std::filesystem::path(value) / folder.underHome
                                            : std::filesystem::path(value);
    }
    return home / folder.underHome;
}

const Agent &agentFor(SessionSource source)
{
    for (const Agent &agent : table) {
        if (agent.source == source)
            return agent;
    }
    return table.front();
}

const Agent *agentFromRaw(std::string_view raw)
{
    for (const Agent &agent : table) {
        if (agent.raw == raw)
            return &agent;
    }
    return nullptr;
}

} // namespace lullwatch
