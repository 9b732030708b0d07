#include "ApplicationService.h"

#include "log/Log.h"
#include "shell/LoginItem.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>

namespace corvane {
namespace {

const QString kPath = QStringLiteral("/com/corvane/Agent");
const QString kInterface = QStringLiteral("org.freedesktop.Application");
// The running agent answers at once; showing the window comes after.
constexpr int kActivateTimeoutMs = 2000;

} // namespace

QString ApplicationService::name()
{
    return QString::fromUtf8(
        LoginItem::kApplicationId.data(), static_cast<qsizetype>(LoginItem::kApplicationId.size()));
}

ApplicationService::Claim ApplicationService::claim()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Exported first: a launcher's call may be waiting for the name already.
    if (!bus.isConnected() || !bus.registerObject(kPath, this, QDBusConnection::ExportScriptableSlots))
        return Claim::noBus;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        name(), QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid())
        return Claim::noBus;
    return reply.value() == QDBusConnectionInterface::ServiceRegistered ? Claim::owned : Claim::taken;
}

int ApplicationService::activateRunning()
{
    // Hands the launcher's focus permission on to the window that will show.
    QVariantMap platformData;
    if (const QString token = qEnvironmentVariable("XDG_ACTIVATION_TOKEN"); !token.isEmpty())
        platformData.insert(QStringLiteral("activation-token"), token);
    QDBusMessage call = QDBusMessage::createMethodCall(name(), kPath, kInterface, QStringLiteral("Activate"));
    call << platformData;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, kActivateTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        logLine("Corvane Compliance is already running but did not answer: " + reply.errorMessage().toStdString());
        return 1;
    }
    logLine("Corvane Compliance is already running: showing its status window");
    return 0;
}

void ApplicationService::Activate(const QVariantMap& platformData)
{
    // Wayland lets a window take the focus only with the launcher's token.
    if (const QString token = platformData.value(QStringLiteral("activation-token")).toString(); !token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    emit activated();
}

void ApplicationService::Open(const QStringList& /*uris*/, const QVariantMap& platformData)
{
    // The agent opens no documents; being asked to is being asked to show.
    Activate(platformData);
}

void ApplicationService::ActivateAction(
    const QString& name, const QVariantList& /*parameter*/, const QVariantMap& /*platformData*/)
{
    // The desktop entry declares no actions.
    sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No action named ") + name);
}

} // namespace corvane
