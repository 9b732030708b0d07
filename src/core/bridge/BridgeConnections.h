#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvane {

// The bridge's transport on plain descriptors. A connection whose request is
// already there is read, answered and closed in the pass that accepted it,
// with no object of its own. Only one that cannot be finished at once (its
// request not there yet, its answer not taken whole yet, or its client still
// sending) is kept, with one notifier; the deadlines of all kept connections
// share one timer, which runs only while one is kept.
class BridgeConnections final : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxRequestBytes = 65536;
    static constexpr std::chrono::seconds kIdleTimeout{30};
    // How long an answer or a graceful close may go without progress.
    static constexpr std::chrono::seconds kLingerTimeout{5};

    // The answer to a request, or none to drop the connection.
    using Responder = std::function<std::optional<std::string>(std::string_view request)>;

    explicit BridgeConnections(Responder responder, QObject* parent = nullptr);
    ~BridgeConnections() override;

    // Takes an accepted, non-blocking descriptor and closes it when done.
    void serve(int fd);
    // Connections kept beyond the pass that accepted them.
    std::size_t kept() const { return m_kept.size(); }

signals:
    // A kept connection was closed: a descriptor is free again.
    void released();

private:
    enum class Stage { request, answer, linger };
    enum class Next { close, wait, linger };
    struct Kept;
    struct NotifierDisposal {
        void operator()(QSocketNotifier* notifier) const;
    };
    using Clock = std::chrono::steady_clock;

    void respond(int fd, std::string_view request);
    Next send(int fd, const std::string& answer, std::size_t& sent, bool clientMaySend);
    void keep(int fd, Stage stage, std::string answer = {}, std::size_t sent = 0, bool clientMaySend = false);
    void watch(int fd, Kept& kept);
    void activated(int fd);
    void release(int fd);
    void expire();
    void schedule();

    Responder m_responder;
    std::string m_buffer;
    std::unordered_map<int, std::unique_ptr<Kept>> m_kept;
    QTimer m_timer;
};

} // namespace corvane
