#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// What the platform said about one network (or about the interface's current
// association). Absent members were not given; the scanner fills fallbacks.
struct WifiObservation {
    std::optional<std::string> ssid; // valid UTF-8 when present
    std::optional<std::string> bssid;
    std::int64_t rssi = 0; // dBm
    std::optional<std::int64_t> channel;
};

} // namespace corvane
