#include "Version.h"
#include "app/CommandLine.h"
#include "app/StatusReport.h"
#include "hooks/CopilotHookInstaller.h"
#include "hooks/HookInstaller.h"
#include "platform/PosixProcessProbe.h"
#include "sessions/Clock.h"
#include "sessions/Locations.h"
#include "sessions/SessionScanner.h"

#include <QCoreApplication>

#include <cstdio>
#include <string_view>
#include <vector>

namespace {

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

int runHooks(const lullwatch::Command &command)
{
    const auto locations
        = lullwatch::HookLocations::forCurrentUser(QCoreApplication::applicationDirPath().toStdString());
    lullwatch::HookInstaller claude(locations);
    lullwatch::CopilotHookInstaller copilot(locations);
    std::string output;
    const int exitStatus = lullwatch::runHooksCommand(command, claude, copilot, output);
    write(stdout, output);
    return exitStatus;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lullwatch"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(lullwatch::versionString));

    using Kind = lullwatch::Command::Kind;
    const auto command = lullwatch::parseCommandLine(std::vector<std::string_view>(argv + 1, argv + argc));
    switch (command.kind) {
    case Kind::Help:
        write(stdout, lullwatch::usageText);
        return 0;
    case Kind::Version:
        write(stdout,
              std::string("lullwatch ") + lullwatch::versionString + " (build " + lullwatch::buildNumber + ")\n");
        return 0;
    case Kind::Run:
    case Kind::Headless:
    case Kind::Status:
        return runStatus(command.json);
    case Kind::Hooks:
        return runHooks(command);
    case Kind::Invalid:
        write(stderr, "lullwatch: unknown argument '" + command.invalidArgument + "'\n\n");
        write(stderr, lullwatch::usageText);
        return 2;
    }
    return 2;
}
