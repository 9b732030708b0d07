#include "TrayItem.h"

#include "XEmbedTray.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QIcon>
#include <QSystemTrayIcon>

#include <chrono>

namespace corvane {
namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
// How long a StatusNotifierWatcher has to appear (at start, or after an
// XEmbed tray started) before the item goes to the XEmbed tray.
constexpr std::chrono::seconds kXEmbedDelay{3};

} // namespace

TrayItem::TrayItem(QObject* parent)
    : QObject(parent)
    , m_watcher(kWatcherService, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration)
    , m_xembed(XEmbedTray::create())
{
    // Qt settles once, at the first tray icon, whether the panel speaks D-Bus;
    // creating the icon before a watcher exists would rule it out for good.
    connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayItem::show);
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto* call = new QDBusPendingCallWatcher(
            bus.interface()->asyncCall(QStringLiteral("NameHasOwner"), kWatcherService), this);
        connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
            const QDBusPendingReply<bool> reply = *finished;
            if (reply.isValid() && reply.value())
                show();
            finished->deleteLater();
        });
    }

    if (m_xembed) {
        m_xembedDelay.setSingleShot(true);
        m_xembedDelay.setInterval(kXEmbedDelay);
        connect(&m_xembedDelay, &QTimer::timeout, this, &TrayItem::showInXEmbedTray);
        connect(m_xembed.get(), &XEmbedTray::appeared, &m_xembedDelay, qOverload<>(&QTimer::start));
        m_xembedDelay.start();
    }
}

TrayItem::~TrayItem() = default;

void TrayItem::showInXEmbedTray()
{
    // No watcher has come, so Qt, asked now, chooses the XEmbed tray.
    if (m_xembed && m_xembed->present())
        show();
}

void TrayItem::show()
{
    // Once made, the icon registers again by itself whenever a panel restarts.
    if (m_icon)
        return;
    m_xembedDelay.stop();
    m_xembed.reset();
    // Made only now: a menu loads the style and the fonts, which an agent
    // without any panel (a headless session) never needs.
    m_menu = std::make_unique<QMenu>();
    m_menu->addAction(tr("Check Status..."), this, &TrayItem::checkStatusTriggered);
    m_menu->addSeparator();
    m_menu->addAction(tr("Quit Corvane"), this, &TrayItem::quitTriggered);
    m_icon = std::make_unique<QSystemTrayIcon>(QIcon(QStringLiteral(":/icons/com.corvane.Agent.svg")));
    m_icon->setToolTip(tr("Corvane Compliance"));
    m_icon->setContextMenu(m_menu.get());
    // A left click (activation) opens the same menu as a right click.
    connect(m_icon.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_menu->popup(QCursor::pos());
    });
    m_icon->show();
}

} // namespace corvane
