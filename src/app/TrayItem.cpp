#include "TrayItem.h"

#include "SessionBus.h"
#include "XEmbedTray.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QIcon>
#include <QSystemTrayIcon>

#include <chrono>
#include <utility>

namespace corvane {
namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
// How long a StatusNotifierWatcher has to appear (at start, or after an
// XEmbed tray started) before the item goes to the XEmbed tray, or the panel
// that showed the item has to come back, before the item is missing.
constexpr std::chrono::seconds kGracePeriod{3};

} // namespace

TrayItem::TrayItem(QObject* parent)
    : QObject(parent)
    , m_xembed(XEmbedTray::create())
{
    // Qt settles once, at the first tray icon, whether the panel speaks D-Bus;
    // creating the icon before a watcher exists would rule it out for good.
    m_watcher.setWatchMode(QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration);
    connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        m_watcherPresent = true;
        show(Host::statusNotifier);
    });
    connect(&m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        m_watcherPresent = false;
        hostLeft(Host::statusNotifier);
    });
    m_grace.setSingleShot(true);
    m_grace.setInterval(kGracePeriod);
    connect(&m_grace, &QTimer::timeout, this, &TrayItem::settle);
    // Any tray icon makes Qt ask the session bus for a StatusNotifierWatcher,
    // so nothing is shown while its daemon is silent.
    SessionBus::whenSettled(this, [this] { watchHosts(); });
}

void TrayItem::watchHosts()
{
    if (m_xembed) {
        connect(m_xembed.get(), &XEmbedTray::appeared, &m_grace, qOverload<>(&QTimer::start));
        connect(m_xembed.get(), &XEmbedTray::ended, this, [this] { hostLeft(Host::xembed); });
    }
    // Without a display (a headless session) there is nowhere to show anything.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        m_grace.start();
    if (!SessionBus::isConnected())
        return;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    m_watcher.setConnection(bus);
    m_watcher.addWatchedService(kWatcherService);
    auto* call =
        new QDBusPendingCallWatcher(bus.interface()->asyncCall(QStringLiteral("NameHasOwner"), kWatcherService), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        const QDBusPendingReply<bool> reply = *finished;
        if (reply.isValid() && reply.value()) {
            m_watcherPresent = true;
            show(Host::statusNotifier);
        }
        finished->deleteLater();
    });
}

TrayItem::~TrayItem() = default;

void TrayItem::setToolTip(const QString& text)
{
    m_toolTip = text;
    if (m_icon)
        m_icon->setToolTip(text);
}

void TrayItem::settle()
{
    // No watcher has come, so Qt, asked now, chooses the XEmbed tray.
    if (!m_icon && m_xembed && m_xembed->present())
        show(Host::xembed);
    else if (!hostPresent() && !std::exchange(m_missingSaid, true))
        emit missing();
}

void TrayItem::hostLeft(Host host)
{
    // A panel that restarts is back within the grace period.
    if (host == m_host)
        m_grace.start();
}

bool TrayItem::hostPresent()
{
    if (m_host == Host::statusNotifier)
        return m_watcherPresent;
    return m_host == Host::xembed && m_xembed->present();
}

void TrayItem::show(Host host)
{
    // Once made, the icon registers again by itself whenever a panel restarts.
    if (m_icon) {
        if (host == m_host)
            m_grace.stop();
        return;
    }
    m_grace.stop();
    m_host = host;
    // Made only now: a menu loads the style and the fonts, which an agent
    // without any panel (a headless session) never needs.
    m_menu = std::make_unique<QMenu>();
    m_menu->addAction(tr("Check Status..."), this, &TrayItem::checkStatusTriggered);
    m_menu->addSeparator();
    m_menu->addAction(tr("Quit Corvane"), this, &TrayItem::quitTriggered);
    m_icon = std::make_unique<QSystemTrayIcon>(QIcon(QStringLiteral(":/icons/com.corvane.Agent.svg")));
    m_icon->setToolTip(m_toolTip);
    m_icon->setContextMenu(m_menu.get());
    // A left click (activation) opens the same menu as a right click.
    connect(m_icon.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_menu->popup(QCursor::pos());
    });
    m_icon->show();
}

} // namespace corvane
