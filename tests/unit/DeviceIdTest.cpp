#include "report/DeviceId.h"

#include <gtest/gtest.h>

#include <string>

using namespace corvane;

namespace {

// 8-4-4-4-12 upper-case hex (no std::regex: GCC 12 warns inside it under the sanitizers).
bool isUpperCaseUuid(const std::string& text)
{
    if (text.size() != 36)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

} // namespace

TEST(DeviceId, FormatIsUpperCaseUuid)
{
    EXPECT_EQ(DeviceId::format(
                  {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}),
        "00010203-0405-0607-0809-0A0B0C0D0E0F");
    EXPECT_EQ(DeviceId::format(
                  {0xf5, 0x78, 0x6f, 0x5d, 0x1f, 0xf6, 0x48, 0x23, 0xa3, 0xc5, 0x26, 0xc5, 0x62, 0x19, 0x24, 0xab}),
        "F5786F5D-1FF6-4823-A3C5-26C5621924AB");
}

TEST(DeviceId, ReadIsStable)
{
    const std::string id = DeviceId::read();
    EXPECT_EQ(DeviceId::read(), id);
    if (id != "Unknown") {
        EXPECT_TRUE(isUpperCaseUuid(id)) << id;
    }
}
