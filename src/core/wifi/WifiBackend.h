#pragma once

#include "wifi/WifiObservation.h"
#include "wifi/WifiScanResult.h"

#include <functional>
#include <optional>
#include <string>

namespace corvane {

// The machine's Wi-Fi as the scanner needs it. Calls are synchronous and
// never throw; an interface is named by an opaque text the backend chose.
class WifiBackend {
public:
    virtual ~WifiBackend() = default;

    // Calls ready on the main thread, never waiting: at once when the calls
    // below have what they need, else when the platform has finished loading
    // it (or given up), but at most about a second later.
    virtual void whenReady(std::function<void()> ready) = 0;

    // The default Wi-Fi interface, or none when the machine has none.
    virtual std::optional<std::string> defaultInterface() = 0;
    // The interface's current association; all absent (and rssi 0) when not joined.
    virtual WifiObservation currentAssociation(const std::string& interface) = 0;
    // All networks within reach, in the platform's order.
    virtual WifiScanResult scan(const std::string& interface) = 0;
};

} // namespace corvane
