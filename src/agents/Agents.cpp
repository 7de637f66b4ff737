#include "Agents.h"

#include <array>

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

constexpr std::array<Agent, 3> table = {{
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
        .settingsFile = ".claude/settings.json",
        .earlierHookScripts = claudeEarlierScripts,
        .events = claudeEvents,
        .payload = {.sessionId = "session_id",
                    .event = "hook_event_name",
                    .fixedEvent = "",
                    .cwd = "cwd",
                    .transcriptPath = "transcript_path"},
        .ownerPattern = "*[Cc]laude*",
        .ownerCommandPatterns = {},
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
        .settingsFile = "",
        .earlierHookScripts = {},
        .events = copilotEvents,
        .payload = {.sessionId = "sessionId",
                    .event = "",
                    .fixedEvent = "copilot",
                    .cwd = "cwd",
                    .transcriptPath = "transcriptPath"},
        .ownerPattern = "*[Cc]opilot*",
        .ownerCommandPatterns = {},
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
        .settingsFile = ".qwen/settings.json",
        .earlierHookScripts = {},
        .events = qwenEvents,
        .payload = {.sessionId = "session_id",
                    .event = "hook_event_name",
                    .fixedEvent = "",
                    .cwd = "cwd",
                    .transcriptPath = "transcript_path"},
        .ownerPattern = "*[Qq]wen*",
        .ownerCommandPatterns = qwenCommandWords,
        .transcript = TranscriptFormat::QwenCode,
        .notificationKindsNotNeedingUser = qwenQuietKinds,
    },
}};

} // namespace

std::span<const Agent> agents()
{
    return table;
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
