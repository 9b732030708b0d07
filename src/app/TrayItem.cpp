#include "TrayItem.h"

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

namespace corvane {
namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
// How long a StatusNotifierWatcher has to appear (at start, or after an
// XEmbed tray started) before the item goes to the XEmbed tray, or is missing.
constexpr std::chrono::seconds kGracePeriod{3};

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

    // Without a display (a headless session) there is nowhere to show anything.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return;
    m_grace.setSingleShot(true);
    m_grace.setInterval(kGracePeriod);
    connect(&m_grace, &QTimer::timeout, this, &TrayItem::settle);
    if (m_xembed)
        connect(m_xembed.get(), &XEmbedTray::appeared, &m_grace, qOverload<>(&QTimer::start));
    m_grace.start();
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
    if (m_icon)
        return;
    // No watcher has come, so Qt, asked now, chooses the XEmbed tray.
    if (m_xembed && m_xembed->present()) {
        show();
    } else if (!m_missingSaid) {
        m_missingSaid = true;
        emit missing();
    }
}

void TrayItem::show()
{
    // Once made, the icon registers again by itself whenever a panel restarts.
    if (m_icon)
        return;
    m_grace.stop();
    m_xembed.reset();
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
