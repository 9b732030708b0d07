#pragma once

#include "report/HostProbes.h"
#include "report/StatusReport.h"
#include "security/SecurityManager.h"
#include "wifi/WifiScanner.h"

#include <nlohmann/json.hpp>

#include <QObject>

#include <memory>
#include <string>
#include <vector>

class QTcpServer;

namespace corvane {

class BridgeConnection;

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
    static constexpr quint16 port = 12180;

    explicit CorvaneBridge(QObject* parent = nullptr);
    CorvaneBridge(BridgeServices services, QObject* parent = nullptr);
    ~CorvaneBridge() override;

    // Listens on the loopback addresses only; failures are logged, never raised.
    void start();

    void processRequest(const QByteArray& bytes, BridgeConnection* connection);
    void sendStatusReport(
        const std::string& origin, const std::optional<std::string>& nonce, BridgeConnection* connection);
    void sendJSONResponse(const nlohmann::json& report, const std::string& origin, BridgeConnection* connection);

    // The report's members, signed when the key store can sign.
    nlohmann::json buildStatusReport(std::optional<statusreport::Challenge> challenge = std::nullopt);

private:
    void handleConnection(QTcpServer* server);
    void resumeAccepting();
    void stopListening();
    static int connectionLimit();

    std::vector<std::unique_ptr<QTcpServer>> m_listeners;
    int m_openConnections = 0;
    int m_connectionLimit = 0;
    bool m_acceptStalled = false;
    BridgeServices m_services;
};

} // namespace corvane
