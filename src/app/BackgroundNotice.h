#pragma once

#include <QObject>

#include <optional>

namespace corvane {

// The one desktop notification that says where the agent is when no tray
// shows its icon (GNOME without the AppIndicator extension).
class BackgroundNotice final : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Asks the notification service without waiting; without one, nothing shows.
    void send();

signals:
    // The person clicked the notification.
    void clicked();

private slots:
    void actionInvoked(uint id, const QString& action);

private:
    std::optional<uint> m_id;
};

} // namespace corvane
