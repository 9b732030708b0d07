#pragma once

#include <optional>
#include <string>

namespace corvane {

// The one request of a connection as the bridge's handlers see it: they
// either answer it or drop it. The transport acts on that once they return.
class BridgeConnection {
public:
    // Hands over the whole answer; the connection is closed once it is sent.
    void sendAndClose(std::string response) { m_answer = std::move(response); }
    // No answer: the connection is closed at once.
    void drop() { m_answer.reset(); }

    std::optional<std::string>& answer() { return m_answer; }

private:
    std::optional<std::string> m_answer;
};

} // namespace corvane
