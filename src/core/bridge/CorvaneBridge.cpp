#include "bridge/CorvaneBridge.h"

#include "bridge/BridgeConnection.h"
#include "bridge/Http.h"
#include "log/Log.h"
#include "report/StatusReport.h"

#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <string_view>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>

namespace corvane {
namespace {

constexpr int kListenBacklog = 511;
// Descriptors kept back for the key file, D-Bus and the like.
constexpr std::size_t kReservedDescriptors = 64;
constexpr std::size_t kMostConnections = 1024;
// When accepting fails for lack of descriptors and no connection is open to
// free one, try again after this long instead of spinning.
constexpr int kAcceptRetryMs = 1000;
constexpr int kDeferAcceptSeconds = 1;
// While the port is taken: soon at first, in case a previous agent is just
// ending, then rarely.
constexpr std::chrono::milliseconds kFirstRestartDelay{1000};
constexpr std::chrono::milliseconds kLongestRestartDelay{30000};
constexpr std::string_view kTooManyWaiting = "too many reports wait for their signature";

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
    , m_connections([this](std::string_view request, bool headerCut, BridgeConnection& connection) {
        processRequest(request, connection, headerCut);
    })
{
    connect(&m_connections, &BridgeConnections::released, this, &CorvaneBridge::resumeAccepting);
}

CorvaneBridge::~CorvaneBridge() = default;

void CorvaneBridge::start()
{
    if (m_reachability.serving())
        return;
    m_connectionLimit = connectionLimit();
    // Loopback only: the one caller is a browser on this machine, and the
    // report tells where the machine is.
    const QHostAddress addresses[] = {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)};
    std::vector<Listener> listeners;
    Reachability served;
    for (const QHostAddress& address : addresses) {
        auto server = std::make_unique<QTcpServer>();
        server->setListenBacklogSize(kListenBacklog);
        const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
        if (!server->listen(address, port)) {
            if (ipv6 && meansNoIPv6(server->serverError()))
                continue;
            startAgainLater(*server);
            return;
        }
        // Qt would make a socket object per client; the bridge takes the
        // descriptors itself, so Qt's own accepting stays off.
        server->pauseAccepting();
        const int fd = static_cast<int>(server->socketDescriptor());
        // Clients are handed over once their request has arrived (or after a
        // second without one), so nearly every connection is served in the
        // pass that accepts it instead of waiting with a notifier of its own.
        ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &kDeferAcceptSeconds, sizeof kDeferAcceptSeconds);
        auto incoming = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(incoming.get(), &QSocketNotifier::activated, this, [this, fd] { acceptConnections(fd); });
        listeners.push_back({std::move(server), std::move(incoming)});
        const std::string host = address.toString().toStdString();
        served.addresses.push_back((ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port));
    }
    m_listeners = std::move(listeners);
    m_restart.stop();
    setReachability(std::move(served));
    logLine("Corvane Bridge active on localhost:" + std::to_string(port));
}

void CorvaneBridge::startAgainLater(const QTcpServer& failed)
{
    // Said once; the tray and the status window tell the rest.
    if (m_restartDelay == std::chrono::milliseconds::zero()) {
        logLine("Bridge failed: " + failed.errorString().toStdString());
        m_restart.setSingleShot(true);
        connect(&m_restart, &QTimer::timeout, this, &CorvaneBridge::start);
    }
    m_restartDelay = std::clamp(2 * m_restartDelay, kFirstRestartDelay, kLongestRestartDelay);
    m_restart.start(m_restartDelay);
    setReachability({{},
        failed.serverError() == QAbstractSocket::AddressInUseError
            ? "port " + std::to_string(port) + " is used by another program"
            : failed.errorString().toStdString()});
}

void CorvaneBridge::setReachability(Reachability reachability)
{
    if (reachability == m_reachability)
        return;
    m_reachability = std::move(reachability);
    emit reachabilityChanged();
}

std::size_t CorvaneBridge::connectionLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= 2 * kReservedDescriptors)
        return kReservedDescriptors;
    return std::min<rlim_t>(kMostConnections, limit.rlim_cur - kReservedDescriptors);
}

