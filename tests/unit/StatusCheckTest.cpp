#include "shell/StatusCheck.h"
#include "Files.h"
#include "wifi/WifiScanner.h"

#include "fakes/FakeLocationAuthorization.h"
#include "fakes/FakeWifiBackend.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace corvane;
using testfiles::outputOf;

namespace {

const std::string kBegin = "--- Starting WiFi Diagnostic ---", kRule = "---------------------------";
const std::string kEnd = "--- WiFi Diagnostic Complete ---", kNotJoined = "NOT CURRENTLY CONNECTED TO ANY WIFI";
const std::string kGranted = "Current Location Authorization Status: 3", kNoneNearby = "No nearby networks found.";
const std::string kOffice = "SSID: Office | BSSID: 3c:a6:2f:12:9e:41 | RSSI: -46dBm";
const WifiObservation kCafe{"Cafe", "f0:9f:c2:7a:10:05", -71, 6};

// The scan is listed strongest first, ties in the scan's order, what is withheld as its fallback; a failed
// scan lists nothing it carried; every permission but 3 warns, and only an undecided one is asked for.
// interface, permission, joined network, scan, then the lines
const std::tuple<std::optional<std::string>, std::int32_t, WifiObservation, WifiScanResult, std::vector<std::string>>
    kCases[] = {
        {"wlan0", 3, {"Office", "3c:a6:2f:12:9e:41", -46, 36},
            {{kCafe, {"Office", "3c:a6:2f:12:9e:41", -46, 36}, {{}, {}, -90, {}}, {"Tie", "t", -71, 11}}, {}},
            {kBegin, kGranted, "CURRENTLY CONNECTED TO:", kOffice, kRule, "VISIBLE NEARBY NETWORKS (4):",
                kOffice + " | Channel: 36", "SSID: Cafe | BSSID: f0:9f:c2:7a:10:05 | RSSI: -71dBm | Channel: 6",
                "SSID: Tie | BSSID: t | RSSI: -71dBm | Channel: 11",
                "SSID: Unknown | BSSID: 00:00:00:00:00:00 | RSSI: -90dBm | Channel: 0", kEnd}},
        {{}, 0, {}, {},
            {kBegin, "Current Location Authorization Status: 0", "Requesting location authorization...", kNotJoined,
                kRule, "WARNING: Location authorization is 0. WiFi details will be REDACTED by macOS.",
                "No WiFi interface found.", kNoneNearby, kEnd}},
        {"wlan0", 3, {"Not Connected", {}, -60, 1}, {{}, ""},
            {kBegin, kGranted, kNotJoined, kRule, "Scan failed: Unknown", kNoneNearby, kEnd}},
        {"wlan0", 2, {"Home", {}, -5, {}}, {{kCafe}, "busy"},
            {kBegin, "Current Location Authorization Status: 2",
                "CURRENTLY CONNECTED TO:", "SSID: Home | BSSID: 00:00:00:00:00:00 | RSSI: -5dBm", kRule,
                "WARNING: Location authorization is 2. WiFi details will be REDACTED by macOS.", "Scan failed: busy",
                kNoneNearby, kEnd}},
};

} // namespace

TEST(StatusCheck, WritesAndReturnsTheDiagnosticLines)
{
    for (const auto& [interface, status, joined, scan, lines] : kCases) {
        auto backend = std::make_shared<fakes::FakeWifiBackend>();
        auto authorization = std::make_shared<fakes::FakeLocationAuthorization>();
        std::tie(backend->interface, authorization->status, backend->association, backend->scanResult) =
            std::tie(interface, status, joined, scan);
        WifiScanner scanner(backend, authorization);
        std::string text;
        for (const std::string& line : lines)
            text += line + '\n';
        EXPECT_EQ(outputOf([&] { EXPECT_EQ(checkStatus(scanner), lines); }), text);
        EXPECT_EQ(authorization->requests, status == 0 ? 1 : 0);
    }
}

TEST(WifiScanner, PermissionChangesAreLoggedUntilTheScannerGoes)
{
    auto authorization = std::make_shared<fakes::FakeLocationAuthorization>();
    auto scanner = std::make_unique<WifiScanner>(std::make_shared<fakes::FakeWifiBackend>(), authorization);
    EXPECT_EQ(outputOf([&] { authorization->change(3); }),
        "Location Authorization Changed: 3\nPermission granted! Triggering scan...\n");
    EXPECT_EQ(outputOf([&] { authorization->change(4); }), "Location Authorization Changed: 4\n");
    // A permission that outlives its scanner calls nobody.
    scanner.reset();
    EXPECT_FALSE(authorization->handler);
}
