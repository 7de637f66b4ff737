#pragma once

#include "sessions/SessionState.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lullwatch {

class HookInstalling;

// What the user asked for on the command line.
struct Command {
    enum class Kind { Run, Headless, Help, Version, Status, Hooks, Invalid };
    enum class HookAction { Status, Install, Remove };

    Kind kind = Kind::Run;
    bool json = false; // status --json
    HookAction hookAction = HookAction::Status;
    std::optional<SessionSource> agent; // hooks --agent; none for all

    std::string invalidArgument; // the first one not understood
};

Command parseCommandLine(const std::vector<std::string_view> &arguments);

// The help text; the agents' words come from the agent table.
std::string usageText();

// Runs the hook action on each chosen installer and prints its row title,
// one line each. Returns the exit status: 1 when one of them failed.
int runHooksCommand(const Command &command, const std::vector<std::unique_ptr<HookInstalling>> &installers,
                    std::string &output);

} // namespace lullwatch
