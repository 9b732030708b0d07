#include "wifi/WifiUnits.h"

#include <gtest/gtest.h>

using namespace corvane;

TEST(WifiUnits, QualityMapsBackOntoNetworkManagersDbmRange)
{
    EXPECT_EQ(wifiunits::dbmFromQuality(100), -40);
    EXPECT_EQ(wifiunits::dbmFromQuality(0), -100);
    EXPECT_EQ(wifiunits::dbmFromQuality(1), -99); // 0.6 rounds up
    EXPECT_EQ(wifiunits::dbmFromQuality(2), -99); // 1.2 rounds down
    EXPECT_EQ(wifiunits::dbmFromQuality(255), -40);
}

TEST(WifiUnits, ChannelsOfEachBandAndNothingBetween)
{
    EXPECT_EQ(wifiunits::channelFromFrequency(2412), 1);
    EXPECT_EQ(wifiunits::channelFromFrequency(2472), 13);
    EXPECT_EQ(wifiunits::channelFromFrequency(2484), 14);
    EXPECT_EQ(wifiunits::channelFromFrequency(5180), 36);
    EXPECT_EQ(wifiunits::channelFromFrequency(5825), 165);
    EXPECT_EQ(wifiunits::channelFromFrequency(5955), 1);
    EXPECT_EQ(wifiunits::channelFromFrequency(7115), 233);

    EXPECT_EQ(wifiunits::channelFromFrequency(2407), std::nullopt);
    EXPECT_EQ(wifiunits::channelFromFrequency(2477), std::nullopt);
    EXPECT_EQ(wifiunits::channelFromFrequency(5000), std::nullopt);
    EXPECT_EQ(wifiunits::channelFromFrequency(5935), std::nullopt);
    EXPECT_EQ(wifiunits::channelFromFrequency(7120), std::nullopt);
}
