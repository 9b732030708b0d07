#include "TrayItem.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QIcon>
#include <QSystemTrayIcon>

namespace corvane {
namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

bool watcherPresent()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface()->isServiceRegistered(kWatcherService).value();
}

} // namespace

TrayItem::TrayItem(QObject* parent)
    : QObject(parent)
    , m_watcher(kWatcherService, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration)
{
    m_menu.addAction(tr("Check Status..."), this, &TrayItem::checkStatusTriggered);
    m_menu.addSeparator();
    m_menu.addAction(tr("Quit Corvane"), this, &TrayItem::quitTriggered);

    connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayItem::show);
    // Qt settles once, at the first tray icon, whether the panel speaks D-Bus;
    // creating the icon before a watcher exists would rule it out for good.
    if (watcherPresent())
        show();
}

TrayItem::~TrayItem() = default;

void TrayItem::show()
{
    // Once made, the icon registers again by itself whenever a panel restarts.
    if (m_icon)
        return;
    m_icon = std::make_unique<QSystemTrayIcon>(QIcon(QStringLiteral(":/icons/com.corvane.Agent.svg")));
    m_icon->setToolTip(tr("Corvane Compliance"));
    m_icon->setContextMenu(&m_menu);
    m_icon->show();
}

} // namespace corvane
