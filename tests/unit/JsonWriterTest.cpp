#include "json/JsonWriter.h"

#include <gtest/gtest.h>

using namespace corvane;

// The expected bytes are what a verifier computes with
// json.dumps(d, sort_keys=True, separators=(',', ':'), ensure_ascii=False).replace('/', '\\/')
TEST(JsonWriter, CompactFormMatchesWhatVerifiersRebuild)
{
    const nlohmann::json value = {
        {"ssid", "a/b\"c\\d\x01\x1f\n\t\b\f\r\x7f \xC3\xA9 \xF0\x9F\x98\x80 \xE2\x80\xA8 </script>"},
        {"n", -42},
        {"list", {{{"z", 1}, {"a", true}}}},
        {"e", nlohmann::json::array()},
    };
    const std::string expected = "{\"e\":[],\"list\":[{\"a\":true,\"z\":1}],\"n\":-42,"
                                 "\"ssid\":\"a\\/b\\\"c\\\\d\\u0001\\u001f\\n\\t\\b\\f\\r\x7f \xC3\xA9 "
                                 "\xF0\x9F\x98\x80 \xE2\x80\xA8 <\\/script>\"}";
    EXPECT_EQ(json::writeCompact(value), expected);
}

TEST(JsonWriter, PrettyFormSortsAndEscapesSlashes)
{
    const nlohmann::json value = {{"public_key", "BA/+=="}, {"connected_network", {{"ssid", "x"}, {"bssid", "y"}}}};
    EXPECT_EQ(json::writePretty(value),
        "{\n  \"connected_network\": {\n    \"bssid\": \"y\",\n    \"ssid\": \"x\"\n  },\n"
        "  \"public_key\": \"BA\\/+==\"\n}");
}

TEST(JsonWriter, InvalidUtf8FailsInsteadOfWritingPartialText)
{
    const nlohmann::json value = {{"nearby", {{{"ssid", std::string("ok")}}, {{"ssid", std::string("\xC3\x28")}}}}};
    EXPECT_EQ(json::writeCompact(value), std::nullopt);
    EXPECT_EQ(json::writePretty(value), std::nullopt);
}
