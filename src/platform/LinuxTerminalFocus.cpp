#include "LinuxTerminalFocus.h"

#include "X11WindowActivation.h"

#include <QProcess>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

namespace lullwatch {

namespace {

// Deeper than any real process tree; ends the walk should /proc ever loop.
constexpr std::size_t maxAncestors = 256;
// A tmux command answers at once; one that does not has a server that hangs.
constexpr int tmuxTimeoutMilliseconds = 3000;

std::optional<std::string> readProcessFile(std::int32_t pid, const char *file)
{
    std::ifstream in("/proc/" + std::to_string(pid) + '/' + file, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The parent in /proc/PID/stat, after the command name, which may itself
// hold spaces and parentheses: "PID (NAME) STATE PPID ...".
std::optional<std::int32_t> parentOf(std::int32_t pid)
{
    const auto stat = readProcessFile(pid, "stat");
    if (!stat)
        return std::nullopt;
    const auto close = stat->rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    char state = 0;
    int parent = 0;
    if (std::sscanf(stat->c_str() + close + 1, " %c %d", &state, &parent) != 2)
        return std::nullopt;
    return parent;
}

// The process and its ancestors, nearest first, up to but not including
// the init process; empty when the process is gone.
std::vector<std::int32_t> lineage(std::int32_t pid)
{
    std::vector<std::int32_t> processes;
    for (std::int32_t current = pid; current > 1 && processes.size() < maxAncestors;) {
        const auto parent = parentOf(current);
        if (!parent)
            break;
        processes.push_back(current);
        current = *parent;
    }
    return processes;
}

std::optional<std::string> environmentValue(const std::string &environment, std::string_view name)
{
    std::size_t start = 0;
    while (start < environment.size()) {
        const auto end = std::min(environment.find('\0', start), environment.size());
        const std::string_view entry(environment.data() + start, end - start);
        if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
            return std::string(entry.substr(name.size() + 1));
        start = end + 1;
    }
    return std::nullopt;
}

struct TmuxPane {
    QString socket;
    QString id; // "%3"
};

// The pane named by the nearest process in the lineage whose environment
// has TMUX ("SOCKET,SERVER PID,SESSION") and TMUX_PANE, as tmux sets them.
std::optional<TmuxPane> tmuxPaneOf(const std::vector<std::int32_t> &lineage)
{
    for (const std::int32_t pid : lineage) {
        const auto environment = readProcessFile(pid, "environ");
        if (!environment)
            continue;
        const auto tmux = environmentValue(*environment, "TMUX");
        const auto pane = environmentValue(*environment, "TMUX_PANE");
        if (!tmux || !pane)
            continue;
        // The socket's path may hold commas itself; the last two fields are numbers.
        const auto sessionField = tmux->rfind(',');
        const auto serverField = sessionField == std::string::npos || sessionField == 0
            ? std::string::npos
            : tmux->rfind(',', sessionField - 1);
        if (serverField == std::string::npos || serverField == 0 || pane->empty())
            return std::nullopt;
        return TmuxPane {QString::fromStdString(tmux->substr(0, serverField)), QString::fromStdString(*pane)};
    }
    return std::nullopt;
}

// Standard output of `tmux -S SOCKET ARGUMENTS`, or nothing when it failed.
std::optional<QString> runTmux(const QString &socket, const QStringList &arguments)
{
    QProcess tmux;
    tmux.setStandardInputFile(QProcess::nullDevice());
    tmux.setStandardErrorFile(QProcess::nullDevice());
    tmux.start(QStringLiteral("tmux"), QStringList {QStringLiteral("-S"), socket} + arguments);
    if (!tmux.waitForFinished(tmuxTimeoutMilliseconds)) {
        tmux.kill();
        tmux.waitForFinished();
        return std::nullopt;
    }
    if (tmux.exitStatus() != QProcess::NormalExit || tmux.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(tmux.readAllStandardOutput());
}

// The pids of the clients attached to the pane's session, the one the user
// touched last first.
std::vector<std::int32_t> clientsOf(const TmuxPane &pane)
{
    const auto listed = runTmux(pane.socket,
                                {QStringLiteral("list-clients"), QStringLiteral("-t"), pane.id, QStringLiteral("-F"),
                                 QStringLiteral("#{client_activity} #{client_pid}")});
    if (!listed)
        return {};
    std::vector<std::pair<qint64, std::int32_t>> clients;
    for (const auto &line : listed->split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const auto fields = line.split(QLatin1Char(' '));
        bool pidRead = false;
        const int pid = fields.value(1).toInt(&pidRead);
        if (pidRead && pid > 0)
            clients.emplace_back(fields.value(0).toLongLong(), pid);
    }
    std::sort(clients.begin(), clients.end(), std::greater<>());
    std::vector<std::int32_t> pids;
    for (const auto &client : clients)
        pids.push_back(client.second);
    return pids;
}

} // namespace

LinuxTerminalFocus::LinuxTerminalFocus(std::string display)
    : m_display(std::move(display))
{
    m_executor.setMaxThreadCount(1);
}

LinuxTerminalFocus::~LinuxTerminalFocus()
{
    m_executor.waitForDone();
}

QFuture<bool> LinuxTerminalFocus::focus(std::int32_t pid)
{
    return QtConcurrent::run(&m_executor, [this, pid] { return focusOnExecutor(pid); });
}

bool LinuxTerminalFocus::focusOnExecutor(std::int32_t pid) const
{
    const auto processes = lineage(pid);
    if (processes.empty())
        return false;
    const auto pane = tmuxPaneOf(processes);
    // The pane's own process must be the agent or one of its ancestors: a
    // terminal started from inside tmux passes TMUX_PANE on to what runs in it.
    const auto panePid = pane ? runTmux(pane->socket,
                                        {QStringLiteral("display-message"), QStringLiteral("-p"), QStringLiteral("-t"),
                                         pane->id, QStringLiteral("#{pane_pid}")})
                              : std::nullopt;
    if (!panePid || std::find(processes.begin(), processes.end(), panePid->trimmed().toInt()) == processes.end())
        return activateWindowOfProcess(m_display, processes);

    runTmux(pane->socket, {QStringLiteral("select-window"), QStringLiteral("-t"), pane->id});
    runTmux(pane->socket, {QStringLiteral("select-pane"), QStringLiteral("-t"), pane->id});
    // The tmux server is no child of a terminal; its clients are.
    const auto clients = clientsOf(*pane);
    return std::any_of(clients.begin(), clients.end(),
                       [&](std::int32_t client) { return activateWindowOfProcess(m_display, lineage(client)); });
}

} // namespace lullwatch
