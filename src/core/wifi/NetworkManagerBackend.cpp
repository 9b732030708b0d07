#include "wifi/NetworkManagerBackend.h"

#include "text/Utf8.h"
#include "wifi/WifiUnits.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>
#include <QVariant>
#include <QVariantMap>

#include <chrono>
#include <ctime>

namespace corvane {
namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString kDeviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kWirelessInterface = QStringLiteral("org.freedesktop.NetworkManager.Device.Wireless");
const QString kAccessPointInterface = QStringLiteral("org.freedesktop.NetworkManager.AccessPoint");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

constexpr uint kDeviceTypeWifi = 2;

// The bus, and until when NetworkManager is not asked again after a call of
// ours timed out.
struct Link {
    QDBusConnection bus;
    std::chrono::steady_clock::time_point& quietUntil;
};

const QStringList kTimeoutErrors = {
    QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
    QStringLiteral("org.freedesktop.DBus.Error.Timeout"),
    QStringLiteral("org.freedesktop.DBus.Error.TimedOut"),
};

// One synchronous call and its answer.
class Call {
public:
    Call(Link& link, const QString& path, const QString& interface, const QString& method,
        const QList<QVariant>& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
        message.setArguments(arguments);
        message.setAutoStartService(false); // never start a system service ourselves
        m_reply = link.bus.call(message, QDBus::Block, NetworkManagerBackend::callTimeoutMs);
        if (kTimeoutErrors.contains(m_reply.errorName()))
            link.quietUntil = std::chrono::steady_clock::now()
                + std::chrono::milliseconds(NetworkManagerBackend::quietAfterTimeoutMs);
    }

    bool ok() const { return m_reply.type() == QDBusMessage::ReplyMessage; }

    // NetworkManager is gone or hung: asking on would only wait again.
    bool unreachable() const
    {
        static const QStringList names = kTimeoutErrors
            + QStringList{
                QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
                QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"),
                QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
                QStringLiteral("org.freedesktop.DBus.Error.NoServer"),
            };
        return !ok() && names.contains(m_reply.errorName());
    }

    // The object went away between listing and asking, as access points do.
    bool objectVanished() const
    {
        static const QStringList names = {
            QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
            QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
            QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface"),
        };
        return !ok() && names.contains(m_reply.errorName());
    }

    std::string errorMessage() const { return m_reply.errorMessage().toStdString(); }

    // The single value of a reply of the given signature.
    std::optional<QVariant> value(const QString& signature) const
    {
        if (!ok() || m_reply.signature() != signature || m_reply.arguments().size() != 1)
            return std::nullopt;
        return m_reply.arguments().constFirst();
    }

