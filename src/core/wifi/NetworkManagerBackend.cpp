#include "wifi/NetworkManagerBackend.h"

#include "log/Log.h"
#include "text/Utf8.h"
#include "wifi/WifiUnits.h"

// Before any Qt header: Qt's "signals" keyword breaks GLib's headers.
#include <NetworkManager.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <deque>
#include <functional>
#include <vector>

namespace corvane {
namespace {

// What a device's last scan request of ours found, kept on the device. A scan
// request is answered at once, but LastScan moves only when the scan ends,
// seconds later: until then a stale LastScan says nothing new.
constexpr char kScanAsked[] = "corvane-scan-asked";
struct ScanAsked {
    gint64 lastScan;
    gint64 at;
};

// libnm runs on GLib's default main context; only Qt's GLib event dispatcher
// iterates it, and only on the main thread.
bool qtRunsGlibMainContext()
{
    const QCoreApplication* app = QCoreApplication::instance();
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    return app && QThread::currentThread() == app->thread() && dispatcher
        && dispatcher->inherits("QEventDispatcherGlib");
}

WifiObservation observe(NMAccessPoint* accessPoint)
{
    WifiObservation seen;
    if (GBytes* ssid = nm_access_point_get_ssid(accessPoint)) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(ssid, &size));
        std::string bytes = data ? std::string(data, size) : std::string();
        if (!bytes.empty() && utf8::isValid(bytes))
            seen.ssid = std::move(bytes);
    }
    if (const char* bssid = nm_access_point_get_bssid(accessPoint); bssid && *bssid)
        seen.bssid = bssid;
    seen.rssi = wifiunits::dbmFromQuality(nm_access_point_get_strength(accessPoint));
    seen.channel = wifiunits::channelFromFrequency(nm_access_point_get_frequency(accessPoint));
    return seen;
}

void scanAnswered(GObject* device, GAsyncResult* result, gpointer /*unused*/)
{
    // Refused or failed, a scan changes nothing here: reports list what
    // NetworkManager knows, and a later one asks again once the limit has passed.
    nm_device_wifi_request_scan_finish(NM_DEVICE_WIFI(device), result, nullptr);
}

void requestScanWhenStale(NMDeviceWifi* device)
{
    // Both on CLOCK_BOOTTIME in milliseconds; -1 means never scanned.
    const gint64 lastScan = nm_device_wifi_get_last_scan(device);
    const gint64 now = nm_utils_get_timestamp_msec();
    if (lastScan >= 0 && now - lastScan <= NetworkManagerBackend::kScanMaxAgeMs)
        return;
    const auto* asked = static_cast<const ScanAsked*>(g_object_get_data(G_OBJECT(device), kScanAsked));
    // Asked already, and neither has that scan ended nor has the limit passed.
    if (asked && asked->lastScan == lastScan && now - asked->at <= NetworkManagerBackend::kScanMaxAgeMs)
        return;
    g_object_set_data_full(G_OBJECT(device), kScanAsked, new ScanAsked{lastScan, now},
        [](gpointer data) { delete static_cast<ScanAsked*>(data); });
    nm_device_wifi_request_scan_async(device, nullptr, scanAnswered, nullptr);
}

std::string pathOf(NMDevice* device)
{
    const char* path = nm_object_get_path(NM_OBJECT(device));
    return path ? path : "";
}

} // namespace

// The GLib side: a private system bus connection (the shared one would end
// the process when the bus goes away) and the NMClient on it, both made
// asynchronously. libnm follows NetworkManager leaving and coming back by
// itself; a lost bus is dropped and connected again on use.
struct NetworkManagerBackend::Link : std::enable_shared_from_this<Link> {
    bool glibRuns = false;
    GDBusConnection* bus = nullptr;
    gulong closedHandler = 0;
    NMClient* client = nullptr;
    GCancellable* pending = nullptr; // the connection or client still being made
    bool lost = false;
    std::chrono::steady_clock::time_point nextAttempt;

    // whenReady's callers while a load is under way, oldest first, and the
    // one timer that ends their wait (or hands them a load that has ended).
    struct Waiter {
        std::chrono::steady_clock::time_point by;
        std::function<void()> ready;
    };
    std::deque<Waiter> waiting;
    QTimer deadline;

    // One asynchronous step's view of the link: it may be gone, or have
    // given this attempt up, by the time the step ends.
    struct Attempt {
        std::weak_ptr<Link> link;
        GCancellable* cancellable;

