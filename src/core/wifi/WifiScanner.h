#pragma once

#include "wifi/WifiNetwork.h"

#include <optional>
#include <vector>

namespace corvane {

class WifiScanner {
public:
    WifiScanner();

    void requestAuthorization();
    std::optional<WifiNetwork> currentNetwork();
    std::vector<WifiNetwork> scanNetworks();
};

} // namespace corvane
