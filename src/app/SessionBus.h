#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace corvane {

// The session bus, used only once its daemon has been seen to answer. Qt
// connects on the first QDBusConnection::sessionBus() and waits for the
// daemon without any limit, then keeps that connection, even a failed one,
// for the life of the process; and Qt's own parts (the KDE and GTK platform
// themes in the application's constructor, the accessibility bridge when the
// event loop starts, tray icons) ask for it by themselves. So the daemon's
// socket is asked first whether anyone answers: once, for a second at most,
// before the application exists, and then, while the daemon is silent, now
// and then without waiting, keeping Qt's parts off the bus until it answers.
class SessionBus final : public QObject {
    Q_OBJECT

public:
    // How long the daemon has to answer, and how often a silent one is asked again.
    static constexpr std::chrono::milliseconds kAnswerTime{1000};
    static constexpr std::chrono::seconds kRetryInterval{5};

    // Unprobed transports (other than Unix sockets) count as answered.
    enum class Answer { answered, absent, silent };

    // In main, before the application is made: waits a second at most.
    static Answer ask();

    // The process's one, made by main with what ask() found.
    explicit SessionBus(Answer first, QObject* parent = nullptr);
    ~SessionBus() override;

    // Whether QDBusConnection::sessionBus() is connected and may be used.
    static bool isConnected();
    // Runs fn at once when the bus is connected or absent, otherwise once it connects.
    static void whenSettled(QObject* context, const std::function<void()>& fn);

    // Connects Qt when the daemon answered: connected(), or unavailable().
    // A silent daemon gives unavailable(true), then perhaps connected() later.
    void reach();

signals:
    void connected();
    void unavailable(bool silent);

private:
    void probe();
    void finishProbe(Answer answer);
    void connectQt();

    Answer m_answer;
    bool m_connected = false;
    int m_probe = -1;
    std::unique_ptr<QSocketNotifier> m_readable;
    QTimer m_deadline;
    QTimer m_retry;
};

} // namespace corvane
