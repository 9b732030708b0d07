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

} // namespace

TEST(WifiScanner, ScansStrongestFirstAfterTheirWarning)
{
    const WifiObservation withheld{std::nullopt, std::nullopt, -61, std::nullopt};
    WifiScanResult seen, failed = WifiScanResult::failure("Did not receive a reply.");
    seen.networks =
        failed.networks = {{"a", "1", -40, 6}, {"b", "2", -80, 6}, {"c", "3", -55, 6}, withheld, {"d", "4", -55, 6}};
    // Ties keep the scan's order; nothing is merged; what is withheld takes its fallback.
    const std::vector<std::string> sorted = {"a", "c", "d", "Unknown", "b"};
    const std::tuple<std::int32_t, WifiScanResult, Lines, std::vector<std::string>> cases[] = {
        {3, seen, {}, sorted},
        {4, seen, {warning(4)}, sorted}, // every status but 3 warns, and the scan goes ahead
        {3, failed, {"Scan failed: Did not receive a reply."}, {}},
        {3, WifiScanResult::failure(""), {"Scan failed: Unknown"}, {}},
    };
    for (const auto& [status, result, lines, ssids] : cases) {
        auto backend = std::make_shared<fakes::FakeWifiBackend>();
        auto authorization = std::make_shared<fakes::FakeLocationAuthorization>();
        backend->scanResult = result;
        authorization->status = status;
        WifiScanner scanner(backend, authorization);
        std::vector<WifiNetwork> found;
        EXPECT_EQ(linesOf([&] { found = scanner.scanNetworks(); }), lines);
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

    // Only an undecided status asks, once per call.
    for (const std::int32_t status : {0, 2, 4}) {
        authorization->status = status;
        Lines lines{"Current Location Authorization Status: " + std::to_string(status)};
        if (status == 0)
            lines.push_back("Requesting location authorization...");
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
