#include "Version.h"
#include "app/StatusReport.h"
#include "platform/PosixProcessProbe.h"
#include "sessions/Clock.h"
#include "sessions/Locations.h"
#include "sessions/SessionScanner.h"

#include <QCoreApplication>

#include <cstdio>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view usageText = R"(Usage: lullwatch [command]

Watches Claude Code and Copilot CLI sessions: what each one is doing and how
many tokens it has spent.

Commands:
  status            Show the current sessions as a table
  status --json     Show the current sessions as a JSON array

Options:
  --help            Show this help and exit
  --version         Show the version and exit
)";

void write(std::FILE *stream, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

int runStatus(bool asJson)
{
    const lullwatch::SystemClock clock;
    const lullwatch::PosixProcessProbe probe;
    lullwatch::SessionScanner scanner(lullwatch::sessionsDirectory(), clock, probe);
    const auto sessions = scanner.scan().result();
    write(stdout, asJson ? lullwatch::formatStatusJson(sessions) : lullwatch::formatStatusTable(sessions));
    return 0;
}

int usageError(std::string_view argument)
{
    write(stderr, "lullwatch: unknown argument '");
    write(stderr, argument);
    write(stderr, "'\n\n");
    write(stderr, usageText);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lullwatch"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(lullwatch::versionString));

    const std::vector<std::string_view> arguments(argv + 1, argv + argc);

    if (arguments.size() == 1 && arguments[0] == "--help") {
        write(stdout, usageText);
        return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
        write(stdout,
              std::string("lullwatch ") + lullwatch::versionString + " (build " + lullwatch::buildNumber + ")\n");
        return 0;
    }
    if (arguments.empty() || (arguments.size() == 1 && arguments[0] == "status"))
        return runStatus(false);
    if (arguments.size() == 2 && arguments[0] == "status" && arguments[1] == "--json")
        return runStatus(true);

    for (auto argument : arguments) {
        if (argument != "status" && argument != "--json")
            return usageError(argument);
    }
    return usageError(arguments.back());
}
