#pragma once

#include "wifi/WifiObservation.h"

#include <optional>
#include <string>
#include <vector>

namespace corvane {

// The networks one scan found, or the platform's description of why it failed.
struct WifiScanResult {
    std::vector<WifiObservation> networks;
    std::optional<std::string> error; // set when the scan failed; may be empty

    static WifiScanResult failure(std::string description)
    {
        WifiScanResult result;
        result.error = std::move(description);
        return result;
    }
};

} // namespace corvane
