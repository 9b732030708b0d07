#include "bridge/CorvaneBridge.h"

#include "bridge/BridgeConnection.h"
#include "bridge/Http.h"
#include "log/Log.h"
#include "report/StatusReport.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <string_view>

#include <sys/resource.h>

namespace corvane {
namespace {

constexpr int kListenBacklog = 511;
// Descriptors kept back for the key file, D-Bus and the like.
constexpr rlim_t kReservedDescriptors = 64;
constexpr int kMostConnections = 1024;
// When accepting fails for lack of descriptors and no connection is open to
// free one, try again after this long instead of spinning.
constexpr int kAcceptRetryMs = 1000;

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

CorvaneBridge::~CorvaneBridge()
{
    // Connections still open at exit go before the listeners and services
    // they would otherwise report back to.
    for (BridgeConnection* connection : findChildren<BridgeConnection*>(Qt::FindDirectChildrenOnly)) {
        disconnect(connection, nullptr, this, nullptr);
        delete connection;
    }
}

void CorvaneBridge::start()
{
    m_connectionLimit = connectionLimit();
    // Loopback only: the one caller is a browser on this machine, and the
    // report tells where the machine is.
    const QHostAddress addresses[] = {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
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
        // Qt stops accepting for good after a failed accept (no descriptors
        // left); accepting resumes once a connection closes or after a pause.
        connect(raw, &QTcpServer::acceptError, this, [this] {
            m_acceptStalled = true;
            if (m_openConnections == 0)
                QTimer::singleShot(kAcceptRetryMs, this, &CorvaneBridge::resumeAccepting);
        });
        m_listeners.push_back(std::move(server));
    }
    logLine("Corvane Bridge active on localhost:" + std::to_string(port));
}

void CorvaneBridge::stopListening()
{
    m_listeners.clear();
}

int CorvaneBridge::connectionLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= 2 * kReservedDescriptors)
        return static_cast<int>(kReservedDescriptors);
    return static_cast<int>(std::min<rlim_t>(kMostConnections, limit.rlim_cur - kReservedDescriptors));
}

void CorvaneBridge::handleConnection(QTcpServer* server)
{
    while (m_openConnections < m_connectionLimit) {
        QTcpSocket* socket = server->nextPendingConnection();
        if (!socket)
            return;
        auto* connection = new BridgeConnection(socket, this);
        ++m_openConnections;
        connect(connection, &BridgeConnection::requestReceived, this, &CorvaneBridge::processRequest);
        connect(connection, &QObject::destroyed, this, [this] {
            --m_openConnections;
            resumeAccepting();
        });
    }
    // Full: leave further clients in the kernel's queue until one closes.
    for (const auto& listener : m_listeners)
        listener->pauseAccepting();
    m_acceptStalled = true;
}

void CorvaneBridge::resumeAccepting()
{
    if (!m_acceptStalled || m_openConnections >= m_connectionLimit)
        return;
    m_acceptStalled = false;
    for (const auto& listener : m_listeners) {
        listener->resumeAccepting();
        // Connections Qt took before pausing are waiting already.
        if (listener->hasPendingConnections())
            handleConnection(listener.get());
    }
}

void CorvaneBridge::processRequest(const QByteArray& bytes, BridgeConnection* connection)
{
    const http::Request request =
        http::parseRequest(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    switch (request.kind) {
    case http::Request::Kind::dropped: connection->drop(); return;
    case http::Request::Kind::foreignHost: connection->sendAndClose(http::buildForbiddenResponse()); return;
    case http::Request::Kind::preflight: connection->sendAndClose(http::buildPreflightResponse(request.origin)); return;
    case http::Request::Kind::badNonce:
        connection->sendAndClose(http::buildBadRequestResponse(request.problem, request.origin));
        return;
    case http::Request::Kind::status: sendStatusReport(request.origin, request.nonce, connection); return;
    }
}

void CorvaneBridge::sendStatusReport(
    const std::string& origin, const std::optional<std::string>& nonce, BridgeConnection* connection)
{
    std::optional<statusreport::Challenge> challenge;
    if (nonce)
        challenge = statusreport::Challenge{*nonce, origin};
    sendJSONResponse(buildStatusReport(std::move(challenge)), origin, connection);
}

nlohmann::json CorvaneBridge::buildStatusReport(std::optional<statusreport::Challenge> challenge)
{
    statusreport::Facts facts;
    facts.nearby = m_services.scanner->scanNetworks();
    facts.current = m_services.scanner->currentNetwork();
    facts.deviceId = m_services.probes->getDeviceID();
    facts.timestamp = statusreport::currentTimestamp();
    facts.vpnActive = m_services.probes->isVPNActive();
    facts.challenge = std::move(challenge);

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

void CorvaneBridge::sendJSONResponse(
    const nlohmann::json& report, const std::string& origin, BridgeConnection* connection)
{
    connection->sendAndClose(http::buildJSONResponse(report, origin));
}

} // namespace corvane
