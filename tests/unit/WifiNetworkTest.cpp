#include "wifi/WifiNetwork.h"

#include <gtest/gtest.h>

using namespace corvane;
using Key = WifiNetwork::CodingKeys;

namespace {

WifiCodingError decodeError(const nlohmann::json& document)
{
    auto result = WifiNetwork::decode(document);
    EXPECT_TRUE(std::holds_alternative<WifiCodingError>(result)) << document.dump();
    return std::holds_alternative<WifiCodingError>(result) ? std::get<WifiCodingError>(result) : WifiCodingError{};
}

} // namespace

TEST(WifiNetwork, EncodesFourTypedMembersAndDecodesThemBack)
{
    const WifiNetwork network{"Caf\xC3\xA9/5G", "aa:bb:cc:dd:ee:ff", -67, 149};
    const nlohmann::json encoded = network.encode();

    EXPECT_EQ(encoded,
        (nlohmann::json{
            {"ssid", "Caf\xC3\xA9/5G"}, {"bssid", "aa:bb:cc:dd:ee:ff"}, {"signalStrength", -67}, {"channel", 149}}));
    EXPECT_TRUE(encoded["signalStrength"].is_number_integer());

    auto decoded = WifiNetwork::decode(nlohmann::json::parse(encoded.dump()));
    ASSERT_TRUE(std::holds_alternative<WifiNetwork>(decoded));
    const WifiNetwork& back = std::get<WifiNetwork>(decoded);
    EXPECT_EQ(back.ssid, network.ssid);
    EXPECT_EQ(back.bssid, network.bssid);
    EXPECT_EQ(back.signalStrength, -67);
    EXPECT_EQ(back.channel, 149); // parsed as unsigned by the JSON reader
}

TEST(WifiNetwork, DecodingRequiresEveryKeyWithItsType)
{
    const nlohmann::json full = {{"ssid", "a"}, {"bssid", "b"}, {"signalStrength", -1}, {"channel", 1}};

    nlohmann::json extra = full;
    extra["security"] = "wpa2";
    EXPECT_TRUE(std::holds_alternative<WifiNetwork>(WifiNetwork::decode(extra)));

    nlohmann::json noChannel = full;
    noChannel.erase("channel");
    WifiCodingError error = decodeError(noChannel);
    EXPECT_EQ(error.kind, WifiCodingError::Kind::keyNotFound);
    EXPECT_EQ(error.key, "channel");

    nlohmann::json textSignal = full;
    textSignal["signalStrength"] = "-1";
    error = decodeError(textSignal);
    EXPECT_EQ(error.kind, WifiCodingError::Kind::typeMismatch);
    EXPECT_EQ(error.key, "signalStrength");

    // Fields are read in order: the first bad one is the one reported.
    error = decodeError({{"ssid", 5}, {"signalStrength", 0.5}});
    EXPECT_EQ(error.key, "ssid");

    nlohmann::json nullBssid = full;
    nullBssid["bssid"] = nullptr;
    EXPECT_EQ(decodeError(nullBssid).kind, WifiCodingError::Kind::valueNotFound);

    nlohmann::json tooLarge = full;
    tooLarge["channel"] = std::uint64_t{1} << 63;
    EXPECT_EQ(decodeError(tooLarge).kind, WifiCodingError::Kind::typeMismatch);

    EXPECT_EQ(decodeError(nlohmann::json::array({full})).kind, WifiCodingError::Kind::notAnObject);
}

TEST(WifiNetwork, CodingKeysMatchTextExactlyAndHaveNoIntegers)
{
    EXPECT_EQ(WifiNetwork::codingKey("ssid"), Key::ssid);
    EXPECT_EQ(WifiNetwork::codingKey("channel"), Key::channel);
    EXPECT_EQ(WifiNetwork::codingKey("SSID"), std::nullopt);
    EXPECT_EQ(WifiNetwork::codingKey("signalstrength"), std::nullopt);
    EXPECT_EQ(WifiNetwork::codingKey("ssid "), std::nullopt);
    EXPECT_EQ(WifiNetwork::codingKey(0), std::nullopt);
    EXPECT_EQ(WifiNetwork::intValue(Key::ssid), std::nullopt);
    EXPECT_EQ(WifiNetwork::stringValue(Key::signalStrength), "signalStrength");
}
