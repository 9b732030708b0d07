#pragma once

#include "bridge/Http.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvane {

// Asks the system signer over its Unix socket, in the bridge's own HTTP: one
// request per connection, its whole answer read until the signer closes.
// Nothing waits: the answer comes through the event loop, within kTimeout.
class SignerClient final : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds kTimeout{5};
    // Far above any report; a stranger on the socket cannot fill memory.
    static constexpr std::size_t kMaxAnswerBytes = 1u << 20;

    struct Result {
        std::optional<http::Answer> answer;
        std::string failure; // why there is no answer
    };
    using Done = std::function<void(Result)>;

    explicit SignerClient(std::filesystem::path socket, QObject* parent = nullptr);
    ~SignerClient() override;

    // CORVANE_SIGNER_SOCKET (tests, a development copy), else /run/corvane/signer.sock.
    static std::filesystem::path defaultSocket();
    const std::filesystem::path& socket() const { return m_socket; }

    // A GET of target ("/", "/?nonce=...", "/key"), with an Origin header when
    // origin is given. done runs once: at once when the socket cannot be
    // reached, else from the event loop.
    void ask(std::string_view target, std::optional<std::string_view> origin, Done done);

private:
    struct Exchange;

    void sendRequest(int fd, Exchange& exchange);
    void progress(int fd);
    void finish(int fd, Result result);
    void expire();

    std::filesystem::path m_socket;
    std::unordered_map<int, std::unique_ptr<Exchange>> m_exchanges;
    // One timer for them all, at the oldest's deadline.
    QTimer m_deadline;
};

} // namespace corvane
