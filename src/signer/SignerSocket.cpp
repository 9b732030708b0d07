#include "SignerSocket.h"

#include <systemd/sd-daemon.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane {
namespace {

constexpr int kListenBacklog = 511;

std::string systemProblem(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::filesystem::path boundPath(int fd)
{
    sockaddr_un address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 || address.sun_path[0] == '\0')
        return {};
    return std::string(address.sun_path, ::strnlen(address.sun_path, sizeof address.sun_path));
}

} // namespace

SignerSocket::~SignerSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_made)
        ::unlink(m_path.c_str());
}

bool SignerSocket::adopt(std::string& problem)
{
    const int count = sd_listen_fds(1);
    if (count != 1 || sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, nullptr, 0) <= 0) {
        problem = count < 0 ? std::string("no socket from systemd: ") + std::strerror(-count)
                            : "systemd passed no listening Unix stream socket (start it through corvane-signer.socket, "
                              "or give --socket PATH)";
        return false;
    }
    m_fd = SD_LISTEN_FDS_START;
    // Accepting stops at EAGAIN: the socket systemd made may be blocking.
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    m_path = boundPath(m_fd);
    return true;
}

bool SignerSocket::make(const std::filesystem::path& path, std::string& problem)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.empty() || text.size() >= sizeof address.sun_path) {
        problem = path.string() + ": not a usable socket path";
        return false;
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    struct stat existing { };
    if (::lstat(text.c_str(), &existing) == 0) {
        // Only a socket left by an earlier run is replaced, never a file of another kind.
        if (!S_ISSOCK(existing.st_mode)) {
            problem = text + ": exists and is not a socket";
            return false;
        }
        ::unlink(text.c_str());
    }
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        problem = systemProblem("socket");
        return false;
    }
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        problem = systemProblem(text);
        return false;
    }
    m_path = path;
    m_made = true;
    // Any account may ask, as with the socket systemd makes.
    if (::chmod(text.c_str(), 0666) != 0 || ::listen(m_fd, kListenBacklog) != 0) {
        problem = systemProblem(text);
        return false;
    }
    return true;
}

int SignerSocket::take()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

} // namespace corvane
