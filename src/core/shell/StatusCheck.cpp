#include "shell/StatusCheck.h"

#include "log/Log.h"
#include "text/Fallbacks.h"
#include "wifi/WifiScanner.h"

#include <string>

namespace corvane {
namespace {

std::string describe(const WifiNetwork& network)
{
    return "SSID: " + network.ssid + " | BSSID: " + network.bssid + " | RSSI: " + std::to_string(network.signalStrength)
        + "dBm";
}

} // namespace

std::vector<std::string> checkStatus(WifiScanner& scanner)
{
    // The scanner writes some of the lines itself.
    LogCapture capture;
    logLine("--- Starting WiFi Diagnostic ---");
    scanner.requestAuthorization();

    const std::optional<WifiNetwork> current = scanner.currentNetwork();
    if (current && current->ssid != fallback::kNotConnected) {
        logLine("CURRENTLY CONNECTED TO:");
        logLine(describe(*current));
    } else {
        logLine("NOT CURRENTLY CONNECTED TO ANY WIFI");
    }
    logLine("---------------------------");

    const std::vector<WifiNetwork> nearby = scanner.scanNetworks();
    if (nearby.empty()) {
        logLine("No nearby networks found.");
    } else {
        logLine("VISIBLE NEARBY NETWORKS (" + std::to_string(nearby.size()) + "):");
        for (const WifiNetwork& network : nearby)
            logLine(describe(network) + " | Channel: " + std::to_string(network.channel));
    }
    logLine("--- WiFi Diagnostic Complete ---");
    return capture.take();
}

} // namespace corvane
