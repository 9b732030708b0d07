#include "wifi/WifiScanner.h"
#include "fakes/FakeLocationAuthorization.h"
#include "fakes/FakeWifiBackend.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace corvane;
using Lines = std::vector<std::string>;

namespace {

// Runs f and returns the lines it wrote to standard output.
template <typename F>
Lines linesOf(F&& f)
{
    testing::internal::CaptureStdout();
    f();
    std::istringstream out(testing::internal::GetCapturedStdout());
    Lines lines;
    for (std::string line; std::getline(out, line);)
        lines.push_back(line);
    return lines;
}

std::string warning(int status)
{
    return "WARNING: Location authorization is " + std::to_string(status) + ". WiFi details will be REDACTED by macOS.";
}

struct Scan {
    std::int32_t status;
    std::optional<std::string> interface;
    WifiScanResult result;
    Lines lines;
    std::vector<std::string> ssids; // in the order returned
};

} // namespace

TEST(WifiScanner, ScanStatesTheirLinesAndOrder)
{
    const WifiObservation withheld{std::nullopt, std::nullopt, -61, std::nullopt};
    WifiScanResult networks;
    networks.networks = {{"a", "1", -40, 6}, {"b", "2", -80, 6}, {"c", "3", -55, 6}, withheld, {"d", "4", -55, 6}};
    WifiScanResult failed = WifiScanResult::failure("Did not receive a reply.");
    failed.networks = networks.networks;
    const Scan cases[] = {
        // Strongest first; ties keep the scan's order; nothing is merged; a withheld name is "Unknown".
        {3, "wlan0", networks, {}, {"a", "c", "d", "Unknown", "b"}},
        // Every status but 3 warns first, and the scan goes ahead.
        {0, "wlan0", networks, {warning(0)}, {"a", "c", "d", "Unknown", "b"}},
        {4, "wlan0", networks, {warning(4)}, {"a", "c", "d", "Unknown", "b"}},
        {2, std::nullopt, networks, {warning(2), "No WiFi interface found."}, {}},
        {3, "wlan0", failed, {"Scan failed: Did not receive a reply."}, {}},
        {3, "wlan0", WifiScanResult::failure(""), {"Scan failed: Unknown"}, {}},
        {1, "wlan0", {}, {warning(1)}, {}},
    };
    for (const Scan& c : cases) {
        auto backend = std::make_shared<fakes::FakeWifiBackend>();
        auto authorization = std::make_shared<fakes::FakeLocationAuthorization>();
        backend->interface = c.interface;
        backend->scanResult = c.result;
        authorization->status = c.status;
        WifiScanner scanner(backend, authorization);
        std::vector<WifiNetwork> found;
        EXPECT_EQ(linesOf([&] { found = scanner.scanNetworks(); }), c.lines);
        std::vector<std::string> ssids;
        for (const WifiNetwork& network : found)
            ssids.push_back(network.ssid);
        EXPECT_EQ(ssids, c.ssids);
        if (!found.empty()) {
            EXPECT_EQ(found[3].bssid, "00:00:00:00:00:00");
            EXPECT_EQ(found[3].signalStrength, -61);
            EXPECT_EQ(found[3].channel, 0);
        }
    }
}

TEST(WifiScanner, CurrentNetworkPermissionRequestsAndChanges)
{
    auto backend = std::make_shared<fakes::FakeWifiBackend>();
    auto authorization = std::make_shared<fakes::FakeLocationAuthorization>();
    auto scanner = std::make_unique<WifiScanner>(backend, authorization);

    // The joined network never warns; what is withheld takes its fallback.
    backend->association = {std::nullopt, std::nullopt, -61, std::nullopt};
    authorization->status = 2;
    std::optional<WifiNetwork> current;
    EXPECT_EQ(linesOf([&] { current = scanner->currentNetwork(); }), Lines{});
    ASSERT_TRUE(current);
    EXPECT_EQ(std::tie(current->ssid, current->bssid, current->signalStrength, current->channel),
        std::make_tuple("Not Connected", "00:00:00:00:00:00", -61, 0));
    backend->interface.reset();
    EXPECT_EQ(scanner->currentNetwork(), std::nullopt);

    // Only an undecided status asks, once per call.
    const std::pair<std::int32_t, Lines> requests[] = {
        {0, {"Current Location Authorization Status: 0", "Requesting location authorization..."}},
        {2, {"Current Location Authorization Status: 2"}},
        {4, {"Current Location Authorization Status: 4"}},
    };
    for (const auto& [status, lines] : requests) {
        authorization->status = status;
        EXPECT_EQ(linesOf([&] { scanner->requestAuthorization(); }), lines);
    }
    EXPECT_EQ(authorization->requests, 1);

    EXPECT_EQ(linesOf([&] { authorization->change(3); }),
        (Lines{"Location Authorization Changed: 3", "Permission granted! Triggering scan..."}));
    EXPECT_EQ(linesOf([&] { authorization->change(4); }), Lines{"Location Authorization Changed: 4"});
    // A permission that outlives its scanner calls nobody.
    scanner.reset();
    EXPECT_FALSE(authorization->handler);
}
