#include "AgentClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane::verify {
namespace {

constexpr std::uint16_t kAgentPort = 12180;
// Far above any report; stops a stranger on the port from filling memory.
constexpr std::size_t kMaxAnswer = 16u << 20;

using Clock = std::chrono::steady_clock;

class Socket {
public:
    Socket()
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
    {
    }
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

std::string systemError(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

// Waits until the socket is ready for the events or the deadline passes.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

FetchResult fetchFromAgent(std::chrono::milliseconds timeout, std::string_view target)
{
    const std::string request =
        "GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1:12180\r\nConnection: close\r\n\r\n";
    const Clock::time_point deadline = Clock::now() + timeout;
    const std::string timedOut =
        "no answer from 127.0.0.1:12180 within " + std::to_string(timeout.count() / 1000) + " s";
    Socket socket;
    if (socket.fd() < 0)
        return {{}, systemError("socket", errno)};

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kAgentPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS)
            return {{}, systemError("cannot connect to 127.0.0.1:12180", errno)};
        if (!waitFor(socket.fd(), POLLOUT, deadline))
            return {{}, timedOut};
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0)
            return {{}, systemError("cannot connect to 127.0.0.1:12180", error)};
    }

    for (std::size_t sent = 0; sent < request.size();) {
        if (!waitFor(socket.fd(), POLLOUT, deadline))
            return {{}, timedOut};
        const ssize_t n = ::send(socket.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return {{}, systemError("cannot send the request", errno)};
        if (n > 0)
            sent += static_cast<std::size_t>(n);
    }

    // The agent closes the connection after its one answer.
    std::string answer;
    char buffer[65536];
    for (;;) {
        if (!waitFor(socket.fd(), POLLIN, deadline))
            return {{}, timedOut};
        const ssize_t n = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return {{}, systemError("cannot read the answer", errno)};
        }
        answer.append(buffer, static_cast<std::size_t>(n));
        if (answer.size() > kMaxAnswer)
            return {{}, "the answer is larger than 16 MiB"};
    }
    if (answer.empty())
        return {{}, "the agent closed the connection without an answer"};
    return {std::move(answer), {}};
}

} // namespace corvane::verify
