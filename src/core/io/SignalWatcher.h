#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <initializer_list>
#include <memory>

namespace corvane {

// Signals handled on the event loop: they arrive through a signalfd, so no
// handler runs in signal context and nothing wakes the loop while all is quiet.
class SignalWatcher final : public QObject {
    Q_OBJECT

public:
    // Must run before any thread starts, so that every thread inherits the mask.
    static void block(std::initializer_list<int> watched);

    SignalWatcher(std::initializer_list<int> watched, std::function<void(int)> handler, QObject* parent = nullptr);
    ~SignalWatcher() override;

private:
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace corvane
