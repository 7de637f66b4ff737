#pragma once

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
    bool claude = true; // hooks --agent
    bool copilot = true;
    std::string invalidArgument; // the first one not understood
};

Command parseCommandLine(const std::vector<std::string_view> &arguments);

extern const std::string_view usageText;

// Runs the hook action on each chosen installer and prints its row title,
// one line each. Returns the exit status: 1 when one of them failed.
int runHooksCommand(const Command &command, HookInstalling &claude, HookInstalling &copilot, std::string &output);

} // namespace lullwatch
