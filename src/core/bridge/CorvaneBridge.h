#pragma once

#include "bridge/BridgeConnection.h"
#include "bridge/BridgeConnections.h"
#include "bridge/Http.h"
#include "bridge/Reachability.h"
#include "report/HostProbes.h"
#include "report/StatusReport.h"
#include "security/SecurityManager.h"
#include "wifi/WifiScanner.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QSocketNotifier;
class QTcpServer;

namespace corvane {

// What a status report is made from. Tests hand in their own.
struct BridgeServices {
    std::unique_ptr<WifiScanner> scanner;
    std::unique_ptr<SecurityManager> security;
    std::unique_ptr<HostProbes> probes;

    static BridgeServices createDefault();
};

// The local HTTP endpoint: one request per connection, answered on the main
// event loop and closed.
class CorvaneBridge final : public QObject {
    Q_OBJECT

public:
    static constexpr quint16 port = 12180; // NOLINT(readability-identifier-naming): the name callers know

    explicit CorvaneBridge(QObject* parent = nullptr);
    CorvaneBridge(BridgeServices services, QObject* parent = nullptr);
    ~CorvaneBridge() override;

    // Listens on the loopback addresses only. When it cannot (the port is
    // taken), it says so once and tries again, backing off up to 30 s.
    void start();
    const Reachability& reachability() const { return m_reachability; }

    SecurityManager& security() { return *m_services.security; }
    HostProbes& probes() { return *m_services.probes; }

    void processRequest(std::string_view bytes, BridgeConnection& connection, bool headerCut = false);
    void sendStatusReport(const http::Request& request, BridgeConnection& connection);
    void sendJSONResponse(
        const statusreport::Report& report, const http::Request& request, const DeferredAnswer& answer);

    // The report's facts as they are now, signed when the key store can sign;
    // `done` runs once the signature is there (at once with a file key), with
    // nullopt when too many reports wait for the TPM already.
    void buildStatusReport(std::optional<statusreport::Challenge> challenge,
        std::function<void(std::optional<statusreport::Report>)> done);

signals:
    void reachabilityChanged();
    // A 200 answer with a report was handed over: the report's time and the origin it was granted to.
    void reportServed(qint64 timestamp, const QString& origin);

private:
    struct Listener {
        std::unique_ptr<QTcpServer> server;
        std::unique_ptr<QSocketNotifier> incoming;
    };

    void acceptConnections(int listener);
    void pauseAccepting();
    void resumeAccepting();
    static std::size_t connectionLimit();
    void startAgainLater(const QTcpServer& failed);
    void setReachability(Reachability reachability);

    BridgeServices m_services;
    BridgeConnections m_connections;
    std::vector<Listener> m_listeners;
    std::size_t m_connectionLimit = 0;
    bool m_paused = false;
    Reachability m_reachability{{}, "not started"};
    QTimer m_restart;
    std::chrono::milliseconds m_restartDelay{0};
};

} // namespace corvane
