#include "bridge/BridgeConnections.h"

#include "bridge/Http.h"

#include "bridge/BridgeConnection.h"

#include <QPointer>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace corvane {
namespace {

enum class Drained { nothing, data, closed };

// A header that comes in many pieces is read at most this often after the
// first few: a client trickling it two bytes a segment costs a read per
// pause, not one per segment.
constexpr int kPiecesReadAtOnce = 4;
constexpr std::chrono::milliseconds kTricklePause{10};

// Reads and discards whatever the client has sent so far.
Drained drain(int fd, std::string& buffer)
{
    Drained result = Drained::nothing;
    for (;;) {
        const ssize_t count = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count > 0) {
            result = Drained::data;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return result;
        return Drained::closed; // end of stream, or the connection failed
    }
}

} // namespace

struct BridgeConnections::Kept {
    Stage stage = Stage::request;
    std::string request;      // the header so far
    std::size_t searched = 0; // how much of it holds no end of the header
    std::optional<uid_t> peer;
    std::uint64_t serial = 0;                // which of the connections that had this descriptor
    int pieces = 0;                          // of its header read so far
    std::optional<Clock::time_point> resume; // not watched until then: it trickles
    std::string answer;
    std::size_t sent = 0;
    bool clientMaySend = false;
    Clock::time_point deadline;
    Clock::time_point lingerEnd;
    std::shared_ptr<Deferral> deferral;
    std::unique_ptr<QSocketNotifier, NotifierDisposal> notifier;
};

// Shared by a deferred answer and its connection, so that an answer that
// comes for a connection already let go (or a reused descriptor) is ignored.
struct BridgeConnections::Deferral {
    int fd = -1;
    bool clientMaySend = false;
    bool waiting = false; // the handler has returned; the connection is kept
    bool delivered = false;
    std::optional<std::string> early; // delivered before the handler returned
};

// A notifier may be the one whose signal is being handled: it stops watching
// at once, so its descriptor can be closed, and is deleted once control is
// back in the event loop.
void BridgeConnections::NotifierDisposal::operator()(QSocketNotifier* notifier) const
{
    notifier->setEnabled(false);
    notifier->disconnect();
    notifier->deleteLater();
}

BridgeConnections::BridgeConnections(Responder responder, QObject* parent)
    : QObject(parent)
    , m_responder(std::move(responder))
    , m_buffer(kMaxRequestBytes, '\0')
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &BridgeConnections::expire);
}

BridgeConnections::~BridgeConnections()
{
    for (const auto& entry : m_kept)
        ::close(entry.first);
}

