#include "log/Log.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

// One thread only: the Qt event loop's.
LogCapture* activeCapture = nullptr;

// Standard output, written without ever waiting for its reader. Its open file
// description is shared with the parent and its other children, so O_NONBLOCK
// is never set on it: they would start to see EAGAIN. A pipe, FIFO or terminal
// is opened again through /proc, which gives this process a description of its
// own to make non-blocking; a socket takes MSG_DONTWAIT on each send; a regular
// file has no reader to wait for and is written as it is.
class StandardOutput {
public:
    // Bytes written, or -1 with errno (EAGAIN: the reader is behind).
    ssize_t write(std::string_view bytes)
    {
        if (!follow())
            return -1;
        ssize_t written = -1;
        do {
            switch (m_way) {
            case Way::plain: written = ::write(STDOUT_FILENO, bytes.data(), bytes.size()); break;
            case Way::socket:
                written = ::send(STDOUT_FILENO, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                break;
            case Way::own: written = ::write(m_own, bytes.data(), bytes.size()); break;
            case Way::polled:
                // At most what a writable pipe takes whole; the rest waits like a partial write.
                written =
                    ready() ? ::write(STDOUT_FILENO, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF)) : -1;
                break;
            }
        } while (written < 0 && errno == EINTR);
        return written;
    }

    // The descriptor that turns writable when the reader catches up.
    int descriptor() const { return m_way == Way::own ? m_own : STDOUT_FILENO; }

private:
    enum class Way { plain, socket, own, polled };

    // Standard output may be replaced while the agent runs (tests capture it):
    // the way to write is chosen again whenever it names another file.
    bool follow()
    {
        struct stat now = {};
        if (::fstat(STDOUT_FILENO, &now) != 0)
            return false;
        if (m_chosen && now.st_dev == m_device && now.st_ino == m_inode)
            return m_way != Way::own || m_own >= 0 || reopen();
        m_chosen = true;
        m_device = now.st_dev;
        m_inode = now.st_ino;
        if (m_own >= 0)
            ::close(m_own);
        m_own = -1;
        if (S_ISSOCK(now.st_mode))
            m_way = Way::socket;
        else if (S_ISFIFO(now.st_mode) || S_ISCHR(now.st_mode))
            return reopen();
        else
            m_way = Way::plain;
        return true;
    }

    bool reopen()
    {
        m_way = Way::own;
        m_own = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (m_own >= 0)
            return true;
        if (errno == ENXIO) {
            errno = EPIPE; // a FIFO nobody reads; tried again on the next line
            return false;
        }
        // No /proc: a full pipe is still never waited on, though another
        // writer may fill it between the check and the write.
        m_way = Way::polled;
        return true;
    }

    static bool ready()
    {
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        if (::poll(&out, 1, 0) == 1 && (out.revents & POLLOUT))
            return true;
        errno = EAGAIN;
        return false;
    }

    bool m_chosen = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    Way m_way = Way::plain;
    int m_own = -1;
};

StandardOutput output;
// The end of a line whose start the reader already has: nothing else may
// follow it until it is written.
std::string unfinished;
// Whole lines lost since the reader stopped taking them.
std::uint64_t dropped = 0;
// Enabled only while something waits for the reader, so it never wakes an
// idle agent.
QPointer<QSocketNotifier> writable;

// Writes what the reader takes now and erases it from bytes. False when
// standard output is gone (closed, or its reader left for good).
bool push(std::string& bytes)
{
    const ssize_t written = output.write(bytes);
    if (written >= 0)
        bytes.erase(0, static_cast<std::size_t>(written));
    return written >= 0 || errno == EAGAIN || errno == EWOULDBLOCK;
}

// Drops what was meant for an output that is gone: no reader will see it.
bool forget()
{
    unfinished.clear();
    dropped = 0;
    return true;
}

// Finishes a line begun, then says how many were lost. True once nothing
// is pending.
bool catchUp()
{
    if (!unfinished.empty()) {
        if (!push(unfinished))
            return forget();
        if (!unfinished.empty())
            return false;
    }
    if (dropped == 0)
        return true;
    std::string notice = "Log: " + std::to_string(dropped) + (dropped == 1 ? " line" : " lines")
        + " dropped while standard output was not read\n";
    const std::size_t whole = notice.size();
    if (!push(notice))
        return forget();
    if (notice.size() == whole)
        return false;
    dropped = 0;
    unfinished = std::move(notice);
    return unfinished.empty();
}

// True while the reader has not caught up. Nothing is written then until it
// has taken some: a short line may still fit where a long one did not, and
// each would bring a count of its own.
bool behind()
{
    if (unfinished.empty() && dropped == 0)
        return false;
    pollfd out{output.descriptor(), POLLOUT, 0};
    return ::poll(&out, 1, 0) != 1 || !catchUp(); // an error there is for the write to tell
}

void watchReader()
{
    const bool pending = !unfinished.empty() || dropped > 0;
    if (writable && writable->socket() != output.descriptor()) {
        writable->setEnabled(false);
        writable->deleteLater();
        writable.clear();
    }
    if (!writable && pending && output.descriptor() >= 0 && QAbstractEventDispatcher::instance()) {
        writable = new QSocketNotifier(output.descriptor(), QSocketNotifier::Write, QCoreApplication::instance());
        QObject::connect(writable, &QSocketNotifier::activated, [] {
            catchUp();
            watchReader();
        });
    }
    if (writable)
        writable->setEnabled(pending);
}

} // namespace

void logLine(std::string_view text)
{
    if (activeCapture)
        activeCapture->m_lines.emplace_back(text);
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text).push_back('\n');
    if (behind()) {
        ++dropped;
    } else if (const std::size_t whole = line.size(); push(line)) {
        if (line.size() == whole)
            ++dropped;
        else
            unfinished = std::move(line); // empty once all of it went out
    }
    watchReader();
}

LogCapture::LogCapture()
    : m_outer(activeCapture)
{
    activeCapture = this;
}

LogCapture::~LogCapture()
{
    activeCapture = m_outer;
}

} // namespace corvane
