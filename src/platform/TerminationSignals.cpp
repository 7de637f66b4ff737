#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace lullwatch {

namespace {

int signalPipe[2] = {-1, -1};
constexpr int endingSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int ignoredSignals[] = {SIGPIPE, SIGUSR1, SIGUSR2};

extern "C" void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// A handler rather than SIG_IGN: programs the application starts get the
// default disposition back when they begin.
extern "C" void onIgnoredSignal(int)
{ }

void handle(int signal, void (*handler)(int))
{
    struct sigaction action { };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    for (const int signal : ignoredSignals)
        handle(signal, onIgnoredSignal);
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) { }
        Q_EMIT terminationRequested();
    });
    for (const int signal : endingSignals)
        handle(signal, onTerminationSignal);
}

TerminationSignals::~TerminationSignals()
{
    for (const int signal : endingSignals)
        ::signal(signal, SIG_DFL);
}

} // namespace lullwatch