    QString signature() const { return m_reply.signature(); }

private:
    QDBusMessage m_reply;
};

Call getProperty(Link& bus, const QString& path, const QString& interface, const QString& name)
{
    return Call(bus, path, kPropertiesInterface, QStringLiteral("Get"), {interface, name});
}

Call getAllProperties(Link& bus, const QString& path, const QString& interface)
{
    return Call(bus, path, kPropertiesInterface, QStringLiteral("GetAll"), {interface});
}

template <typename T>
std::optional<T> exactly(const QVariant& value)
{
    if (value.metaType() != QMetaType::fromType<T>())
        return std::nullopt;
    return value.value<T>();
}

// A container value arrives as an argument still to be read; read it only when
// its signature is the expected one.
template <typename T>
std::optional<T> container(const QVariant& value, const char* signature)
{
    const std::optional<QDBusArgument> argument = exactly<QDBusArgument>(value);
    if (!argument || argument->currentSignature() != QLatin1String(signature))
        return std::nullopt;
    T result;
    *argument >> result;
    return result;
}

// The value of a Properties.Get reply.
std::optional<QVariant> propertyValue(const Call& call)
{
    const std::optional<QVariant> wrapped = call.value(QStringLiteral("v"));
    if (!wrapped)
        return std::nullopt;
    const std::optional<QDBusVariant> inner = exactly<QDBusVariant>(*wrapped);
    if (!inner)
        return std::nullopt;
    return inner->variant();
}

std::optional<QVariantMap> propertyMap(const Call& call)
{
    const std::optional<QVariant> value = call.value(QStringLiteral("a{sv}"));
    if (!value)
        return std::nullopt;
    return container<QVariantMap>(*value, "a{sv}");
}

std::optional<QString> objectPath(const std::optional<QVariant>& value)
{
    if (!value)
        return std::nullopt;
    const std::optional<QDBusObjectPath> path = exactly<QDBusObjectPath>(*value);
    if (!path)
        return std::nullopt;
    return path->path();
}

bool hasActiveAccessPoint(const Call& call)
{
    const std::optional<QString> path = objectPath(propertyValue(call));
    return path && *path != QLatin1String("/");
}

WifiObservation observe(const QVariantMap& properties)
{
    WifiObservation seen;
    if (const auto ssid = exactly<QByteArray>(properties.value(QStringLiteral("Ssid")))) {
        const std::string bytes(ssid->constData(), static_cast<std::size_t>(ssid->size()));
        if (!bytes.empty() && utf8::isValid(bytes))
            seen.ssid = bytes;
    }
    if (const auto address = exactly<QString>(properties.value(QStringLiteral("HwAddress")));
        address && !address->isEmpty())
        seen.bssid = address->toStdString();
    const auto strength = exactly<uchar>(properties.value(QStringLiteral("Strength")));
    seen.rssi = wifiunits::dbmFromQuality(strength.value_or(0));
    if (const auto frequency = exactly<uint>(properties.value(QStringLiteral("Frequency"))))
        seen.channel = wifiunits::channelFromFrequency(*frequency);
    return seen;
}

// NetworkManager stamps LastScan with CLOCK_BOOTTIME in milliseconds.
std::int64_t bootTimeMs()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

QString unexpectedSignature(const QString& got, const char* expected)
{
    return QStringLiteral("Unexpected reply signature: got \"%1\", expected \"%2\"").arg(got, QLatin1String(expected));
}

int nextConnectionNumber()
{
    static int number = 0;
    return ++number;
}

} // namespace

NetworkManagerBackend::NetworkManagerBackend()
    : m_connectionName(QStringLiteral("corvane-networkmanager-%1").arg(nextConnectionNumber()))
    , m_bus(QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName))
{
}

NetworkManagerBackend::~NetworkManagerBackend()
{
    QDBusConnection::disconnectFromBus(m_connectionName);
}

std::shared_ptr<NetworkManagerBackend> NetworkManagerBackend::shared()
{
    // Weak, so that the connection ends with its last scanner and not after
    // the application object.
    static std::weak_ptr<NetworkManagerBackend> instance;
    std::shared_ptr<NetworkManagerBackend> backend = instance.lock();
    if (!backend) {
        backend = std::make_shared<NetworkManagerBackend>();
        instance = backend;
    }
    return backend;
}

QDBusConnection NetworkManagerBackend::bus()
{
    // Reconnecting costs a round trip through QtDBus's own thread, so a bus
    // that is not there is tried at most once per reconnectIntervalMs; calls
    // meanwhile fail at once and give their fallbacks.
    const auto now = std::chrono::steady_clock::now();
    if (!m_bus.isConnected() && now >= m_nextReconnect) {
        m_nextReconnect = now + std::chrono::milliseconds(reconnectIntervalMs);
        QDBusConnection::disconnectFromBus(m_connectionName);
        m_bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName);
    }
    return m_bus;
}

