#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace corvane {

// SIGTERM, SIGINT and SIGHUP (a session ending, Ctrl+C, a closed terminal)
// end the event loop normally, with status 0, instead of killing the process
// mid-answer. The signals arrive through a signalfd, so no handler runs in
// signal context and nothing wakes the loop while all is quiet.
class TerminationSignals final : public QObject {
    Q_OBJECT

public:
    // Must run before any thread starts, so that every thread inherits the mask.
    static void block();

    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

private:
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace corvane
