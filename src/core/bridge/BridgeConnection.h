#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <string>

class QTcpSocket;

namespace corvane {

// One accepted client. It reads the one request the client gets to send,
// hands it on through requestReceived, then either answers and closes or is
// dropped. It deletes itself once the socket is done.
class BridgeConnection final : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 kMaxRequestBytes = 65536;
    static constexpr int kIdleTimeoutMs = 30'000;
    // How long the answer and the client's close may take together.
    static constexpr int kLingerTimeoutMs = 5'000;

    BridgeConnection(QTcpSocket* socket, QObject* parent);
    ~BridgeConnection() override;

    // Hands the whole answer to the transport, then closes gracefully.
    void sendAndClose(const std::string& response);
    // Closes at once, without an answer.
    void drop();

signals:
    void requestReceived(const QByteArray& bytes, corvane::BridgeConnection* connection);

private:
    enum class State { AwaitingRequest, Handling, Answering, Lingering, Closed };

    void onReadyRead();
    void onBytesWritten();
    void finish();

    QTcpSocket* m_socket;
    QTimer m_timer;
    State m_state = State::AwaitingRequest;
};

} // namespace corvane
