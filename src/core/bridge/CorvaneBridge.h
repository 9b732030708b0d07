#pragma once

#include "bridge/BridgeConnection.h"
#include "bridge/BridgeConnections.h"
#include "bridge/Http.h"
#include "bridge/Reachability.h"
#include "bridge/ReportSource.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QSocketNotifier;
class QTcpServer;

namespace corvane {

// The local HTTP endpoint: one request per connection, answered on the main
// event loop and closed. Status requests are answered by the report source.
class CorvaneBridge final : public QObject {
    Q_OBJECT

public:
    static constexpr quint16 port = 12180; // NOLINT(readability-identifier-naming): the name callers know

    explicit CorvaneBridge(ReportSource& reports, QObject* parent = nullptr);
    ~CorvaneBridge() override;

    // Listens on the loopback addresses only. When it cannot (the port is
    // taken), it says so once and tries again, backing off up to 30 s.
    void start();
    // Serves a listening Unix socket made elsewhere (the system signer's), and
    // closes it at the end. Its requests are logged with the asking user ID.
    void serve(int listener);
    const Reachability& reachability() const { return m_reachability; }

    // How long to wait before trying the port again, after `previous`.
    static std::chrono::milliseconds nextRestartDelay(std::chrono::milliseconds previous);

    void processRequest(std::string_view bytes, BridgeConnection& connection, bool headerCut = false);

signals:
    void reachabilityChanged();
    // A 200 answer with a report was handed over: the report's time and the origin it was granted to.
    void reportServed(qint64 timestamp, const QString& origin);

private:
    struct Listener {
        std::unique_ptr<QTcpServer> server; // none: a socket made elsewhere, closed by the bridge
        int fd = -1;
        std::unique_ptr<QSocketNotifier> incoming;
    };

    void listen(Listener& listener);
    void acceptConnections(int listener, bool tellsPeer);
    void pauseAccepting();
    void resumeAccepting();
    static std::size_t connectionLimit();
    void startAgainLater(const QTcpServer& failed);
    void setReachability(Reachability reachability);
    void sendStatusReport(const http::Request& request, BridgeConnection& connection);

    ReportSource& m_reports;
    BridgeConnections m_connections;
    std::vector<Listener> m_listeners;
    std::size_t m_connectionLimit = 0;
    bool m_paused = false;
    Reachability m_reachability{{}, "not started"};
    QTimer m_restart;
    std::chrono::milliseconds m_restartDelay{0};
};

} // namespace corvane
