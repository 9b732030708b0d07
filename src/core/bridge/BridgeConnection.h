#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace corvane {

// An answer that a handler hands over later, once, on the main thread: a
// report that waits for its signature, say. If the connection is gone by
// then, nothing happens.
class DeferredAnswer {
public:
    using Deliver = std::function<void(std::optional<std::string> answer)>;

    DeferredAnswer() = default;
    explicit DeferredAnswer(Deliver deliver)
        : m_deliver(std::move(deliver))
    {
    }

    void sendAndClose(std::string response) const { deliver(std::move(response)); }
    void drop() const { deliver(std::nullopt); }

private:
    void deliver(std::optional<std::string> answer) const
    {
        if (m_deliver)
            m_deliver(std::move(answer));
    }

    Deliver m_deliver;
};

// The one request of a connection as the bridge's handlers see it: they
// answer it, drop it, or defer the answer. The transport acts on that once
// they return.
class BridgeConnection {
public:
    BridgeConnection() = default;
    explicit BridgeConnection(std::function<DeferredAnswer()> deferral, std::optional<uid_t> peer = std::nullopt)
        : m_deferral(std::move(deferral))
        , m_peer(peer)
    {
    }

    // The asking process's user ID, where the socket tells it (a Unix socket).
    std::optional<uid_t> peer() const { return m_peer; }

    // Hands over the whole answer; the connection is closed once it is sent.
    void sendAndClose(std::string response) { m_answer = std::move(response); }
    // No answer: the connection is closed at once.
    void drop() { m_answer.reset(); }
    // The answer comes later, through the handle; the connection waits for it.
    DeferredAnswer defer()
    {
        m_deferred = true;
        return m_deferral ? m_deferral() : DeferredAnswer();
    }

    bool deferred() const { return m_deferred; }
    std::optional<std::string>& answer() { return m_answer; }

private:
    std::function<DeferredAnswer()> m_deferral;
    std::optional<uid_t> m_peer;
    std::optional<std::string> m_answer;
    bool m_deferred = false;
};

} // namespace corvane
