#pragma once

#include <QObject>

class QSocketNotifier;

namespace lullwatch {

// Turns SIGINT and SIGTERM into a Qt signal on the main thread, so the
// application ends through its event loop. One per process.
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
