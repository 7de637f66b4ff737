// lullwatch-hook: records one agent hook event.
//
//   lullwatch-hook --sessions DIR AGENT [STATE]
//
// Reads the hook's payload (one JSON object) on standard input and writes the
// session's record to DIR/<id>.json, or deletes it when STATE is "ended".
// AGENT is an agent's source word ("claude", "copilot", "qwen"); STATE is written as
// given, "working" when missing or empty. The agent waits for its hooks, so
// the whole event is one process that starts about as fast as /bin/true.
//
// Prints nothing on standard output and always exits 0: a hook must never
// disturb the agent. An unusable payload leaves every file as it was.

#include "PayloadRecord.h"
#include "agents/Agents.h"
#include "files/Files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace lullwatch;

// How many processes up from the direct parent the owner is looked for.
// Agents start hooks through "sh -c", so the direct parent is usually a
// shell that exits at once.
constexpr int ownerSearchDepth = 30;

// The temporary file being written, removed when the process is told to end.
char temporaryPath[4096];

void removeTemporaryAndExit(int)
{
    if (temporaryPath[0] != '\0')
        ::unlink(temporaryPath);
    ::_exit(0);
}

// The start of /proc/PID/<file> in `buffer`, leaving room for a NUL after
// it; the byte count, or -1.
ssize_t readProcessFile(pid_t pid, const char *file, char *buffer, std::size_t size)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), file);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t got;
    do {
        got = ::read(fd, buffer, size - 1);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    return got;
}

// The name and parent of a process, from /proc/PID/stat: the name lies
// between the first "(" and the last ")", since it may hold either.
bool readProcess(pid_t pid, std::string &name, pid_t &parent)
{
    char buffer[1024];
    const ssize_t got = readProcessFile(pid, "stat", buffer, sizeof buffer);
    if (got <= 0)
        return false;
    const std::string_view stat(buffer, static_cast<std::size_t>(got));
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return false;
    name.assign(stat.substr(open + 1, close - open - 1));
    // ") S 1234 ..."
    buffer[got] = '\0';
    char *end = nullptr;
    const char *fields = buffer + close + 1;
    while (*fields == ' ')
        ++fields;
    if (*fields == '\0' || fields[1] != ' ')
        return false;
    const long value = std::strtol(fields + 2, &end, 10);
    if (end == fields + 2)
        return false;
    parent = static_cast<pid_t>(value);
    return true;
}

// Whether a word of the process's command line, from /proc/PID/cmdline,
// matches one of `patterns` (NUL-terminated). Only the first 4 KiB count:
// an interpreter and its script come first.
bool commandLineMatches(pid_t pid, const std::string *patterns, std::size_t count)
{
    char buffer[4096];
    const ssize_t got = readProcessFile(pid, "cmdline", buffer, sizeof buffer);
    if (got <= 0)
        return false;
    buffer[got] = '\0'; // ends a word cut short
    for (const char *word = buffer; word < buffer + got; word += std::strlen(word) + 1) {
        for (std::size_t index = 0; index < count; ++index) {
            if (::fnmatch(patterns[index].c_str(), word, 0) == 0)
                return true;
        }
    }
    return false;
}

// Patterns of the table, NUL-terminated for fnmatch(3).
struct Patterns {
    explicit Patterns(std::span<const std::string_view> words)
        : count(std::min(words.size(), std::size(texts)))
    {
        for (std::size_t index = 0; index < count; ++index)
            texts[index] = words[index];
    }
    bool matchCommandLineOf(pid_t pid) const { return count > 0 && commandLineMatches(pid, texts, count); }

    std::string texts[4];
    std::size_t count;
};

// Whether the process is the agent's: by name, or by a word of its command line.
bool isAgentProcess(pid_t pid, const std::string &name, const std::string &pattern, const Patterns &words)
{
    return ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0 || words.matchCommandLineOf(pid);
}

