#include "CommandLine.h"

#include "agents/Agents.h"
#include "hooks/HookInstalling.h"

namespace lullwatch {

std::string usageText()
{
    std::string names;
    std::string words;
    const auto list = agents();
    for (std::size_t i = 0; i < list.size(); ++i) {
        names += (i == 0 ? "" : i + 1 == list.size() ? " and " : ", ") + std::string(list[i].name);
        words += std::string(list[i].raw) + ", ";
    }
    return R"(Usage: lullwatch [command]

Watches )"
        + names + R"( sessions: what each one is doing and how
many tokens it has spent.

With no command, runs Lullwatch: it keeps the computer awake while agents
work and says when one needs you.

Commands:
  --headless                Run without a tray icon, printing the state as it
                            changes
  status [--json]           Show the current sessions as a table, or as JSON
  hooks [ACTION] [--agent AGENT]
                            Show, install or remove the agents' hooks.
                            ACTION: status (default), install, remove
                            AGENT: )"
        + words + R"(all (default)

Options:
  --help                    Show this help and exit
  --version                 Show the version and exit
)";
}

namespace {

Command invalid(std::string_view argument)
{
    Command command;
    command.kind = Command::Kind::Invalid;
    command.invalidArgument = std::string(argument);
    return command;
}

Command parseHooks(const std::vector<std::string_view> &arguments)
{
    Command command;
    command.kind = Command::Kind::Hooks;
    bool actionSeen = false;
    bool agentSeen = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const auto argument = arguments[i];
        if (argument == "--agent" && !agentSeen && i + 1 < arguments.size()) {
            const auto word = arguments[++i];
            agentSeen = true;
            if (const Agent *agent = agentFromRaw(word))
                command.agent = agent->source;
            else if (word != "all")
                return invalid(word);
        } else if (!actionSeen && (argument == "status" || argument == "install" || argument == "remove")) {
            actionSeen = true;
            command.hookAction = argument == "install" ? Command::HookAction::Install
                : argument == "remove"                 ? Command::HookAction::Remove
                                                       : Command::HookAction::Status;
        } else {
            return invalid(argument);
        }
    }
    return command;
}

} // namespace

Command parseCommandLine(const std::vector<std::string_view> &arguments)
{
    Command command;
    if (arguments.empty())
        return command;

    const auto first = arguments.front();
    if (arguments.size() == 1 && first == "--help")
        command.kind = Command::Kind::Help;
    else if (arguments.size() == 1 && first == "--version")
        command.kind = Command::Kind::Version;
    else if (arguments.size() == 1 && first == "--headless")
        command.kind = Command::Kind::Headless;
    else if (first == "status" && arguments.size() == 1)
        command.kind = Command::Kind::Status;
    else if (first == "status" && arguments.size() == 2 && arguments[1] == "--json") {
        command.kind = Command::Kind::Status;
        command.json = true;
    } else if (first == "status")
        return invalid(arguments[1]);
    else if (first == "hooks")
        return parseHooks(arguments);
    else
        return invalid(first);
    return command;
}

int runHooksCommand(const Command &command, const std::vector<std::unique_ptr<HookInstalling>> &installers,
                    std::string &output)
{
    int exitStatus = 0;
    for (const auto &installer : installers) {
        if (command.agent && installer->agent().source != *command.agent)
            continue;
        switch (command.hookAction) {
        case Command::HookAction::Status:
            installer->refresh();
            break;
        case Command::HookAction::Install:
            installer->install();
            break;
        case Command::HookAction::Remove:
            installer->uninstall();
            break;
        }
        output += hookRowTitle(*installer) + '\n';
        if (installer->status().kind() == HookStatus::Kind::AwaitingApproval)
            output += "  " + std::string(installer->agent().approvalHint) + '\n';
        if (installer->status().kind() == HookStatus::Kind::Failed)
            exitStatus = 1;
    }
    return exitStatus;
}

} // namespace lullwatch
