#include "wifi/WifiScanner.h"
#include "Files.h"
#include "fakes/FakeLocationAuthorization.h"
#include "fakes/FakeWifiBackend.h"

#include <gtest/gtest.h>

using namespace corvane;
using testfiles::outputOf;

namespace {

std::string warning(int status)
{
    return "WARNING: Location authorization is " + std::to_string(status)
        + ". WiFi details will be REDACTED by macOS.\n";
}

} // namespace

TEST(WifiScanner, ScansStrongestFirstAfterTheirWarning)
{
    const WifiObservation withheld{std::nullopt, std::nullopt, -61, std::nullopt};
    WifiScanResult seen, failed = WifiScanResult::failure("Did not receive a reply.");
    seen.networks =
        failed.networks = {{"a", "1", -40, 6}, {"b", "2", -80, 6}, {"c", "3", -55, 6}, withheld, {"d", "4", -55, 6}};
    // Ties keep the scan's order; nothing is merged; what is withheld takes its fallback.
    const std::vector<std::string> sorted = {"a", "c", "d", "Unknown", "b"};
    const std::tuple<std::int32_t, WifiScanResult, std::string, std::vector<std::string>> cases[] = {
        {3, seen, "", sorted},
        {4, seen, warning(4), sorted}, // every status but 3 warns, and the scan goes ahead
        {3, failed, "Scan failed: Did not receive a reply.\n", {}},
        {3, WifiScanResult::failure(""), "Scan failed: Unknown\n", {}},
    };
    for (const auto& [status, result, output, ssids] : cases) {
        auto backend = std::make_shared<fakes::FakeWifiBackend>();
        auto authorization = std::make_shared<fakes::FakeLocationAuthorization>();
        backend->scanResult = result;
        authorization->status = status;
        WifiScanner scanner(backend, authorization);
        std::vector<WifiNetwork> found;
        EXPECT_EQ(outputOf([&] { found = scanner.scanNetworks(); }), output);
        std::vector<std::string> names;
        for (const WifiNetwork& network : found)
            names.push_back(network.ssid);
        EXPECT_EQ(names, ssids);
        if (!found.empty()) {
            EXPECT_EQ(std::tie(found[3].bssid, found[3].signalStrength, found[3].channel),
                std::make_tuple("00:00:00:00:00:00", -61, 0));
        }
    }
}

TEST(WifiScanner, PermissionRequestsAndChanges)
{
    auto backend = std::make_shared<fakes::FakeWifiBackend>();
    auto authorization = std::make_shared<fakes::FakeLocationAuthorization>();
    auto scanner = std::make_unique<WifiScanner>(backend, authorization);

    // Only an undecided status asks, once per call.
    for (const std::int32_t status : {0, 2, 4}) {
        authorization->status = status;
        const std::string asked = status == 0 ? "Requesting location authorization...\n" : "";
        EXPECT_EQ(outputOf([&] { scanner->requestAuthorization(); }),
            "Current Location Authorization Status: " + std::to_string(status) + "\n" + asked);
    }
    EXPECT_EQ(authorization->requests, 1);

    EXPECT_EQ(outputOf([&] { authorization->change(3); }),
        "Location Authorization Changed: 3\nPermission granted! Triggering scan...\n");
    EXPECT_EQ(outputOf([&] { authorization->change(4); }), "Location Authorization Changed: 4\n");
    // A permission that outlives its scanner calls nobody.
    scanner.reset();
    EXPECT_FALSE(authorization->handler);
}