        std::shared_ptr<Link> current() const
        {
            std::shared_ptr<Link> alive = link.lock();
            return alive && alive->pending == cancellable ? alive : nullptr;
        }
        ~Attempt() { g_object_unref(cancellable); }
    };

    Link()
    {
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, [this] { release(); });
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() { drop(); }

    // The model once it is ready and its bus is up; never waits.
    NMClient* model()
    {
        if (lost)
            drop();
        if (!client && !pending && glibRuns && std::chrono::steady_clock::now() >= nextAttempt)
            connect();
        return client;
    }

    // A load under way: the bus or client still being made, or NetworkManager
    // back on the bus and its objects not read yet.
    bool loading() const
    {
        return pending || (client && nm_client_get_dbus_name_owner(client) && !nm_client_get_nm_running(client));
    }

    void wait(std::function<void()> ready)
    {
        waiting.push_back({std::chrono::steady_clock::now() + kLoadWait, std::move(ready)});
        if (!deadline.isActive())
            deadline.start(kLoadWait);
    }

    // Looks at the waiters again from the event loop, not inside a libnm or
    // GIO callback.
    void settle()
    {
        if (!waiting.empty())
            deadline.start(0);
    }

    // Hands every waiter the model once its load has ended, else those whose
    // time is up.
    void release()
    {
        const auto now = std::chrono::steady_clock::now();
        const bool loaded = !loading();
        std::vector<std::function<void()>> due;
        while (!waiting.empty() && (loaded || waiting.front().by <= now)) {
            due.push_back(std::move(waiting.front().ready));
            waiting.pop_front();
        }
        if (!waiting.empty())
            deadline.start(std::chrono::ceil<std::chrono::milliseconds>(waiting.front().by - now));
        // Last: a caller may ask again.
        for (const std::function<void()>& ready : due)
            ready();
    }

    void connect()
    {
        nextAttempt = std::chrono::steady_clock::now() + kReconnectInterval;
        // Only reads the environment: no I/O.
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
        if (!address)
            return;
        pending = g_cancellable_new();
        const auto flags = static_cast<GDBusConnectionFlags>(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
        g_dbus_connection_new_for_address(
            address, flags, nullptr, pending, busConnected, new Attempt{weak_from_this(), g_object_ref(pending)});
        g_free(address);
    }

    void drop()
    {
        if (pending) {
            g_cancellable_cancel(pending);
            g_clear_object(&pending);
        }
        if (client)
            g_signal_handlers_disconnect_by_data(client, this);
        g_clear_object(&client);
        if (bus) {
            g_signal_handler_disconnect(bus, closedHandler);
            g_clear_object(&bus);
        }
        lost = false;
    }

    static void busConnected(GObject* /*source*/, GAsyncResult* result, gpointer data)
    {
        const std::unique_ptr<Attempt> attempt(static_cast<Attempt*>(data));
        GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, nullptr);
        const std::shared_ptr<Link> link = attempt->current();
        if (!link || !bus) {
            if (bus)
                g_object_unref(bus);
            if (link) {
                g_clear_object(&link->pending); // tried again on use
                link->settle();
            }
            return;
        }
        link->bus = bus;
        link->closedHandler = g_signal_connect(bus, "closed", G_CALLBACK(busClosed), link.get());
        g_async_initable_new_async(NM_TYPE_CLIENT, G_PRIORITY_DEFAULT, link->pending, clientReady,
            new Attempt{link, g_object_ref(link->pending)}, NM_CLIENT_DBUS_CONNECTION, bus, NM_CLIENT_INSTANCE_FLAGS,
            NM_CLIENT_INSTANCE_FLAGS_NO_AUTO_FETCH_PERMISSIONS, nullptr);
    }

    static void clientReady(GObject* source, GAsyncResult* result, gpointer data)
    {
        const std::unique_ptr<Attempt> attempt(static_cast<Attempt*>(data));
        GObject* client = g_async_initable_new_finish(G_ASYNC_INITABLE(source), result, nullptr);
        const std::shared_ptr<Link> link = attempt->current();
        if (!link) {
            if (client)
                g_object_unref(client);
            return;
        }
        g_clear_object(&link->pending);
        if (client) {
            link->client = NM_CLIENT(client);
            // NetworkManager back: its objects are being read until nm-running.
            g_signal_connect(client, "notify::" NM_CLIENT_NM_RUNNING, G_CALLBACK(loadChanged), link.get());
            g_signal_connect(client, "notify::" NM_CLIENT_DBUS_NAME_OWNER, G_CALLBACK(loadChanged), link.get());
        } else {
            link->lost = true; // the bus is of no use without a client
        }
        link->settle();
    }

