#include "BackgroundNotice.h"

#include "ApplicationService.h"
#include "SessionBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace corvane {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kDefaultAction = QStringLiteral("default");

} // namespace

void BackgroundNotice::send()
{
    if (!SessionBus::isConnected())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Any sender: naming the service would make Qt look its owner up and wait.
    bus.connect(QString(), kPath, kService, QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));

    const QString id = ApplicationService::name();
    QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    notify << QCoreApplication::applicationName() << 0U << id << tr("Corvane Compliance runs in the background")
           << tr("Open Corvane Compliance from your applications to see its status.")
           << QStringList{kDefaultAction, tr("Show Status")} << QVariantMap{{QStringLiteral("desktop-entry"), id}}
           << -1;
    auto* call = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isValid())
            m_id = reply.value();
        finished->deleteLater();
    });
}

void BackgroundNotice::actionInvoked(uint id, const QString& action)
{
    if (m_id == id && action == kDefaultAction)
        emit clicked();
}

} // namespace corvane
