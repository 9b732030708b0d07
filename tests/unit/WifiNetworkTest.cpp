#include "wifi/WifiNetwork.h"
#include "wifi/WifiUnits.h"

#include <gtest/gtest.h>

using namespace corvane;
using Kind = WifiCodingError::Kind;

TEST(WifiNetwork, DecodingNeedsEveryKeyWithItsType)
{
    const nlohmann::json full = {{"ssid", "Caf\xC3\xA9/5G"}, {"bssid", "b"}, {"signalStrength", -67}, {"channel", 149}};
    auto with = [&](const char* key, nlohmann::json value) {
        nlohmann::json changed = full;
        changed[key] = std::move(value);
        return changed;
    };
    const std::tuple<nlohmann::json, Kind, std::string> errors[] = {
        {{{"ssid", "s"}, {"bssid", "b"}, {"signalStrength", -67}}, Kind::keyNotFound, "channel"},
        {with("signalStrength", "-1"), Kind::typeMismatch, "signalStrength"},
        {with("bssid", nullptr), Kind::valueNotFound, "bssid"},
        {with("channel", std::uint64_t{1} << 63), Kind::typeMismatch, "channel"},
        {with("channel", 1.5), Kind::typeMismatch, "channel"},
        {{{"ssid", 5}, {"signalStrength", 0.5}}, Kind::typeMismatch, "ssid"}, // the first in reading order
        {nlohmann::json::array({full}), Kind::notAnObject, ""},
    };
    for (const auto& [document, kind, key] : errors) {
        SCOPED_TRACE(document.dump());
        const auto decoded = WifiNetwork::decode(document);
        const auto* error = std::get_if<WifiCodingError>(&decoded);
        ASSERT_TRUE(error);
        EXPECT_EQ(std::tie(error->kind, error->key), std::tie(kind, key));
    }

    // Another key beside the four is no error.
    EXPECT_TRUE(std::holds_alternative<WifiNetwork>(WifiNetwork::decode(with("security", "wpa2"))));
}

TEST(WifiUnits, NetworkManagersQualityAndFrequenciesConvert)
{
    const std::pair<std::int64_t, std::int64_t> dbm[] = {{100, -40}, {0, -100}, {1, -99}, {2, -99}, {255, -40}};
    for (const auto& [quality, expected] : dbm)
        EXPECT_EQ(wifiunits::dbmFromQuality(quality), expected) << quality;
    const std::pair<std::int64_t, std::optional<std::int64_t>> channels[] = {{2412, 1}, {2472, 13}, {2484, 14},
        {5180, 36}, {5825, 165}, {5955, 1}, {7115, 233}, {2407, std::nullopt}, {2477, std::nullopt},
        {5000, std::nullopt}, {5935, std::nullopt}, {7120, std::nullopt}, {60480, std::nullopt}};
    for (const auto& [frequency, channel] : channels)
        EXPECT_EQ(wifiunits::channelFromFrequency(frequency), channel) << frequency;
}
