#pragma once

#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

namespace corvane {

class SessionBus;

// The agent on the session bus. Owning com.corvane.Agent keeps it to one per
// session; launchers (its desktop entry is D-Bus activatable) and a second
// start reach the running one through org.freedesktop.Application. Another
// program holding the name, or a bus that does not answer, never keeps the
// agent from serving: it runs without the name then.
class ApplicationService final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    // Who serves this session: this process (owned), this program already
    // running for this person (running), or this process without the name.
    enum class Claim { owned, running, without };

    explicit ApplicationService(SessionBus& bus, QObject* parent = nullptr);

    // The bus name, which is also the desktop entry's name.
    static QString name();

    // Reaches the bus and asks for the name without waiting; settled() follows,
    // about a second later at most.
    void claim();

    // In a second start: asks the running agent to show its status (handing
    // on the launcher's token), says what happened and ends the event loop
    // with the exit status.
    void activateRunning(const QByteArray& activationToken);

    // The interface's methods, named as the interface names them.
    // NOLINTBEGIN(readability-identifier-naming)
public slots:
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);
    Q_SCRIPTABLE void Open(const QStringList& uris, const QVariantMap& platformData);
    Q_SCRIPTABLE void ActivateAction(
        const QString& name, const QVariantList& parameter, const QVariantMap& platformData);
    // NOLINTEND(readability-identifier-naming)

signals:
    void settled(Claim claim);
    // Asked to show; the launcher's token lets the window take the focus on Wayland.
    void activated(const QByteArray& activationToken);

private:
    void unavailable(bool silent);
    void requestName();
    void identifyOwner();
    void settle(Claim claim);
    void call(const QDBusMessage& message, int timeoutMs, const std::function<void(const QDBusMessage&)>& done);

    SessionBus& m_bus;
    QTimer m_retry;
    bool m_exported = false;
    bool m_settled = false;
    bool m_silentSaid = false;
};

} // namespace corvane
