#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvane {

class BridgeConnection;

// The bridge's transport on plain descriptors. A connection whose request is
// already there is read, answered and closed in the pass that accepted it,
// with no object of its own. Only one that cannot be finished at once (its
// header not all there yet, its answer not ready or not taken whole yet, or
// its client still sending) is kept, with at most one notifier; the deadlines
// of all kept connections share one timer, which runs only while one is kept.
class BridgeConnections final : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxRequestBytes = 65536;
    // For the whole header to arrive, and for an answer that comes later.
    static constexpr std::chrono::seconds kIdleTimeout{30};
    // How long an answer or a graceful close may go without progress.
    static constexpr std::chrono::seconds kLingerTimeout{5};
    // How long a graceful close may take in all, progress or not.
    static constexpr std::chrono::seconds kLingerTotal{30};

    // Answers, drops or defers one request. headerCut: its header did not
    // end within kMaxRequestBytes.
    using Responder = std::function<void(std::string_view request, bool headerCut, BridgeConnection& connection)>;

    explicit BridgeConnections(Responder responder, QObject* parent = nullptr);
    ~BridgeConnections() override;

    // Takes an accepted, non-blocking descriptor and closes it when done.
    // peer: the asking process's user ID, when the socket tells it.
    void serve(int fd, std::optional<uid_t> peer = std::nullopt);
    // Connections kept beyond the pass that accepted them.
    std::size_t kept() const { return m_kept.size(); }
    // Whether a kept connection still waits for the rest of its request.
    bool hasUnfinished();
    // Closes the connection that has waited longest for the rest of its
    // request, so that idle or trickling clients cannot keep a page out.
    void closeOldestUnfinished();

signals:
    // A kept connection was closed: a descriptor is free again.
    void released();

private:
    enum class Stage { request, waiting, answer, linger };
    enum class Next { close, wait, linger };
    struct Kept;
    struct Deferral;
    struct NotifierDisposal {
        void operator()(QSocketNotifier* notifier) const;
    };
    using Clock = std::chrono::steady_clock;

    void serveWhenWhole(int fd, std::string_view bytes, std::optional<uid_t> peer);
    void respond(int fd, std::string_view request, bool clientMaySend, bool headerCut, std::optional<uid_t> peer);
    void answer(int fd, std::optional<std::string> answer, bool clientMaySend);
    void deferredAnswer(const std::shared_ptr<Deferral>& deferral, std::optional<std::string> answer);
    Next send(int fd, const std::string& answer, std::size_t& sent, bool clientMaySend);
    Kept& keep(int fd, Stage stage);
    void watch(int fd, Kept& kept);
    void activated(int fd);
    void readMore(int fd, Kept& kept);
    void release(int fd);
    void expire();
    void schedule();
    void scheduleBy(Clock::time_point deadline);
    using Arrival = std::pair<int, std::uint64_t>; // a descriptor and the serial of its connection
    bool unfinished(const Arrival& arrival) const;
    std::optional<int> oldestUnfinished();

    Responder m_responder;
    std::string m_buffer;
    std::unordered_map<int, std::unique_ptr<Kept>> m_kept;
    std::deque<Arrival> m_arrivals; // connections kept for the rest of their request, oldest first
    std::uint64_t m_lastSerial = 0;
    QTimer m_timer;
    Clock::time_point m_timerDue = Clock::time_point::max();
};

} // namespace corvane
