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

constexpr std::array<std::string_view, 5> claudeQuietKinds = {
    "idle_prompt", "agent_completed", "auth_success", "elicitation_complete", "elicitation_response",
};

constexpr std::array<std::string_view, 5> copilotQuietKinds = {
    "idle_prompt", "agent_completed", "agent_idle", "shell_completed", "shell_detached_completed",
};

constexpr std::array<Agent, 2> table = {{
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
        .events = claudeEvents,
        .payload = {.sessionId = "session_id",
                    .event = "hook_event_name",
                    .fixedEvent = "",
                    .cwd = "cwd",
                    .transcriptPath = "transcript_path"},
        .ownerPattern = "*[Cc]laude*",
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
        .events = copilotEvents,
        .payload = {.sessionId = "sessionId",
                    .event = "",
                    .fixedEvent = "copilot",
                    .cwd = "cwd",
                    .transcriptPath = "transcriptPath"},
        .ownerPattern = "*[Cc]opilot*",
        .transcript = TranscriptFormat::None,
        .notificationKindsNotNeedingUser = copilotQuietKinds,
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
