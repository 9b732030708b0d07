#include "shell/StatusCheck.h"
#include "wifi/WifiScanner.h"

#include "fakes/FakeLocationAuthorization.h"
#include "fakes/FakeWifiBackend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

using namespace corvane;
using testing::ElementsAre;

namespace {

struct Diagnostic {
    std::shared_ptr<fakes::FakeWifiBackend> backend = std::make_shared<fakes::FakeWifiBackend>();
    std::shared_ptr<fakes::FakeLocationAuthorization> authorization =
        std::make_shared<fakes::FakeLocationAuthorization>();

    std::vector<std::string> run()
    {
        WifiScanner scanner(backend, authorization);
        testing::internal::CaptureStdout();
        checkStatus(scanner);
        std::istringstream out(testing::internal::GetCapturedStdout());
        std::vector<std::string> lines;
        for (std::string line; std::getline(out, line);)
            lines.push_back(line);
        return lines;
    }
};

} // namespace

TEST(StatusCheck, JoinedWithNearbyNetworks)
{
    Diagnostic diagnostic;
    diagnostic.backend->association = {"Office", "3c:a6:2f:12:9e:41", -46, 36};
    diagnostic.backend->scanResult.networks = {
        {"Cafe", "f0:9f:c2:7a:10:05", -71, 6},
        {"Office", "3c:a6:2f:12:9e:41", -46, 36},
        {std::nullopt, std::nullopt, -90, std::nullopt},
    };
    EXPECT_THAT(diagnostic.run(),
        ElementsAre("--- Starting WiFi Diagnostic ---", "Current Location Authorization Status: 3",
            "CURRENTLY CONNECTED TO:", "SSID: Office | BSSID: 3c:a6:2f:12:9e:41 | RSSI: -46dBm",
            "---------------------------",
            "VISIBLE NEARBY NETWORKS (3):", "SSID: Office | BSSID: 3c:a6:2f:12:9e:41 | RSSI: -46dBm | Channel: 36",
            "SSID: Cafe | BSSID: f0:9f:c2:7a:10:05 | RSSI: -71dBm | Channel: 6",
            "SSID: Unknown | BSSID: 00:00:00:00:00:00 | RSSI: -90dBm | Channel: 0",
            "--- WiFi Diagnostic Complete ---"));
}

TEST(StatusCheck, WithoutInterfaceOrPermission)
{
    Diagnostic diagnostic;
    diagnostic.backend->interface.reset();
    diagnostic.authorization->status = 0;
    EXPECT_THAT(diagnostic.run(),
        ElementsAre("--- Starting WiFi Diagnostic ---", "Current Location Authorization Status: 0",
            "Requesting location authorization...", "NOT CURRENTLY CONNECTED TO ANY WIFI",
            "---------------------------",
            "WARNING: Location authorization is 0. WiFi details will be REDACTED by macOS.", "No WiFi interface found.",
            "No nearby networks found.", "--- WiFi Diagnostic Complete ---"));
}

TEST(StatusCheck, ANetworkNamedNotConnectedCountsAsNotConnected)
{
    Diagnostic diagnostic;
    diagnostic.backend->association = {"Not Connected", std::nullopt, -60, 1};
    diagnostic.backend->scanResult = WifiScanResult::failure("busy");
    const std::vector<std::string> lines = diagnostic.run();
    EXPECT_EQ(lines.at(2), "NOT CURRENTLY CONNECTED TO ANY WIFI");
    EXPECT_EQ(lines.at(4), "Scan failed: busy");
    EXPECT_EQ(lines.at(5), "No nearby networks found.");
}

TEST(StatusCheck, JoinedWithoutAddressShowsThePlaceholder)
{
    Diagnostic diagnostic;
    diagnostic.backend->association = {"Home", std::nullopt, -5, std::nullopt};
    EXPECT_EQ(diagnostic.run().at(3), "SSID: Home | BSSID: 00:00:00:00:00:00 | RSSI: -5dBm");
}
