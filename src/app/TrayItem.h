#pragma once

#include <QDBusServiceWatcher>
#include <QMenu>
#include <QObject>
#include <QTimer>

#include <memory>

class QSystemTrayIcon;

namespace corvane {

class XEmbedTray;

// The shield in the panel and its menu. Panels announce themselves through
// a StatusNotifierWatcher on the session bus, often only after the agent
// started at login; the item is made when the first one appears. On X11, a
// tray that speaks only XEmbed gets the item when no watcher has come a few
// seconds after start. With neither by then, or when the panel showing the
// item goes and none is back a few seconds later, it says so once (missing);
// the item still comes whenever a panel does.
class TrayItem final : public QObject {
    Q_OBJECT

public:
    explicit TrayItem(QObject* parent = nullptr);
    ~TrayItem() override;

    void setToolTip(const QString& text);

signals:
    void checkStatusTriggered();
    void quitTriggered();
    void missing();

private:
    // What shows the item: Qt settles that once, at the first icon.
    enum class Host { none, statusNotifier, xembed };

    void watchHosts();
    void show(Host host);
    void settle();
    void hostLeft(Host host);
    bool hostPresent();

    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_icon;
    QDBusServiceWatcher m_watcher;
    std::unique_ptr<XEmbedTray> m_xembed;
    QTimer m_grace;
    QString m_toolTip;
    Host m_host = Host::none;
    bool m_watcherPresent = false;
    bool m_missingSaid = false;
};

} // namespace corvane