std::optional<std::string> NetworkManagerBackend::defaultInterface()
{
    // Every survey starts here: after a timeout, the next ones give their
    // fallbacks at once instead of each waiting out another one.
    if (std::chrono::steady_clock::now() < m_quietUntil)
        return std::nullopt;
    Link connection{bus(), m_quietUntil};
    const Call devices(connection, kManagerPath, kManagerInterface, QStringLiteral("GetDevices"));
    const std::optional<QVariant> list = devices.value(QStringLiteral("ao"));
    if (!list)
        return std::nullopt;
    const auto paths = container<QList<QDBusObjectPath>>(*list, "ao");
    if (!paths)
        return std::nullopt;

    std::optional<std::string> firstWifi;
    for (const QDBusObjectPath& device : *paths) {
        const Call type = getProperty(connection, device.path(), kDeviceInterface, QStringLiteral("DeviceType"));
        if (type.unreachable())
            return std::nullopt;
        const std::optional<QVariant> typeValue = propertyValue(type);
        if (!typeValue || exactly<uint>(*typeValue) != kDeviceTypeWifi)
            continue;

        const Call active =
            getProperty(connection, device.path(), kWirelessInterface, QStringLiteral("ActiveAccessPoint"));
        if (active.unreachable())
            return std::nullopt;
        if (hasActiveAccessPoint(active))
            return device.path().toStdString();
        if (!firstWifi)
            firstWifi = device.path().toStdString();
    }
    return firstWifi;
}

WifiObservation NetworkManagerBackend::currentAssociation(const std::string& interface)
{
    Link connection{bus(), m_quietUntil};
    const QString device = QString::fromStdString(interface);
    const Call active = getProperty(connection, device, kWirelessInterface, QStringLiteral("ActiveAccessPoint"));
    const std::optional<QString> accessPoint = objectPath(propertyValue(active));
    if (!accessPoint || *accessPoint == QLatin1String("/"))
        return {};

    // A path that no longer answers means the association just ended.
    const Call properties = getAllProperties(connection, *accessPoint, kAccessPointInterface);
    if (!properties.ok())
        return {};
    return observe(propertyMap(properties).value_or(QVariantMap{}));
}

WifiScanResult NetworkManagerBackend::scan(const std::string& interface)
{
    Link connection{bus(), m_quietUntil};
    const QString device = QString::fromStdString(interface);

    const Call lastScan = getProperty(connection, device, kWirelessInterface, QStringLiteral("LastScan"));
    if (lastScan.unreachable())
        return WifiScanResult::failure(lastScan.errorMessage());
    const std::optional<QVariant> lastScanValue = propertyValue(lastScan);
    const std::optional<qlonglong> scannedAt = lastScanValue ? exactly<qlonglong>(*lastScanValue) : std::nullopt;
    if (!scannedAt || *scannedAt < 0 || bootTimeMs() - *scannedAt > scanMaxAgeMs) {
        // Not waited for: NetworkManager refuses or rate-limits scans, and its
        // answer changes nothing here. The list below is what it knows now.
        QDBusMessage request =
            QDBusMessage::createMethodCall(kService, device, kWirelessInterface, QStringLiteral("RequestScan"));
        request.setArguments({QVariant::fromValue(QVariantMap{})});
        request.setAutoStartService(false);
        connection.bus.send(request);
    }

    const Call list = Call(connection, device, kWirelessInterface, QStringLiteral("GetAllAccessPoints"));
    if (!list.ok())
        return WifiScanResult::failure(list.errorMessage());
    const std::optional<QVariant> listValue = list.value(QStringLiteral("ao"));
    const auto paths = listValue ? container<QList<QDBusObjectPath>>(*listValue, "ao") : std::nullopt;
    if (!paths)
        return WifiScanResult::failure(unexpectedSignature(list.signature(), "ao").toStdString());

    WifiScanResult result;
    result.networks.reserve(static_cast<std::size_t>(paths->size()));
    for (const QDBusObjectPath& accessPoint : *paths) {
        const Call properties = getAllProperties(connection, accessPoint.path(), kAccessPointInterface);
        if (properties.objectVanished())
            continue;
        if (!properties.ok())
            return WifiScanResult::failure(properties.errorMessage());
        result.networks.push_back(observe(propertyMap(properties).value_or(QVariantMap{})));
    }
    return result;
}

} // namespace corvane