// The one process of the agent, other than the processes it shares between
// sessions, that works in `cwd`; 0 when there is none or more than one.
pid_t sessionProcessIn(const std::string &cwd, const std::string &pattern, const Patterns &words,
                       const Patterns &shared)
{
    // The kernel names a process's folder without links, so the session's is
    // resolved the same way.
    char resolved[PATH_MAX];
    if (cwd.empty() || !::realpath(cwd.c_str(), resolved))
        return 0;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return 0;
    pid_t found = 0;
    int matches = 0;
    std::string name;
    char link[48];
    char target[4096];
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long value = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || value <= 0 || value > std::numeric_limits<pid_t>::max())
            continue;
        const auto pid = static_cast<pid_t>(value);
        pid_t parent = 0;
        if (!readProcess(pid, name, parent) || !isAgentProcess(pid, name, pattern, words)
            || shared.matchCommandLineOf(pid))
            continue;
        std::snprintf(link, sizeof link, "/proc/%d/cwd", static_cast<int>(pid));
        const ssize_t length = ::readlink(link, target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target
            || std::string_view(target, static_cast<std::size_t>(length)) != resolved)
            continue;
        found = pid;
        ++matches;
    }
    ::closedir(proc);
    return matches == 1 ? found : 0;
}

// The nearest process from the direct parent up whose name, or a word of
// whose command line, matches the agent's, else the direct parent. A process
// the agent shares between sessions (one background server for all of a
// user's sessions) owns none of them: the session's own process is then the
// agent's one process working in the session's folder, and when that is not
// clear there is no owner (0), and the session lasts until its end event.
pid_t owner(const Agent &agent, const std::string &cwd)
{
    const pid_t parent = ::getppid();
    const std::string pattern(agent.ownerPattern);
    const Patterns words(agent.ownerCommandPatterns);
    const Patterns shared(agent.sharedProcessCommandPatterns);
    std::string name;
    pid_t pid = parent;
    for (int step = 0; step < ownerSearchDepth && pid > 0; ++step) {
        pid_t next = 0;
        if (!readProcess(pid, name, next))
            break;
        if (isAgentProcess(pid, name, pattern, words)) {
            if (shared.matchCommandLineOf(pid))
                return sessionProcessIn(cwd, pattern, words, shared);
            return pid;
        }
        pid = next;
    }
    return parent;
}

// Creates the sessions folder and its missing parents, private to the user.
void makeFolder(const std::string &folder)
{
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string prefix = folder.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return;
        if (slash == std::string::npos)
            return;
    }
}

// Replaces the record so that a reader sees the old one or the new, never a
// part: a temporary file beside it, synced, renamed over it.
void writeRecord(const std::string &folder, const std::string &target, std::string_view text)
{
    makeFolder(folder);
    const std::string pattern = folder + "/.record.XXXXXX";
    if (pattern.size() >= sizeof temporaryPath)
        return;
    std::memcpy(temporaryPath, pattern.c_str(), pattern.size() + 1);
    const int fd = ::mkstemp(temporaryPath);
    if (fd < 0) {
        temporaryPath[0] = '\0';
        return;
    }
    bool written = writeAll(fd, text) && ::fdatasync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporaryPath, target.c_str()) != 0)
        ::unlink(temporaryPath);
    temporaryPath[0] = '\0';
}

int usage()
{
    const std::string_view text = "usage: lullwatch-hook --sessions DIR AGENT [STATE]\n";
    (void)!::write(STDERR_FILENO, text.data(), text.size());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if ((argc != 4 && argc != 5) || std::string_view(argv[1]) != "--sessions" || argv[2][0] == '\0')
        return usage();
    const Agent *agent = agentFromRaw(argv[3]);
    if (!agent)
        return usage();
    const std::string folder = argv[2];
    const std::string_view state = argc == 5 && argv[4][0] != '\0' ? argv[4] : "working";

    struct sigaction action { };
    action.sa_handler = removeTemporaryAndExit;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);

    // All of the payload is read, so that the agent's write never fails.
    PayloadReader reader(agent->payload);
    static char buffer[65536];
    for (bool valid = true;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (valid)
            valid = reader.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
    const auto parts = reader.finish();
    if (!parts || parts->sessionId.empty())
        return 0;

    const std::string target = folder + '/' + parts->sessionId + ".json";
    if (state == "ended") {
        ::unlink(target.c_str());
        return 0;
    }
    const RecordFields fields {state, agent->raw, static_cast<std::int64_t>(std::time(nullptr)),
                               owner(*agent, parts->cwd)};
    writeRecord(folder, target, recordText(*parts, fields));
    return 0;
}