    static void loadChanged(NMClient* /*client*/, GParamSpec* /*property*/, gpointer data)
    {
        static_cast<Link*>(data)->settle();
    }

    static void busClosed(GDBusConnection* /*bus*/, gboolean /*peerVanished*/, GError* /*error*/, gpointer data)
    {
        // Dropped on the next use, not inside the bus's own signal.
        static_cast<Link*>(data)->lost = true;
    }

    // A device of the model by its path, if it is a Wi-Fi device.
    NMDeviceWifi* wifiDevice(const std::string& path)
    {
        NMClient* nm = model();
        const GPtrArray* devices = nm ? nm_client_get_devices(nm) : nullptr;
        for (guint i = 0; devices && i < devices->len; ++i) {
            auto* device = static_cast<NMDevice*>(g_ptr_array_index(devices, i));
            if (NM_IS_DEVICE_WIFI(device) && pathOf(device) == path)
                return NM_DEVICE_WIFI(device);
        }
        return nullptr;
    }
};

NetworkManagerBackend::NetworkManagerBackend()
    : m_link(std::make_shared<Link>())
{
    m_link->glibRuns = qtRunsGlibMainContext();
    if (m_link->glibRuns) {
        // GIO connects to the bus on a pooled thread, which would otherwise
        // wake 15 s later only to end itself.
        g_thread_pool_set_max_idle_time(0);
        m_link->connect();
    } else {
        logLine("NetworkManager not read: Qt's event loop does not run GLib's (QT_NO_GLIB set?), so no Wi-Fi "
                "interface is seen.");
    }
}

NetworkManagerBackend::~NetworkManagerBackend() = default;

void NetworkManagerBackend::whenReady(std::function<void()> ready)
{
    m_link->model(); // a lost bus is connected again first
    if (m_link->loading())
        m_link->wait(std::move(ready));
    else
        ready();
}

std::shared_ptr<NetworkManagerBackend> NetworkManagerBackend::shared()
{
    // Weak, so that the model ends with its last scanner and not after the
    // application object.
    static std::weak_ptr<NetworkManagerBackend> instance;
    std::shared_ptr<NetworkManagerBackend> backend = instance.lock();
    if (!backend) {
        backend = std::make_shared<NetworkManagerBackend>();
        instance = backend;
    }
    return backend;
}

std::optional<std::string> NetworkManagerBackend::defaultInterface()
{
    NMClient* nm = m_link->model();
    const GPtrArray* devices = nm ? nm_client_get_devices(nm) : nullptr;
    std::optional<std::string> firstWifi;
    for (guint i = 0; devices && i < devices->len; ++i) {
        auto* device = static_cast<NMDevice*>(g_ptr_array_index(devices, i));
        if (!NM_IS_DEVICE_WIFI(device))
            continue;
        if (nm_device_wifi_get_active_access_point(NM_DEVICE_WIFI(device)))
            return pathOf(device);
        if (!firstWifi)
            firstWifi = pathOf(device);
    }
    return firstWifi;
}

WifiObservation NetworkManagerBackend::currentAssociation(const std::string& interface)
{
    NMDeviceWifi* device = m_link->wifiDevice(interface);
    NMAccessPoint* joined = device ? nm_device_wifi_get_active_access_point(device) : nullptr;
    return joined ? observe(joined) : WifiObservation{};
}

WifiScanResult NetworkManagerBackend::scan(const std::string& interface)
{
    NMDeviceWifi* device = m_link->wifiDevice(interface);
    if (!device)
        return WifiScanResult::failure("NetworkManager has no Wi-Fi device " + interface);
    requestScanWhenStale(device);
    const GPtrArray* accessPoints = nm_device_wifi_get_access_points(device);
    WifiScanResult result;
    result.networks.reserve(accessPoints ? accessPoints->len : 0);
    for (guint i = 0; accessPoints && i < accessPoints->len; ++i)
        result.networks.push_back(observe(static_cast<NMAccessPoint*>(g_ptr_array_index(accessPoints, i))));
    return result;
}

} // namespace corvane
