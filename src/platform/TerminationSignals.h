#pragma once

#include <QObject>

class QSocketNotifier;

namespace lullwatch {

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the main thread, so
// the application ends through its event loop and releases what it holds.
// SIGUSR1 and SIGUSR2 change nothing, and a reader of standard output that
// goes away makes a write fail instead of ending the process (SIGPIPE).
// One per process.
class TerminationSignals final : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    void terminationRequested();

private:
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace lullwatch
