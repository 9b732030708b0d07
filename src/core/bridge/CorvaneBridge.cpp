#include "bridge/CorvaneBridge.h"

#include "bridge/BridgeConnection.h"
#include "bridge/Http.h"
#include "log/Log.h"

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
#include <unistd.h>

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

bool meansNoIPv6(QAbstractSocket::SocketError error)
{
    return error == QAbstractSocket::SocketAddressNotAvailableError
        || error == QAbstractSocket::UnsupportedSocketOperationError;
}

std::optional<uid_t> peerOf(int fd)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return std::nullopt;
    return credentials.uid;
}

// What a request asked for, in words for the log; the origin is already free of control characters.
std::string describe(const http::Request& request)
{
    using Kind = http::Request::Kind;
    switch (request.kind) {
    case Kind::dropped: return "nothing readable";
    case Kind::foreignHost: return "refused, addressed to another host";
    case Kind::tooLarge: return "refused, its header did not end";
    case Kind::badNonce: return "refused, " + request.problem;
    case Kind::preflight: return "preflight";
    case Kind::status: break;
    }
    std::string text = request.nonce ? "challenge-bound report" : "report";
    if (request.path == "/key")
        text = "public key";
    return request.origin == http::kAnyOrigin ? text + " without an Origin" : text + " for " + request.origin;
}

// The one way an answer leaves: HEAD gets every answer without its body.
std::string finished(const http::Request& request, http::Response response)
{
    response.omitBody = request.head;
    return response.serialize();
}

} // namespace

CorvaneBridge::CorvaneBridge(ReportSource& reports, QObject* parent)
    : QObject(parent)
    , m_reports(reports)
    , m_connections([this](std::string_view request, bool headerCut, BridgeConnection& connection) {
        processRequest(request, connection, headerCut);
    })
{
    connect(&m_connections, &BridgeConnections::released, this, &CorvaneBridge::resumeAccepting);
}

CorvaneBridge::~CorvaneBridge()
{
    for (const Listener& listener : m_listeners) {
        if (!listener.server)
            ::close(listener.fd);
    }
}

std::chrono::milliseconds CorvaneBridge::nextRestartDelay(std::chrono::milliseconds previous)
{
    return std::clamp(2 * previous, kFirstRestartDelay, kLongestRestartDelay);
}

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
        listeners.push_back({std::move(server), fd, nullptr});
        const std::string host = address.toString().toStdString();
        served.addresses.push_back((ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port));
    }
    m_listeners = std::move(listeners);
    for (Listener& listener : m_listeners)
        listen(listener);
    m_restart.stop();
    setReachability(std::move(served));
    logLine("Corvane Bridge active on localhost:" + std::to_string(port));
}

void CorvaneBridge::serve(int listener)
{
    m_connectionLimit = connectionLimit();
    m_listeners.push_back({nullptr, listener, nullptr});
    listen(m_listeners.back());
}

void CorvaneBridge::listen(Listener& listener)
{
    listener.incoming = std::make_unique<QSocketNotifier>(listener.fd, QSocketNotifier::Read);
    // Only a Unix socket (the signer's) tells who asks.
    connect(listener.incoming.get(), &QSocketNotifier::activated, this,
        [this, fd = listener.fd, tellsPeer = !listener.server] { acceptConnections(fd, tellsPeer); });
}

void CorvaneBridge::startAgainLater(const QTcpServer& failed)
{
    // Said once; the tray and the status window tell the rest.
    if (m_restartDelay == std::chrono::milliseconds::zero()) {
        logLine("Bridge failed: " + failed.errorString().toStdString());
        m_restart.setSingleShot(true);
        connect(&m_restart, &QTimer::timeout, this, &CorvaneBridge::start);
    }
    m_restartDelay = nextRestartDelay(m_restartDelay);
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

void CorvaneBridge::acceptConnections(int listener, bool tellsPeer)
{
    for (;;) {
        const bool full = m_connections.kept() >= m_connectionLimit;
        // A full house admits the newcomer, unless every kept connection has its whole request.
        if (full && !m_connections.hasUnfinished())
            break;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            m_connections.serve(fd, tellsPeer ? peerOf(fd) : std::nullopt);
            if (m_connections.kept() > m_connectionLimit)
                m_connections.closeOldestUnfinished();
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
    if (connection.peer())
        logLine("Request from user " + std::to_string(*connection.peer()) + ": " + describe(request));
    switch (request.kind) {
    case http::Request::Kind::dropped: connection.drop(); return;
    case http::Request::Kind::foreignHost: connection.sendAndClose(finished(request, http::forbiddenAnswer())); return;
    case http::Request::Kind::tooLarge:
        connection.sendAndClose(finished(request, http::headerTooLargeAnswer()));
        return;
    case http::Request::Kind::preflight:
        connection.sendAndClose(finished(request, http::preflightAnswer(request.origin)));
        return;
    case http::Request::Kind::badNonce:
        connection.sendAndClose(
            finished(request, http::statusAnswer(400, http::errorDocument(request.problem), request.origin)));
        return;
    case http::Request::Kind::status: sendStatusReport(request, connection); return;
    }
}

void CorvaneBridge::sendStatusReport(const http::Request& request, BridgeConnection& connection)
{
    m_reports.answer(request, [bridge = QPointer(this), request, answer = connection.defer()](ReportAnswer report) {
        const bool served = report.status == 200 && report.document && report.timestamp;
        answer.sendAndClose(finished(request,
            http::statusAnswer(report.status, std::move(report.document), request.origin, report.retryAfterSeconds)));
        if (bridge && served)
            emit bridge->reportServed(*report.timestamp, QString::fromStdString(request.origin));
    });
}

} // namespace corvane
