#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// One Wi-Fi network as the survey hands it out: the joined one or one seen
// by a scan.
struct WifiNetwork {
    std::string ssid;
    std::string bssid;
    std::int64_t signalStrength = 0; // dBm, larger is stronger
    std::int64_t channel = 0;        // 0 when unknown
};

} // namespace corvane
