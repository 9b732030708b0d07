#pragma once

#include <QDBusServiceWatcher>
#include <QMenu>
#include <QObject>

#include <memory>

class QSystemTrayIcon;

namespace corvane {

// The shield in the panel and its menu. Panels announce themselves through
// a StatusNotifierWatcher on the session bus, often only after the agent
// started at login; the item is made when the first one appears.
class TrayItem final : public QObject {
    Q_OBJECT

public:
    explicit TrayItem(QObject* parent = nullptr);
    ~TrayItem() override;

signals:
    void checkStatusTriggered();
    void quitTriggered();

private:
    void show();

    QMenu m_menu;
    std::unique_ptr<QSystemTrayIcon> m_icon;
    QDBusServiceWatcher m_watcher;
};

} // namespace corvane
