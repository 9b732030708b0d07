#include "SessionBus.h"

#include <QAccessible>
#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvane {
namespace {

// The authentication protocol's opening: the credentials byte, then a
// request for the mechanisms, which every daemon answers at once.
constexpr char kGreeting[] = "\0AUTH\r\n";
// What openProbe returns when the daemon does not even accept connections.
constexpr int kNotAccepting = -2;

SessionBus* s_instance = nullptr;
QObject* s_accessibleRoot = nullptr;

struct Endpoint {
    QByteArray name;
    bool abstract = false;
};

// The bus's socket, found as libdbus finds it, when it is a Unix socket (the
// usual transport). Other transports are left to Qt without asking first.
std::optional<Endpoint> sessionEndpoint()
{
    const QByteArray addresses = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (addresses.isEmpty()) {
        const QByteArray bus = qgetenv("XDG_RUNTIME_DIR") + "/bus";
        if (bus.startsWith('/') && QFileInfo::exists(QFile::decodeName(bus)))
            return Endpoint{bus};
        return std::nullopt;
    }
    // The first of the addresses, "unix:key=value,...", values %-escaped.
    const QByteArray first = addresses.split(';').constFirst();
    if (!first.startsWith("unix:"))
        return std::nullopt;
    for (const QByteArray& pair : first.mid(5).split(',')) {
        const qsizetype equals = pair.indexOf('=');
        const QByteArray key = pair.left(equals);
        const QByteArray value = QByteArray::fromPercentEncoding(pair.mid(equals + 1));
        if (equals > 0 && key == "path")
            return Endpoint{value};
        if (equals > 0 && key == "abstract")
            return Endpoint{value, true};
    }
    return std::nullopt;
}

// A connection to the daemon with the greeting sent, never waiting; -1 when
// nothing listens there, kNotAccepting when its queue of connections is full.
int openProbe(const Endpoint& endpoint)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = endpoint.abstract ? 1 : 0; // an abstract name starts with a NUL
    const auto size = static_cast<std::size_t>(endpoint.name.size());
    if (offset + size >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path + offset, endpoint.name.constData(), size);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + size);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EAGAIN ? kNotAccepting : -1;
    }
    if (::send(fd, kGreeting, sizeof kGreeting - 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Once the probe is readable: any byte is an answer; an end or an error is no daemon.
SessionBus::Answer readProbe(int fd)
{
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) > 0 ? SessionBus::Answer::answered : SessionBus::Answer::absent;
}

// Qt's accessibility bridge connects to the session bus when the event loop
// starts; while the daemon is silent, the application's root waits here.
void holdAccessibleRoot(QObject* root)
{
    s_accessibleRoot = root;
}

} // namespace

SessionBus::Answer SessionBus::ask()
{
    const std::optional<Endpoint> endpoint = sessionEndpoint();
    if (!endpoint)
        return Answer::answered;
    const int fd = openProbe(*endpoint);
    if (fd < 0)
        return fd == kNotAccepting ? Answer::silent : Answer::absent;
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(kAnswerTime.count()));
    const Answer answer = ready == 0 ? Answer::silent : readProbe(fd);
    ::close(fd);
    if (answer == Answer::silent) {
        // Qt's KDE and GTK themes would connect in the application's constructor.
        qputenv("QT_QPA_PLATFORMTHEME", "generic");
    }
    return answer;
}

SessionBus::SessionBus(Answer first, QObject* parent)
    : QObject(parent)
    , m_answer(first)
{
    s_instance = this;
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(kAnswerTime);
    connect(&m_deadline, &QTimer::timeout, this, [this] { finishProbe(Answer::silent); });
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryInterval);
    connect(&m_retry, &QTimer::timeout, this, &SessionBus::probe);
    if (first == Answer::silent)
        QAccessible::installRootObjectHandler(&holdAccessibleRoot);
}

SessionBus::~SessionBus()
{
    m_readable.reset();
    if (m_probe >= 0)
        ::close(m_probe);
    s_instance = nullptr;
}

bool SessionBus::isConnected()
{
    return s_instance && s_instance->m_connected;
}

void SessionBus::whenSettled(QObject* context, const std::function<void()>& fn)
{
    if (!s_instance || s_instance->m_connected || s_instance->m_answer == Answer::absent)
        fn();
    else
        connect(s_instance, &SessionBus::connected, context, fn, Qt::SingleShotConnection);
}

void SessionBus::reach()
{
    if (m_answer == Answer::answered) {
        connectQt();
        return;
    }
    if (m_answer == Answer::silent)
        m_retry.start();
    emit unavailable(m_answer == Answer::silent);
}

void SessionBus::probe()
{
    const std::optional<Endpoint> endpoint = sessionEndpoint();
    m_probe = endpoint ? openProbe(*endpoint) : -1;
    if (m_probe < 0) {
        m_probe = -1;
        m_retry.start();
        return;
    }
    m_readable = std::make_unique<QSocketNotifier>(m_probe, QSocketNotifier::Read);
    connect(m_readable.get(), &QSocketNotifier::activated, this, [this] { finishProbe(readProbe(m_probe)); });
    m_deadline.start();
}

void SessionBus::finishProbe(Answer answer)
{
    m_deadline.stop();
    m_readable.reset();
    ::close(m_probe);
    m_probe = -1;
    if (answer == Answer::answered)
        connectQt();
    else
        m_retry.start(); // a daemon that went away may come back at the same address
}

void SessionBus::connectQt()
{
    // The daemon has just answered (or could not be asked), so this is quick.
    if (!QDBusConnection::sessionBus().isConnected()) {
        m_answer = Answer::absent;
        emit unavailable(false);
        return;
    }
    m_connected = true;
    if (QAccessible::installRootObjectHandler(nullptr) == &holdAccessibleRoot && s_accessibleRoot)
        QAccessible::setRootObject(s_accessibleRoot);
    emit connected();
}

} // namespace corvane
