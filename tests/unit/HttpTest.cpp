#include "bridge/Http.h"

#include <gtest/gtest.h>

using namespace corvane;

namespace {

const std::string kPreflightAnyOrigin = "HTTP/1.1 204 No Content\r\n"
                                        "Access-Control-Allow-Origin: *\r\n"
                                        "Access-Control-Allow-Methods: GET, OPTIONS\r\n"
                                        "Access-Control-Allow-Headers: Content-Type\r\n"
                                        "Access-Control-Allow-Private-Network: true\r\n"
                                        "Access-Control-Max-Age: 86400\r\n"
                                        "Connection: close\r\n"
                                        "\r\n";

std::string bodyOf(const std::string& response)
{
    return response.substr(response.find("\r\n\r\n") + 4);
}

} // namespace

TEST(Http, OriginMatchesAnyCaseKeepsValueCaseAndTrimsSpaces)
{
    EXPECT_EQ(
        http::extractOrigin("GET / HTTP/1.1\r\nORIGIN: https://Portal.Example\r\n\r\n"), "https://Portal.Example");
    EXPECT_EQ(http::extractOrigin("GET / HTTP/1.1\r\norigin:\t https://a.example \t\r\n\r\n"), "https://a.example");
    EXPECT_EQ(http::extractOrigin("GET / HTTP/1.1\r\nOrIgIn:https://b.example\r\n\r\n"), "https://b.example");
    // Unicode space separators are white space too.
    EXPECT_EQ(http::extractOrigin("GET /\r\nOrigin:\xC2\xA0x\xE3\x80\x80\r\n"), "x");
}

