#include "wifi/WifiScanner.h"

namespace corvane {

WifiScanner::WifiScanner() = default;

void WifiScanner::requestAuthorization() {}

std::optional<WifiNetwork> WifiScanner::currentNetwork()
{
    return std::nullopt;
}

std::vector<WifiNetwork> WifiScanner::scanNetworks()
{
    return {};
}

} // namespace corvane