void CorvaneBridge::acceptConnections(int listener)
{
    while (m_connections.kept() < m_connectionLimit) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            m_connections.serve(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        break; // no descriptor to be had (EMFILE, ENFILE, ENOBUFS)
    }
    // Full, or out of descriptors: further clients wait in the kernel's queue.
    pauseAccepting();
    // With no kept connection to free one, nothing else would wake accepting.
    if (m_connections.kept() == 0)
        QTimer::singleShot(kAcceptRetryMs, this, &CorvaneBridge::resumeAccepting);
}

void CorvaneBridge::pauseAccepting()
{
    m_paused = true;
    for (const Listener& listener : m_listeners)
        listener.incoming->setEnabled(false);
}

void CorvaneBridge::resumeAccepting()
{
    if (!m_paused || m_connections.kept() >= m_connectionLimit)
        return;
    m_paused = false;
    // Level-triggered: a waiting client makes the notifier fire again.
    for (const Listener& listener : m_listeners)
        listener.incoming->setEnabled(true);
}

void CorvaneBridge::processRequest(std::string_view bytes, BridgeConnection& connection, bool headerCut)
{
    const http::Request request = http::parseRequest(bytes, headerCut);
    switch (request.kind) {
    case http::Request::Kind::dropped: connection.drop(); return;
    case http::Request::Kind::foreignHost: connection.sendAndClose(http::buildForbiddenResponse()); return;
    case http::Request::Kind::tooLarge: connection.sendAndClose(http::buildHeaderTooLargeResponse()); return;
    case http::Request::Kind::preflight: connection.sendAndClose(http::buildPreflightResponse(request.origin)); return;
    case http::Request::Kind::badNonce:
        connection.sendAndClose(http::buildBadRequestResponse(request.problem, request.origin));
        return;
    case http::Request::Kind::status: sendStatusReport(request, connection); return;
    }
}

void CorvaneBridge::sendStatusReport(const http::Request& request, BridgeConnection& connection)
{
    std::optional<statusreport::Challenge> challenge;
    if (request.nonce)
        challenge = statusreport::Challenge{*request.nonce, request.origin, std::nullopt};
    // Just after a start the Wi-Fi facts may still be loading.
    m_services.scanner->whenReady([bridge = QPointer(this), request, answer = connection.defer(), challenge]() mutable {
        if (!bridge)
            return;
        bridge->buildStatusReport(
            std::move(challenge), [bridge, request, answer](const std::optional<statusreport::Report>& report) {
                if (!bridge)
                    return;
                if (report)
                    bridge->sendJSONResponse(*report, request, answer);
                else
                    answer.sendAndClose(http::buildUnavailableResponse(kTooManyWaiting, request.origin));
            });
    });
}

void CorvaneBridge::buildStatusReport(
    std::optional<statusreport::Challenge> challenge, std::function<void(std::optional<statusreport::Report>)> done)
{
    statusreport::Report report;
    statusreport::Facts& facts = report.facts;
    facts.nearby = m_services.scanner->scanNetworks();
    facts.current = m_services.scanner->currentNetwork();
    facts.deviceId = m_services.probes->getDeviceID();
    facts.timestamp = statusreport::currentTimestamp();
    facts.vpnActive = m_services.probes->isVPNActive();
    facts.challenge = std::move(challenge);

    SecurityManager& security = *m_services.security;
    security.withKey([&security, report = std::move(report), done = std::move(done)](const DeviceKeyPtr& key) mutable {
        // A portal that asked with a challenge also learns how the key is kept, under the signature.
        if (key && report.facts.challenge)
            report.facts.challenge->keyStorage = keyStorageName(key->storage());
        const std::optional<std::string> payload = statusreport::signedPayload(report.facts);
        if (!key || !payload) {
            done(std::move(report));
            return;
        }
        auto signedReport = std::make_shared<statusreport::Report>(std::move(report));
        if (!security.sign(key, *payload, [key, signedReport, done](std::optional<std::string> signature) {
                if (signature) {
                    signedReport->signature = std::move(signature);
                    signedReport->publicKey = key->publicKey();
                }
                done(std::move(*signedReport));
            }))
            done(std::nullopt);
    });
}

void CorvaneBridge::sendJSONResponse(
    const statusreport::Report& report, const http::Request& request, const DeferredAnswer& answer)
{
    const std::optional<std::string> document = statusreport::servedDocument(report);
    answer.sendAndClose(http::buildJSONResponse(document, request.origin, request.head));
    if (document)
        emit reportServed(report.facts.timestamp, QString::fromStdString(request.origin));
}

} // namespace corvane
