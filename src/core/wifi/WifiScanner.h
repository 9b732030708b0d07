#pragma once

#include "wifi/LocationAuthorization.h"
#include "wifi/WifiBackend.h"
#include "wifi/WifiNetwork.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace corvane {

// The agent's only contact with the Wi-Fi hardware: the current association,
// a scan, and the location permission. Nothing is cached between calls.
class WifiScanner {
public:
    // The process-wide NetworkManager backend and the Linux permission.
    WifiScanner();
    WifiScanner(std::shared_ptr<WifiBackend> backend, std::shared_ptr<LocationAuthorization> locationManager);
    ~WifiScanner();

    WifiScanner(const WifiScanner&) = delete;
    WifiScanner& operator=(const WifiScanner&) = delete;

    // Calls ready once the Wi-Fi facts below are loaded: at once, or when the
    // platform's first load after a start or a restart ends, up to a second
    // later. Never waits.
    void whenReady(std::function<void()> ready);

    void requestAuthorization();
    // No value only when there is no Wi-Fi interface.
    std::optional<WifiNetwork> currentNetwork();
    // Strongest first; empty when there is no interface or the scan failed.
    std::vector<WifiNetwork> scanNetworks();

    // The permission's change callback.
    void locationManagerDidChangeAuthorization(LocationAuthorization& manager);

private:
    std::shared_ptr<WifiBackend> m_client;
    std::shared_ptr<LocationAuthorization> m_locationManager;
};

} // namespace corvane