void BridgeConnections::serve(int fd, std::optional<uid_t> peer)
{
    const ssize_t count = ::recv(fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
    if (count > 0)
        serveWhenWhole(fd, std::string_view(m_buffer.data(), static_cast<std::size_t>(count)), peer);
    else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        keep(fd, Stage::request).peer = peer;
    else
        ::close(fd); // gone without a request
}

void BridgeConnections::serveWhenWhole(int fd, std::string_view bytes, std::optional<uid_t> peer)
{
    // Judged only on its whole header: a Host line still on its way must not be missed.
    const bool whole = http::headerLength(bytes).has_value();
    if (whole || bytes.size() >= kMaxRequestBytes) {
        // The rest of a request that did not fit, or a body, may still be on its way.
        const bool clientMaySend = bytes.size() >= kMaxRequestBytes || !http::isComplete(bytes);
        respond(fd, bytes, clientMaySend, !whole, peer);
        return;
    }
    Kept& kept = keep(fd, Stage::request);
    kept.request.assign(bytes);
    kept.searched = bytes.size();
    kept.peer = peer;
}

// Connections are kept for the rest of their request in the order they came,
// which is also the order of their deadlines; those no longer waiting for it
// (answered, gone, or a reused descriptor) are skipped on the way.
bool BridgeConnections::unfinished(const Arrival& arrival) const
{
    const auto it = m_kept.find(arrival.first);
    return it != m_kept.end() && it->second->serial == arrival.second && it->second->stage == Stage::request;
}

std::optional<int> BridgeConnections::oldestUnfinished()
{
    for (; !m_arrivals.empty(); m_arrivals.pop_front()) {
        if (unfinished(m_arrivals.front()))
            return m_arrivals.front().first;
    }
    return std::nullopt;
}

bool BridgeConnections::hasUnfinished()
{
    return oldestUnfinished().has_value();
}

void BridgeConnections::closeOldestUnfinished()
{
    if (const std::optional<int> oldest = oldestUnfinished())
        release(*oldest);
}

void BridgeConnections::readMore(int fd, Kept& kept)
{
    const std::size_t room = kMaxRequestBytes - kept.request.size();
    const ssize_t count = ::recv(fd, m_buffer.data(), room, MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (count > 0) {
        kept.request.append(m_buffer.data(), static_cast<std::size_t>(count));
        // Still within the deadline set when it was taken: trickling bytes buy no time.
        if (!http::headerLength(kept.request, kept.searched) && kept.request.size() < kMaxRequestBytes) {
            kept.searched = kept.request.size();
            if (++kept.pieces >= kPiecesReadAtOnce) {
                kept.notifier->setEnabled(false);
                kept.resume = Clock::now() + kTricklePause;
                scheduleBy(*kept.resume);
            }
            return;
        }
    } else if (count < 0 || kept.request.empty()) {
        release(fd); // failed, or gone without a request
        return;
    }
    const std::string request = std::move(kept.request);
    const std::optional<uid_t> peer = kept.peer;
    // The descriptor leaves the table; answering it is the fast path's job.
    m_kept.erase(fd);
    if (count == 0)
        respond(fd, request, false, false, peer); // the client has sent all it will
    else
        serveWhenWhole(fd, request, peer);
    schedule();
    emit released();
}

void BridgeConnections::respond(
    int fd, std::string_view request, bool clientMaySend, bool headerCut, std::optional<uid_t> peer)
{
    auto deferral = std::make_shared<Deferral>();
    deferral->fd = fd;
    deferral->clientMaySend = clientMaySend;
    BridgeConnection connection(
        [this, deferral] {
            return DeferredAnswer([self = QPointer(this), deferral](std::optional<std::string> answer) {
                if (deferral->delivered)
                    return;
                deferral->delivered = true;
                if (!deferral->waiting)
                    deferral->early = std::move(answer);
                else if (self)
                    self->deferredAnswer(deferral, std::move(answer));
            });
        },
        peer);
    m_responder(request, headerCut, connection);
    if (!connection.deferred())
        answer(fd, std::move(connection.answer()), clientMaySend);
    else if (deferral->delivered)
        answer(fd, std::move(deferral->early), clientMaySend);
    else {
        deferral->waiting = true;
        keep(fd, Stage::waiting).deferral = std::move(deferral);
    }
}

void BridgeConnections::deferredAnswer(const std::shared_ptr<Deferral>& deferral, std::optional<std::string> answer)
{
    const auto it = m_kept.find(deferral->fd);
    if (it == m_kept.end() || it->second->deferral != deferral)
        return; // let go meanwhile
    m_kept.erase(it);
    this->answer(deferral->fd, std::move(answer), deferral->clientMaySend);
    schedule();
    emit released();
}

void BridgeConnections::answer(int fd, std::optional<std::string> answer, bool clientMaySend)
{
    if (!answer) {
        ::close(fd);
        return;
    }
    std::size_t sent = 0;
    switch (send(fd, *answer, sent, clientMaySend)) {
    case Next::close: ::close(fd); break;
    case Next::wait: {
        Kept& kept = keep(fd, Stage::answer);
        kept.answer = std::move(*answer);
        kept.sent = sent;
        kept.clientMaySend = clientMaySend;
        break;
    }
    case Next::linger: keep(fd, Stage::linger); break;
    }
}

BridgeConnections::Next BridgeConnections::send(
    int fd, const std::string& answer, std::size_t& sent, bool clientMaySend)
{
    while (sent < answer.size()) {
        const ssize_t count = ::send(fd, answer.data() + sent, answer.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count > 0)
            sent += static_cast<std::size_t>(count);
        else if (count < 0 && errno == EINTR)
            continue;
        else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Next::wait;
        else
            return Next::close; // the client is gone
    }
    // Closing with unread bytes would make the kernel reset the connection,
    // and the client could lose the answer it has not read yet. So a client
    // that may still send is let finish, after the end of the answer.
    switch (drain(fd, m_buffer)) {
    case Drained::closed: return Next::close;
    case Drained::data: clientMaySend = true; break;
    case Drained::nothing: break;
    }
    if (!clientMaySend)
        return Next::close;
    ::shutdown(fd, SHUT_WR);
    return Next::linger;
}

BridgeConnections::Kept& BridgeConnections::keep(int fd, Stage stage)
{
    auto kept = std::make_unique<Kept>();
    const Clock::time_point now = Clock::now();
    kept->stage = stage;
    kept->lingerEnd = now + kLingerTotal;
    kept->deadline = now + (stage == Stage::request || stage == Stage::waiting ? kIdleTimeout : kLingerTimeout);
    // One that waits for its answer has nothing to read or write meanwhile.
    if (stage != Stage::waiting)
        watch(fd, *kept);
    Kept& added = *m_kept.insert_or_assign(fd, std::move(kept)).first->second;
    scheduleBy(added.deadline);
    if (stage == Stage::request) {
        // Those that finished or went are dropped now and then, not one by one.
        if (m_arrivals.size() > 2 * m_kept.size() + 64)
            std::erase_if(m_arrivals, [this](const Arrival& arrival) { return !unfinished(arrival); });
        added.serial = ++m_lastSerial;
        m_arrivals.emplace_back(fd, added.serial);
    }
    return added;
}

void BridgeConnections::watch(int fd, Kept& kept)
{
    const auto type = kept.stage == Stage::answer ? QSocketNotifier::Write : QSocketNotifier::Read;
    // A child, so that one still waiting for deletion goes with the bridge.
    kept.notifier.reset(new QSocketNotifier(fd, type, this));
    connect(kept.notifier.get(), &QSocketNotifier::activated, this, [this, fd] { activated(fd); });
}

void BridgeConnections::activated(int fd)
{
    const auto it = m_kept.find(fd);
    if (it == m_kept.end())
        return;
    Kept& kept = *it->second;
    const Clock::time_point now = Clock::now();
    switch (kept.stage) {
    case Stage::request: readMore(fd, kept); return;
    case Stage::waiting: return;
    case Stage::answer: {
        const std::size_t before = kept.sent;
        switch (send(fd, kept.answer, kept.sent, kept.clientMaySend)) {
        case Next::close: release(fd); return;
        case Next::linger:
            kept.stage = Stage::linger;
            kept.answer = {};
            kept.lingerEnd = now + kLingerTotal;
            kept.deadline = now + kLingerTimeout;
            watch(fd, kept); // now for the client's reading and closing
            break;
        case Next::wait:
            if (kept.sent > before)
                kept.deadline = now + kLingerTimeout; // still reading: not stuck
            break;
        }
        break;
    }
    case Stage::linger:
        switch (drain(fd, m_buffer)) {
        case Drained::closed: release(fd); return;
        // Still sending: a while longer, but never past the total.
        case Drained::data: kept.deadline = std::min(now + kLingerTimeout, kept.lingerEnd); break;
        case Drained::nothing: break;
        }
        break;
    }
    scheduleBy(kept.deadline);
}

void BridgeConnections::release(int fd)
{
    m_kept.erase(fd); // stops its notifier before the descriptor closes
    ::close(fd);
    schedule();
    emit released();
}

void BridgeConnections::expire()
{
    const Clock::time_point now = Clock::now();
    std::vector<int> overdue;
    for (const auto& [fd, kept] : m_kept) {
        if (kept->resume && *kept->resume <= now) {
            kept->resume.reset();
            kept->notifier->setEnabled(true); // level-triggered: what came meanwhile is read at once
        }
        if (kept->deadline > now)
            continue;
        if (kept->stage == Stage::answer || kept->stage == Stage::linger) {
            // A client that stopped reading: reset, so the kernel drops the unsent rest too.
            const linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        overdue.push_back(fd);
    }
    for (int fd : overdue)
        release(fd);
    m_timerDue = Clock::time_point::max();
    for (const auto& entry : m_kept) {
        scheduleBy(entry.second->deadline);
        if (entry.second->resume)
            scheduleBy(*entry.second->resume);
    }
}

// Called on every change, so it costs nothing: a connection that goes leaves
// the timer as it is (firing early for nothing costs one pass), and only the
// last one stops it.
void BridgeConnections::schedule()
{
    if (m_kept.empty()) {
        m_timer.stop();
        m_timerDue = Clock::time_point::max();
    }
}

void BridgeConnections::scheduleBy(Clock::time_point deadline)
{
    if (deadline >= m_timerDue)
        return;
    m_timerDue = deadline;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    m_timer.start(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(0)));
}

} // namespace corvane