TEST(Http, OriginFallsBackToStarOrEmpty)
{
    EXPECT_EQ(http::extractOrigin("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), "*");
    EXPECT_EQ(http::extractOrigin(""), "*");
    EXPECT_EQ(http::extractOrigin("GET / HTTP/1.1\r\nOrigin:\r\n\r\n"), "");
    EXPECT_EQ(http::extractOrigin("GET / HTTP/1.1\r\nOrigin:   \r\n\r\n"), "");
    // Not a header name match: space before the name or before the colon.
    EXPECT_EQ(http::extractOrigin("GET / HTTP/1.1\r\n Origin: a\r\nOrigin : b\r\n\r\n"), "*");
    // Bare LF does not end a line: the whole request is one line.
    EXPECT_EQ(http::extractOrigin("OPTIONS / HTTP/1.1\nOrigin: https://a.example\n\n"), "*");
}

TEST(Http, FirstOriginLineWinsEvenInTheBody)
{
    EXPECT_EQ(http::extractOrigin("GET /\r\nOrigin: first\r\nOrigin: second\r\n\r\n"), "first");
    EXPECT_EQ(http::extractOrigin("POST /\r\nHost: x\r\n\r\norigin: from-body"), "from-body");
}

TEST(Http, OriginWithControlCharactersIsTreatedAsAbsent)
{
    EXPECT_EQ(http::extractOrigin("GET /\r\nOrigin: https://a.example\nSet-Cookie: x=1\r\n\r\n"), "*");
    EXPECT_EQ(http::extractOrigin("GET /\r\nOrigin: https://a.example\rX: y\r\n\r\n"), "*");
    EXPECT_EQ(http::extractOrigin(std::string("GET /\r\nOrigin: a\0b\r\n", 19)), "*");
    EXPECT_EQ(http::extractOrigin("GET /\r\nOrigin: a\x7f"
                                  "b\r\n"),
        "*");
    EXPECT_EQ(http::extractOrigin("GET /\r\nOrigin: a\xC2\x85"
                                  "b\r\n"),
        "*"); // NEL
    EXPECT_EQ(http::extractOrigin("GET /\r\nOrigin: a\tb\r\n"), "*");
    // Non-ASCII text that is not a control character stays.
    EXPECT_EQ(http::extractOrigin("GET /\r\nOrigin: https://bücher.example\r\n"), "https://bücher.example");
}

TEST(Http, MethodIsTheFirstWordOfTheFirstLine)
{
    EXPECT_EQ(http::extractMethod("OPTIONS / HTTP/1.1\r\nHost: x\r\n\r\n"), "OPTIONS");
    EXPECT_EQ(http::extractMethod("options / HTTP/1.1\r\n\r\n"), "options");
    EXPECT_EQ(http::extractMethod("OPTIONS"), "OPTIONS");
    EXPECT_EQ(http::extractMethod(" OPTIONS / HTTP/1.1\r\n"), "");
    EXPECT_EQ(http::extractMethod("\r\nOPTIONS / HTTP/1.1\r\n"), "");
    EXPECT_EQ(http::extractMethod("OPTIONS\t/ HTTP/1.1\r\n"), "OPTIONS\t/");
    EXPECT_EQ(http::extractMethod("OPTIONS\n/ HTTP/1.1"), "OPTIONS\n/");
}

TEST(Http, PreflightIsByteExact)
{
    EXPECT_EQ(http::buildPreflightResponse("*"), kPreflightAnyOrigin);
    EXPECT_EQ(http::buildPreflightResponse("*").size(), 241u);

    const std::string origin = "https://portal.example:8443";
    const std::string response = http::buildPreflightResponse(origin);
    EXPECT_EQ(response.size(), 240u + origin.size());
    EXPECT_NE(response.find("\r\nAccess-Control-Allow-Origin: https://portal.example:8443\r\n"), std::string::npos);
    EXPECT_NE(http::buildPreflightResponse("").find("Access-Control-Allow-Origin: \r\n"), std::string::npos);
}

TEST(Http, JsonAnswerHeadersAndContentLength)
{
    const nlohmann::json report = {{"b", "x/y"}, {"a", "ünï"}};
    const std::string response = http::buildJSONResponse(report, "https://o.example");
    const std::string body = bodyOf(response);
    const std::string expectedHead = "HTTP/1.1 200 OK\r\n"
                                     "Content-Type: application/json\r\n"
                                     "Access-Control-Allow-Origin: https://o.example\r\n"
                                     "Access-Control-Allow-Methods: GET, OPTIONS\r\n"
                                     "Access-Control-Allow-Private-Network: true\r\n"
                                     "Content-Length: "
        + std::to_string(body.size())
        + "\r\n"
          "Connection: close\r\n"
          "\r\n";
    EXPECT_EQ(response.substr(0, expectedHead.size()), expectedHead);
    EXPECT_EQ(body, "{\n  \"a\": \"ünï\",\n  \"b\": \"x\\/y\"\n}");
}

TEST(Http, UnwritableReportGetsTheBare500)
{
    const nlohmann::json report = {{"ssid", std::string("\xff\xfe")}};
    const std::string response = http::buildJSONResponse(report, "*");
    EXPECT_EQ(response, "HTTP/1.1 500 Internal Server Error\r\n\r\n");
    EXPECT_EQ(response.size(), 38u);
}

TEST(Http, RequestsThatAreEmptyOrNotUtf8AreDropped)
{
    EXPECT_FALSE(http::parseRequest(""));
    EXPECT_FALSE(http::parseRequest("GET / HTTP/1.1\r\nOrigin: \xff\r\n\r\n"));

    const auto preflight = http::parseRequest("OPTIONS / HTTP/1.1\r\nOrigin: https://a.example\r\n\r\n");
    ASSERT_TRUE(preflight);
    EXPECT_TRUE(preflight->preflight);
    EXPECT_EQ(preflight->origin, "https://a.example");
    EXPECT_FALSE(http::parseRequest("options / HTTP/1.1\r\n\r\n")->preflight);
    EXPECT_FALSE(http::parseRequest(std::string_view("\0", 1))->preflight);
}
