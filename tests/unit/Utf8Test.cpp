#include "text/Utf8.h"

#include <gtest/gtest.h>

using namespace corvane;

TEST(Utf8, AcceptsWellFormedText)
{
    EXPECT_TRUE(utf8::isValid(""));
    EXPECT_TRUE(utf8::isValid("GET / HTTP/1.1\r\n"));
    EXPECT_TRUE(utf8::isValid("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
    EXPECT_TRUE(utf8::isValid(std::string_view("a\0b", 3)));
    EXPECT_TRUE(utf8::isValid("\xF4\x8F\xBF\xBF")); // U+10FFFF
}

TEST(Utf8, RejectsMalformedText)
{
    EXPECT_FALSE(utf8::isValid("\xFF"));
    EXPECT_FALSE(utf8::isValid("\x80"));             // lone continuation
    EXPECT_FALSE(utf8::isValid("\xC3"));             // truncated
    EXPECT_FALSE(utf8::isValid("\xE2\x82"));         // truncated
    EXPECT_FALSE(utf8::isValid("\xC0\xAF"));         // overlong "/"
    EXPECT_FALSE(utf8::isValid("\xE0\x80\xAF"));     // overlong
    EXPECT_FALSE(utf8::isValid("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(utf8::isValid("\xF4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(utf8::isValid("GET /\xC3("));
}
