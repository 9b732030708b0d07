#include "wifi/WifiScanner.h"

#include "log/Log.h"
#include "text/Fallbacks.h"
#include "wifi/LinuxLocationAuthorization.h"
#include "wifi/NetworkManagerBackend.h"

#include <algorithm>
#include <string>

namespace corvane {
WifiScanner::WifiScanner()
    : WifiScanner(NetworkManagerBackend::shared(), std::make_shared<LinuxLocationAuthorization>())
{
}

WifiScanner::WifiScanner(std::shared_ptr<WifiBackend> backend, std::shared_ptr<LocationAuthorization> locationManager)
    : m_client(std::move(backend))
    , m_locationManager(std::move(locationManager))
{
    m_locationManager->setChangeHandler(
        [this](LocationAuthorization& manager) { locationManagerDidChangeAuthorization(manager); });
}

WifiScanner::~WifiScanner()
{
    // The permission object may outlive this scanner.
    m_locationManager->setChangeHandler({});
}

void WifiScanner::whenReady(std::function<void()> ready)
{
    m_client->whenReady(std::move(ready));
}

void WifiScanner::requestAuthorization()
{
    const std::int32_t status = m_locationManager->authorizationStatus();
    logLine("Current Location Authorization Status: " + std::to_string(status));
    if (status == LocationAuthorization::kNotDetermined) {
        logLine("Requesting location authorization...");
        m_locationManager->requestAlwaysAuthorization();
    }
}

void WifiScanner::locationManagerDidChangeAuthorization(LocationAuthorization& manager)
{
    const std::int32_t status = manager.authorizationStatus();
    logLine("Location Authorization Changed: " + std::to_string(status));
    if (status == LocationAuthorization::kAuthorizedAlways)
        logLine("Permission granted! Triggering scan...");
}

std::optional<WifiNetwork> WifiScanner::currentNetwork()
{
    const std::optional<std::string> interface = m_client->defaultInterface();
    if (!interface)
        return std::nullopt;
    WifiObservation joined = m_client->currentAssociation(*interface);
    return WifiNetwork{
        std::move(joined.ssid).value_or(std::string(fallback::kNotConnected)),
        std::move(joined.bssid).value_or(std::string(fallback::kNoAddress)),
        joined.rssi,
        joined.channel.value_or(0),
    };
}

std::vector<WifiNetwork> WifiScanner::scanNetworks()
{
    const std::int32_t status = m_locationManager->authorizationStatus();
    if (status != LocationAuthorization::kAuthorizedAlways) {
        logLine("WARNING: Location authorization is " + std::to_string(status)
            + ". WiFi details will be REDACTED by macOS.");
    }

    const std::optional<std::string> interface = m_client->defaultInterface();
    if (!interface) {
        logLine("No WiFi interface found.");
        return {};
    }

    WifiScanResult result = m_client->scan(*interface);
    if (result.error) {
        logLine("Scan failed: " + (result.error->empty() ? std::string(fallback::kUnknown) : *result.error));
        return {};
    }

    std::vector<WifiNetwork> networks;
    networks.reserve(result.networks.size());
    for (WifiObservation& seen : result.networks) {
        networks.push_back({
            std::move(seen.ssid).value_or(std::string(fallback::kUnknown)),
            std::move(seen.bssid).value_or(std::string(fallback::kNoAddress)),
            seen.rssi,
            seen.channel.value_or(0),
        });
    }
    std::stable_sort(networks.begin(), networks.end(),
        [](const WifiNetwork& a, const WifiNetwork& b) { return a.signalStrength > b.signalStrength; });
    return networks;
}

} // namespace corvane
