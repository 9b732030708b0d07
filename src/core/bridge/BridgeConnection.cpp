#include "bridge/BridgeConnection.h"

#include <QTcpSocket>

#include <sys/socket.h>

namespace corvane {

BridgeConnection::BridgeConnection(QTcpSocket* socket, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
{
    m_socket->setParent(this);
    // Qt would otherwise keep pulling bytes from the kernel without bound.
    m_socket->setReadBufferSize(kMaxRequestBytes);

    connect(m_socket, &QTcpSocket::readyRead, this, &BridgeConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &BridgeConnection::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &BridgeConnection::finish);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // The peer closing first is normal once the answer is out; anything
        // else, or a peer that left without a request, ends the connection.
        if (error != QAbstractSocket::RemoteHostClosedError || m_state != State::Answering)
            finish();
    });

    // Idle clients must not hold a descriptor for ever.
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &BridgeConnection::drop);
    m_timer.start(kIdleTimeoutMs);
}

BridgeConnection::~BridgeConnection()
{
    // The socket goes down with us and reports that; nobody is left to hear it.
    disconnect(m_socket, nullptr, this, nullptr);
}

void BridgeConnection::onReadyRead()
{
    if (m_state != State::AwaitingRequest) {
        // Only the first read counts; whatever follows is discarded so the
        // close stays graceful instead of turning into a reset.
        m_socket->skip(m_socket->bytesAvailable());
        return;
    }
    m_timer.stop();
    m_state = State::Handling;
    const QByteArray bytes = m_socket->read(kMaxRequestBytes);
    emit requestReceived(bytes, this);
}

void BridgeConnection::sendAndClose(const std::string& response)
{
    if (m_state == State::Closed)
        return;
    m_state = State::Answering;
    // Bounds the whole goodbye: a client that stops reading, or vanished
    // mid-answer, must not keep the descriptor.
    m_timer.start(kLingerTimeoutMs);
    m_socket->write(response.data(), static_cast<qint64>(response.size()));
    m_socket->flush();
    onBytesWritten();
}

void BridgeConnection::onBytesWritten()
{
    if (m_state != State::Answering || m_socket->bytesToWrite() > 0)
        return;
    // The whole answer is with the kernel: send FIN, then wait for the client
    // to close so that unread request bytes do not make the kernel reset the
    // connection before the client has read the answer.
    m_state = State::Lingering;
    ::shutdown(static_cast<int>(m_socket->socketDescriptor()), SHUT_WR);
    m_socket->skip(m_socket->bytesAvailable());
}

void BridgeConnection::drop()
{
    finish();
}

void BridgeConnection::finish()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_timer.stop();
    // Nothing the socket says while it closes concerns us any more.
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
    deleteLater();
}

} // namespace corvane
