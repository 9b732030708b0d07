#include "ApplicationService.h"

#include "SessionBus.h"
#include "log/Log.h"
#include "shell/LoginItem.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>

#include <optional>
#include <string>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

const QString kPath = QStringLiteral("/com/corvane/Agent");
const QString kInterface = QStringLiteral("org.freedesktop.Application");
const QString kDaemon = QStringLiteral("org.freedesktop.DBus");
const QString kDaemonPath = QStringLiteral("/org/freedesktop/DBus");
constexpr int kDaemonTimeoutMs = static_cast<int>(SessionBus::kAnswerTime.count());
// The running agent answers at once; showing the window comes after.
constexpr int kActivateTimeoutMs = 2000;
constexpr uint kPrimaryOwner = 1;
constexpr uint kAlreadyOwner = 4;

struct Owner {
    uint pid;
    uint uid;
};

// The name's owner as the daemon knows it, when its answer has that shape.
std::optional<Owner> ownerOf(const QDBusMessage& message)
{
    const QDBusReply<QVariantMap> reply(message);
    if (!reply.isValid())
        return std::nullopt;
    const QVariant pid = reply.value().value(QStringLiteral("ProcessID"));
    const QVariant uid = reply.value().value(QStringLiteral("UnixUserID"));
    if (pid.metaType() != QMetaType::fromType<uint>() || uid.metaType() != QMetaType::fromType<uint>())
        return std::nullopt;
    return Owner{pid.toUInt(), uid.toUInt()};
}

std::string executableOf(uint pid)
{
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char target[4096];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    return length > 0 && static_cast<size_t>(length) < sizeof target ? std::string(target, static_cast<size_t>(length))
                                                                     : "program unknown";
}

// The very file this process runs, not merely one at the same path (which
// another mount namespace could put there).
bool runsThisProgram(uint pid)
{
    struct stat theirs { };
    struct stat ours { };
    return ::stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &theirs) == 0
        && ::stat("/proc/self/exe", &ours) == 0 && theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino;
}

std::string withoutName(const std::string& why)
{
    return why + ": running without it";
}

} // namespace

ApplicationService::ApplicationService(SessionBus& bus, QObject* parent)
    : QObject(parent)
    , m_bus(bus)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(SessionBus::kRetryInterval);
    connect(&m_retry, &QTimer::timeout, this, &ApplicationService::requestName);
}

QString ApplicationService::name()
{
    return QString::fromUtf8(
        LoginItem::kApplicationId.data(), static_cast<qsizetype>(LoginItem::kApplicationId.size()));
}

void ApplicationService::claim()
{
    connect(&m_bus, &SessionBus::connected, this, &ApplicationService::requestName);
    connect(&m_bus, &SessionBus::unavailable, this, &ApplicationService::unavailable);
    m_bus.reach();
}

void ApplicationService::unavailable(bool silent)
{
    if (silent && !std::exchange(m_silentSaid, true))
        logLine("The session bus did not answer: running without the name " + name().toStdString()
            + ", the tray item and notifications until it does");
    settle(Claim::without);
}

void ApplicationService::requestName()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Exported first: a launcher's call may be waiting for the name already.
    if (!m_exported && !(m_exported = bus.registerObject(kPath, this, QDBusConnection::ExportScriptableSlots))) {
        settle(Claim::without);
        return;
    }
    // Queued behind another owner, so that the name comes here once it leaves.
    QDBusMessage request = QDBusMessage::createMethodCall(kDaemon, kDaemonPath, kDaemon, QStringLiteral("RequestName"));
    request << name() << 0U;
    call(request, kDaemonTimeoutMs, [this](const QDBusMessage& reply) {
        const QVariant code = reply.arguments().value(0);
        if (reply.type() == QDBusMessage::ReplyMessage && code.metaType() == QMetaType::fromType<uint>()
            && (code.toUInt() == kPrimaryOwner || code.toUInt() == kAlreadyOwner)) {
            settle(Claim::owned);
        } else if (reply.type() == QDBusMessage::ReplyMessage) {
            identifyOwner();
        } else if (reply.errorName() == QDBusError::errorString(QDBusError::NoReply)
            || reply.errorName() == QDBusError::errorString(QDBusError::Timeout)) {
            unavailable(true);
            m_retry.start();
        } else {
            logLine(withoutName("The session bus refused the name " + name().toStdString() + " ("
                + reply.errorMessage().toStdString() + ")"));
            settle(Claim::without);
        }
    });
}

void ApplicationService::identifyOwner()
{
    QDBusMessage ask =
        QDBusMessage::createMethodCall(kDaemon, kDaemonPath, kDaemon, QStringLiteral("GetConnectionCredentials"));
    ask << name();
    call(ask, kDaemonTimeoutMs, [this](const QDBusMessage& reply) {
        const std::optional<Owner> owner = ownerOf(reply);
        if (owner && owner->pid == static_cast<uint>(::getpid())) {
            settle(Claim::owned); // the other owner left meanwhile
        } else if (owner && owner->uid == ::getuid() && runsThisProgram(owner->pid) && !m_settled) {
            settle(Claim::running);
        } else {
            const std::string holder = owner ? "process " + std::to_string(owner->pid) + " (" + executableOf(owner->pid)
                    + ", user " + std::to_string(owner->uid) + ")"
                                             : std::string("a process the session bus did not name");
            logLine(withoutName("The name " + name().toStdString() + " is held by " + holder));
            settle(Claim::without);
        }
    });
}

void ApplicationService::settle(Claim claim)
{
    if (!std::exchange(m_settled, true))
        emit settled(claim);
}

void ApplicationService::call(
    const QDBusMessage& message, int timeoutMs, const std::function<void(const QDBusMessage&)>& done)
{
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message, timeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [done](QDBusPendingCallWatcher* finished) {
        done(finished->reply());
        finished->deleteLater();
    });
}

void ApplicationService::activateRunning(const QByteArray& activationToken)
{
    // Hands the launcher's focus permission on to the window that will show.
    QVariantMap platformData;
    if (!activationToken.isEmpty())
        platformData.insert(QStringLiteral("activation-token"), QString::fromUtf8(activationToken));
    QDBusMessage activate = QDBusMessage::createMethodCall(name(), kPath, kInterface, QStringLiteral("Activate"));
    activate << platformData;
    call(activate, kActivateTimeoutMs, [](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage) {
            logLine("Corvane Compliance is already running but did not answer: " + reply.errorMessage().toStdString());
            QCoreApplication::exit(1);
            return;
        }
        logLine("Corvane Compliance is already running: showing its status window");
        QCoreApplication::exit(0);
    });
}

void ApplicationService::Activate(const QVariantMap& platformData)
{
    const QVariant token = platformData.value(QStringLiteral("activation-token"));
    emit activated(token.metaType() == QMetaType::fromType<QString>() ? token.toString().toUtf8() : QByteArray());
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
