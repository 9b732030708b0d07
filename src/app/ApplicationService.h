#pragma once

#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

namespace corvane {

// The agent on the session bus. Owning com.corvane.Agent keeps it to one per
// session; launchers (its desktop entry is D-Bus activatable) and a second
// start reach the running one through org.freedesktop.Application.
class ApplicationService final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    enum class Claim { owned, taken, noBus };

    using QObject::QObject;

    // The bus name, which is also the desktop entry's name.
    static QString name();

    // Exports the interface, then asks for the name. Waits for the bus, so
    // it is called only before the event loop runs.
    Claim claim();

    // In a second start: asks the running agent to show its status, waiting
    // briefly. Returns the exit status after saying what happened.
    static int activateRunning();

    // The interface's methods, named as the interface names them.
    // NOLINTBEGIN(readability-identifier-naming)
public slots:
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);
    Q_SCRIPTABLE void Open(const QStringList& uris, const QVariantMap& platformData);
    Q_SCRIPTABLE void ActivateAction(
        const QString& name, const QVariantList& parameter, const QVariantMap& platformData);
    // NOLINTEND(readability-identifier-naming)

signals:
    void activated();
};

} // namespace corvane
