#include "bridge/CorvaneBridge.h"

#include "bridge/BridgeConnection.h"
#include "bridge/Http.h"
#include "log/Log.h"
#include "report/StatusReport.h"
#include "text/Utf8.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <string_view>

namespace corvane {
namespace {

constexpr int kListenBacklog = 511;

bool meansNoIPv6(QAbstractSocket::SocketError error)
{
    return error == QAbstractSocket::SocketAddressNotAvailableError
        || error == QAbstractSocket::UnsupportedSocketOperationError;
}

} // namespace

BridgeServices BridgeServices::createDefault()
{
    return {
        std::make_unique<WifiScanner>(),
        std::make_unique<SecurityManager>(),
        HostProbes::createDefault(),
    };
}

CorvaneBridge::CorvaneBridge(QObject* parent)
    : CorvaneBridge(BridgeServices::createDefault(), parent)
{
}

CorvaneBridge::CorvaneBridge(BridgeServices services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
{
}

CorvaneBridge::~CorvaneBridge() = default;

void CorvaneBridge::start()
{
    // Loopback only: the one caller is a browser on this machine, and the
    // report tells where the machine is.
    const QHostAddress addresses[] = {QHostAddress(QHostAddress::LocalHost),
                                      QHostAddress(QHostAddress::LocalHostIPv6)};
    for (const QHostAddress& address : addresses) {
        auto server = std::make_unique<QTcpServer>();
        server->setListenBacklogSize(kListenBacklog);
        if (!server->listen(address, port)) {
            if (address.protocol() == QAbstractSocket::IPv6Protocol && meansNoIPv6(server->serverError()))
                continue;
            logLine("Bridge failed: " + server->errorString().toStdString());
            stopListening();
            return;
        }
        QTcpServer* raw = server.get();
        connect(raw, &QTcpServer::newConnection, this, [this, raw] { handleConnection(raw); });
        m_listeners.push_back(std::move(server));
    }
    logLine("Corvane Bridge active on localhost:" + std::to_string(port));
}

void CorvaneBridge::stopListening()
{
    m_listeners.clear();
}

void CorvaneBridge::handleConnection(QTcpServer* server)
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        auto* connection = new BridgeConnection(socket, this);
        connect(connection, &BridgeConnection::requestReceived, this, &CorvaneBridge::processRequest);
    }
}

void CorvaneBridge::processRequest(const QByteArray& bytes, BridgeConnection* connection)
{
    const std::string_view request(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (request.empty() || !utf8::isValid(request)) {
        connection->drop();
        return;
    }

    const std::string origin = http::extractOrigin(request);
    if (http::extractMethod(request) == "OPTIONS") {
        connection->sendAndClose(http::buildPreflightResponse(origin));
        return;
    }
    sendStatusReport(origin, connection);
}

void CorvaneBridge::sendStatusReport(const std::string& origin, BridgeConnection* connection)
{
    sendJSONResponse(buildStatusReport(), origin, connection);
}

nlohmann::json CorvaneBridge::buildStatusReport()
{
    statusreport::Facts facts;
    facts.nearby = m_services.scanner->scanNetworks();
    facts.current = m_services.scanner->currentNetwork();
    facts.deviceId = m_services.probes->getDeviceID();
    facts.timestamp = statusreport::currentTimestamp();
    facts.vpnActive = m_services.probes->isVPNActive();

    nlohmann::json report = statusreport::build(facts);
    const std::optional<std::string> payload = statusreport::signedPayload(report);
    if (!payload)
        return report;
    const std::optional<std::string> signature = m_services.security->sign(*payload);
    if (!signature)
        return report;
    report[statusreport::kSignatureKey] = *signature;
    if (const std::optional<std::string> publicKey = m_services.security->publicKeyBase64())
        report[statusreport::kPublicKeyKey] = *publicKey;
    return report;
}

void CorvaneBridge::sendJSONResponse(const nlohmann::json& report, const std::string& origin,
                                     BridgeConnection* connection)
{
    connection->sendAndClose(http::buildJSONResponse(report, origin));
}

} // namespace corvane
