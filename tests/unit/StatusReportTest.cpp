#include "report/StatusReport.h"

#include <gtest/gtest.h>

using namespace corvane;

TEST(StatusReport, FallbacksGiveTheFiveMembersAndTheirPayload)
{
    statusreport::Facts facts;
    facts.deviceId = "Unknown";
    facts.timestamp = 1700000000;
    const nlohmann::json report = statusreport::build(facts);

    EXPECT_EQ(report.size(), 5u);
    EXPECT_EQ(statusreport::signedPayload(report),
        "{\"connected_network\":{\"bssid\":\"00:00:00:00:00:00\",\"ssid\":\"None\"},"
        "\"device_id\":\"Unknown\",\"nearby_networks\":[],\"timestamp\":1700000000,\"vpn_active\":false}");
}

TEST(StatusReport, NetworksKeepScanOrderAndTypes)
{
    statusreport::Facts facts;
    facts.current = WifiNetwork{"Home/5G", "aa:bb:cc:dd:ee:ff", -50, 36};
    facts.nearby = {{"Cafe", "11:11:11:11:11:11", -40, 6}, {"Cafe", "22:22:22:22:22:22", -70, 11}};
    facts.deviceId = "ID";
    facts.timestamp = 12;
    facts.vpnActive = true;
    const nlohmann::json report = statusreport::build(facts);

    EXPECT_EQ(report["connected_network"], (nlohmann::json{{"ssid", "Home/5G"}, {"bssid", "aa:bb:cc:dd:ee:ff"}}));
    ASSERT_EQ(report["nearby_networks"].size(), 2u);
    EXPECT_EQ(report["nearby_networks"][1]["bssid"], "22:22:22:22:22:22");
    EXPECT_TRUE(report["nearby_networks"][0]["rssi"].is_number_integer());
    EXPECT_TRUE(report["vpn_active"].is_boolean());
    EXPECT_EQ(statusreport::signedPayload(report),
        "{\"connected_network\":{\"bssid\":\"aa:bb:cc:dd:ee:ff\",\"ssid\":\"Home\\/5G\"},\"device_id\":\"ID\","
        "\"nearby_networks\":[{\"bssid\":\"11:11:11:11:11:11\",\"channel\":6,\"rssi\":-40,\"ssid\":\"Cafe\"},"
        "{\"bssid\":\"22:22:22:22:22:22\",\"channel\":11,\"rssi\":-70,\"ssid\":\"Cafe\"}],"
        "\"timestamp\":12,\"vpn_active\":true}");
}

TEST(StatusReport, PayloadOfAServedDocumentLeavesOutTheSignatureMembers)
{
    statusreport::Facts facts;
    facts.deviceId = "X";
    nlohmann::json report = statusreport::build(facts);
    const auto unsigned_ = statusreport::signedPayload(report);
    report["signature"] = "MEUC";
    report["public_key"] = "BA==";
    EXPECT_EQ(statusreport::signedPayload(report), unsigned_);
}
