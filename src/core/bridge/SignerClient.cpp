#include "bridge/SignerClient.h"

#include <QSocketNotifier>
#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace corvane {
namespace {

constexpr const char* kDefaultSocket = "/run/corvane/signer.sock";

std::string systemFailure(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// The notifier or the timer may be the one calling: it stops at once and is
// deleted once control is back in the event loop.
template <typename T>
void dispose(std::unique_ptr<T>& object)
{
    if (!object)
        return;
    object->disconnect();
    object.release()->deleteLater();
}

} // namespace

struct SignerClient::Exchange {
    std::string request;
    std::size_t sent = 0;
    std::string answer;
    Done done;
    std::unique_ptr<QSocketNotifier> notifier;
    std::chrono::steady_clock::time_point deadline;
};

SignerClient::SignerClient(std::filesystem::path socket, QObject* parent)
    : QObject(parent)
    , m_socket(std::move(socket))
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &SignerClient::expire);
}

void SignerClient::expire()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> overdue;
    auto next = std::chrono::steady_clock::time_point::max();
    for (const auto& [fd, exchange] : m_exchanges) {
        if (exchange->deadline <= now)
            overdue.push_back(fd);
        else
            next = std::min(next, exchange->deadline);
    }
    for (int fd : overdue)
        finish(fd, {std::nullopt, "no answer within " + std::to_string(kTimeout.count()) + " s"});
    if (next != std::chrono::steady_clock::time_point::max())
        m_deadline.start(std::chrono::ceil<std::chrono::milliseconds>(next - now));
}

SignerClient::~SignerClient()
{
    for (const auto& entry : m_exchanges)
        ::close(entry.first);
}

std::filesystem::path SignerClient::defaultSocket()
{
    const char* path = std::getenv("CORVANE_SIGNER_SOCKET");
    return path && *path ? path : kDefaultSocket;
}

void SignerClient::ask(std::string_view target, std::optional<std::string_view> origin, Done done)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = m_socket.string();
    if (path.size() >= sizeof address.sun_path) {
        done({std::nullopt, "the socket's path is too long"});
        return;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        done({std::nullopt, systemFailure("socket")});
        return;
    }
    // A Unix socket connects at once or not at all (EAGAIN: its queue is full).
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Result failed{std::nullopt, systemFailure("connect")};
        ::close(fd);
        done(std::move(failed));
        return;
    }
    auto exchange = std::make_unique<Exchange>();
    exchange->request = "GET " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\n";
    if (origin)
        exchange->request += "Origin: " + std::string(*origin) + "\r\n";
    exchange->request += "\r\n";
    exchange->done = std::move(done);
    exchange->deadline = std::chrono::steady_clock::now() + kTimeout;
    // Every exchange has the same time: the first to end is always the oldest.
    if (!m_deadline.isActive())
        m_deadline.start(kTimeout);
    // Sent at once (it fits the socket's buffer): the signer finds it when it accepts.
    sendRequest(fd, *m_exchanges.emplace(fd, std::move(exchange)).first->second);
}

void SignerClient::sendRequest(int fd, Exchange& exchange)
{
    const ssize_t count = ::send(fd, exchange.request.data() + exchange.sent, exchange.request.size() - exchange.sent,
        MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count < 0 && errno != EAGAIN && errno != EINTR) {
        finish(fd, {std::nullopt, systemFailure("send")});
        return;
    }
    exchange.sent += count > 0 ? static_cast<std::size_t>(count) : 0;
    // Watched for writing while some is left, then for the answer.
    const auto type = exchange.sent < exchange.request.size() ? QSocketNotifier::Write : QSocketNotifier::Read;
    if (exchange.notifier && exchange.notifier->type() == type)
        return;
    if (exchange.notifier)
        exchange.notifier->setEnabled(false);
    dispose(exchange.notifier);
    exchange.notifier = std::make_unique<QSocketNotifier>(fd, type);
    connect(exchange.notifier.get(), &QSocketNotifier::activated, this, [this, fd] { progress(fd); });
}

void SignerClient::progress(int fd)
{
    const auto it = m_exchanges.find(fd);
    if (it == m_exchanges.end())
        return;
    Exchange& exchange = *it->second;
    if (exchange.sent < exchange.request.size()) {
        sendRequest(fd, exchange);
        return;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count > 0) {
            exchange.answer.append(buffer, static_cast<std::size_t>(count));
            if (exchange.answer.size() > kMaxAnswerBytes) {
                finish(fd, {std::nullopt, "an answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes"});
                return;
            }
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (count < 0) {
            finish(fd, {std::nullopt, systemFailure("recv")});
            return;
        }
        std::optional<http::Answer> answer = http::parseAnswer(exchange.answer);
        finish(fd, answer ? Result{std::move(answer), {}} : Result{std::nullopt, "an answer that is not HTTP"});
        return;
    }
}

void SignerClient::finish(int fd, Result result)
{
    const auto it = m_exchanges.find(fd);
    if (it == m_exchanges.end())
        return;
    std::unique_ptr<Exchange> exchange = std::move(it->second);
    m_exchanges.erase(it);
    if (m_exchanges.empty())
        m_deadline.stop();
    if (exchange->notifier)
        exchange->notifier->setEnabled(false);
    dispose(exchange->notifier);
    ::close(fd);
    exchange->done(std::move(result));
}

} // namespace corvane
