#include "wifi/WifiScanner.h"
#include "fakes/FakeLocationAuthorization.h"
#include "fakes/FakeWifiBackend.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace corvane;

namespace {

const std::string kWarning2 = "WARNING: Location authorization is 2. WiFi details will be REDACTED by macOS.";

class WifiScannerTest : public testing::Test {
protected:
    std::shared_ptr<fakes::FakeWifiBackend> backend = std::make_shared<fakes::FakeWifiBackend>();
    std::shared_ptr<fakes::FakeLocationAuthorization> authorization =
        std::make_shared<fakes::FakeLocationAuthorization>();
    WifiScanner scanner{backend, authorization};

    // Runs f and returns the lines it wrote to standard output.
    template <typename F>
    static std::vector<std::string> linesOf(F&& f)
    {
        testing::internal::CaptureStdout();
        f();
        std::istringstream out(testing::internal::GetCapturedStdout());
        std::vector<std::string> lines;
        for (std::string line; std::getline(out, line);)
            lines.push_back(line);
        return lines;
    }

    static WifiObservation seen(std::int64_t rssi, std::string ssid)
    {
        WifiObservation o;
        o.ssid = std::move(ssid);
        o.bssid = "02:00:00:00:00:0" + std::to_string(-rssi % 10);
        o.rssi = rssi;
        o.channel = 6;
        return o;
    }
};

} // namespace

TEST_F(WifiScannerTest, ScanSortsStrongestFirstKeepingTiesInScanOrder)
{
    backend->scanResult.networks = {seen(-40, "a"), seen(-80, "b"), seen(-55, "c"), seen(-55, "d")};
    std::vector<WifiNetwork> networks;
    EXPECT_TRUE(linesOf([&] { networks = scanner.scanNetworks(); }).empty());

    ASSERT_EQ(networks.size(), 4u);
    EXPECT_EQ(networks[0].ssid, "a");
    EXPECT_EQ(networks[1].ssid, "c");
    EXPECT_EQ(networks[2].ssid, "d");
    EXPECT_EQ(networks[3].ssid, "b");
    EXPECT_EQ(networks[3].signalStrength, -80);
    EXPECT_EQ(backend->calls, (std::vector<std::string>{"defaultInterface", "scan wlan0"}));
}

TEST_F(WifiScannerTest, MissingFactsTakeTheirFallbacks)
{
    WifiObservation withheld;
    withheld.rssi = -61;
    backend->scanResult.networks = {withheld, withheld};
    const std::vector<WifiNetwork> networks = scanner.scanNetworks();
    ASSERT_EQ(networks.size(), 2u); // nothing merged
    EXPECT_EQ(networks[1].ssid, "Unknown");
    EXPECT_EQ(networks[1].bssid, "00:00:00:00:00:00");
    EXPECT_EQ(networks[1].signalStrength, -61);
    EXPECT_EQ(networks[1].channel, 0);

    backend->association = withheld;
    std::optional<WifiNetwork> current;
    EXPECT_TRUE(linesOf([&] { current = scanner.currentNetwork(); }).empty());
    ASSERT_TRUE(current);
    EXPECT_EQ(current->ssid, "Not Connected");
    EXPECT_EQ(current->bssid, "00:00:00:00:00:00");
    EXPECT_EQ(current->signalStrength, -61);
    EXPECT_EQ(current->channel, 0);
}

TEST_F(WifiScannerTest, WarnsBeforeScanningUnlessAuthorizedAlways)
{
    for (const std::int32_t status : {0, 1, 2, 4}) {
        authorization->status = status;
        backend->scanResult.networks = {seen(-70, "x")};
        std::vector<WifiNetwork> networks;
        EXPECT_EQ(linesOf([&] { networks = scanner.scanNetworks(); }),
            std::vector<std::string>{"WARNING: Location authorization is " + std::to_string(status)
                + ". WiFi details will be REDACTED by macOS."});
        EXPECT_EQ(networks.size(), 1u); // the scan goes ahead
    }
    authorization->status = 3;
    EXPECT_TRUE(linesOf([&] { scanner.scanNetworks(); }).empty());
    // The current network never warns.
    authorization->status = 2;
    EXPECT_TRUE(linesOf([&] { scanner.currentNetwork(); }).empty());
}

TEST_F(WifiScannerTest, NoInterfaceAndFailedScanGiveNothing)
{
    backend->interface.reset();
    authorization->status = 2;
    std::vector<WifiNetwork> networks{{}};
    EXPECT_EQ(linesOf([&] { networks = scanner.scanNetworks(); }),
        (std::vector<std::string>{kWarning2, "No WiFi interface found."}));
    EXPECT_TRUE(networks.empty());
    EXPECT_EQ(scanner.currentNetwork(), std::nullopt);
    EXPECT_EQ(backend->calls, (std::vector<std::string>{"defaultInterface", "defaultInterface"}));

    backend->interface = "wlp2s0";
    authorization->status = 3;
    backend->scanResult = WifiScanResult::failure("Did not receive a reply.");
    backend->scanResult.networks = {seen(-40, "ignored")};
    EXPECT_EQ(linesOf([&] { networks = scanner.scanNetworks(); }),
        std::vector<std::string>{"Scan failed: Did not receive a reply."});
    EXPECT_TRUE(networks.empty());

    backend->scanResult = WifiScanResult::failure("");
    EXPECT_EQ(linesOf([&] { scanner.scanNetworks(); }), std::vector<std::string>{"Scan failed: Unknown"});
}

TEST_F(WifiScannerTest, AuthorizationRequestAndChangeMessages)
{
    authorization->status = 0;
    EXPECT_EQ(linesOf([&] { scanner.requestAuthorization(); }),
        (std::vector<std::string>{"Current Location Authorization Status: 0", "Requesting location authorization..."}));
    EXPECT_EQ(authorization->requests, 1);

    for (const std::int32_t status : {1, 2, 3, 4}) {
        authorization->status = status;
        EXPECT_EQ(linesOf([&] { scanner.requestAuthorization(); }),
            std::vector<std::string>{"Current Location Authorization Status: " + std::to_string(status)});
    }
    EXPECT_EQ(authorization->requests, 1); // never asked again

    EXPECT_EQ(linesOf([&] { authorization->change(3); }),
        (std::vector<std::string>{"Location Authorization Changed: 3", "Permission granted! Triggering scan..."}));
    EXPECT_EQ(
        linesOf([&] { authorization->change(4); }), std::vector<std::string>{"Location Authorization Changed: 4"});
    EXPECT_TRUE(backend->calls.empty()); // a change starts no scan
}

TEST(WifiScannerLifetime, PermissionOutlivingItsScannerCallsNobody)
{
    auto authorization = std::make_shared<fakes::FakeLocationAuthorization>();
    {
        WifiScanner scanner(std::make_shared<fakes::FakeWifiBackend>(), authorization);
        EXPECT_TRUE(authorization->handler);
    }
    EXPECT_FALSE(authorization->handler);
}
