#include "bridge/Http.h"

#include <gtest/gtest.h>

using namespace corvane;
using Kind = http::Request::Kind;

namespace {

const std::string kPreflight =
    "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, OPTIONS\r\nAccess-Control-Allow-Headers: Content-Type\r\n"
    "Access-Control-Allow-Private-Network: true\r\nAccess-Control-Max-Age: 86400\r\n"
    "Connection: close\r\n\r\n";

std::string jsonAnswer(
    const std::string& status, const std::string& origin, const std::string& body, const std::string& extra = "")
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: " + origin
        + "\r\nAccess-Control-Allow-Methods: GET, OPTIONS\r\nAccess-Control-Allow-Private-Network: true\r\n" + extra
        + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string get(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\n\r\n";
}

struct Case {
    std::string request;
    Kind kind;
    std::string origin;
    std::string nonce = {}; // or, for a bad one, the problem
};

} // namespace

TEST(Http, RequestsAreClassifiedAndTheirOriginAndNonceTaken)
{
    const std::string sixteen = "AZaz09-_AZaz09-_", other = "nonce holds a character other than A-Z, a-z, 0-9, - and _";
    const Case cases[] = {
        // Empty, or not strict UTF-8 (overlong "/", surrogate, truncated, above U+10FFFF): no answer at all.
        {"", Kind::dropped, ""},
        {"GET /\xC0\xAF HTTP/1.1\r\n\r\n", Kind::dropped, ""},
        {"GET / HTTP/1.1\r\nOrigin: \xED\xA0\x80\r\n", Kind::dropped, ""},
        {"GET / HTTP/1.1\r\nOrigin: \xE2\x82\r\n", Kind::dropped, ""},
        {"GET /\xF4\x90\x80\x80 HTTP/1.1\r\n", Kind::dropped, ""},
        // The method token is the first word of the first line, compared exactly.
        {"OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1:12180\r\n\r\n", Kind::preflight, "*"},
        {"options / HTTP/1.1\r\n\r\n", Kind::status, "*"},
        {" OPTIONS / HTTP/1.1\r\n\r\n", Kind::status, "*"},
        {"OPTIONS\t/ HTTP/1.1\r\n", Kind::status, "*"},
        {std::string("\0", 1), Kind::status, "*"},
        // Origin: any letter case, value as sent, trimmed of tabs and Unicode spaces; the first line wins,
        // even one in the body; a bare LF ends a line, a CR alone does not; no space before the name or the colon.
        {"OPTIONS / HTTP/1.1\r\nORIGIN: https://Portal.Example\r\n\r\n", Kind::preflight, "https://Portal.Example"},
        {"GET / HTTP/1.1\r\norIGin:\t https://a.example \t\r\n\r\n", Kind::status, "https://a.example"},
        {"GET /\r\nOrigin:\xC2\xA0x\xE3\x80\x80\r\n", Kind::status, "x"},
        {"GET /\r\nOrigin: first\r\nOrigin: second\r\n\r\n", Kind::status, "first"},
        {"POST /\r\nHost: localhost\r\n\r\norigin: from-body", Kind::status, "from-body"},
        {"OPTIONS / HTTP/1.1\nOrigin: https://a.example\n\n", Kind::preflight, "https://a.example"},
        {"GET / HTTP/1.1\rOrigin: https://a.example\r\n\r\n", Kind::status, "*"},
        {"GET /\r\n Origin: a\r\nOrigin : b\r\n\r\n", Kind::status, "*"},
        {"GET /\r\nOrigin:\r\n\r\n", Kind::status, ""},
        {"GET /\r\nOrigin: https://\xC3\xBC.example\r\n", Kind::status, "https://\xC3\xBC.example"},
        // A control character (CR, NUL, DEL, NEL, an inner tab) would split the answer: treated as absent.
        {"GET /\r\nOrigin: https://a.example\rSet-Cookie: x=1\r\n\r\n", Kind::status, "*"},
        {std::string("GET /\r\nOrigin: a\0b\r\n", 19), Kind::status, "*"},
        {"GET /\r\nOrigin: a\x7f-b\r\n", Kind::status, "*"},
        {"GET /\r\nOrigin: a\xC2\x85-b\r\n", Kind::status, "*"},
        {"GET /\r\nOrigin: a\tb\r\n", Kind::status, "*"},
        // Host must name this machine's loopback; no Host at all is a raw client.
        {"GET / HTTP/1.1\r\nHost: LocalHost.:12180\r\n\r\n", Kind::status, "*"},
        {"GET / HTTP/1.1\r\nhost: [::1]\r\n\r\n", Kind::status, "*"},
        {"OPTIONS / HTTP/1.1\r\nHost: attacker.example:12180\r\nOrigin: o\r\n", Kind::foreignHost, ""},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1.nip.io:12180\r\n\r\n", Kind::foreignHost, ""},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", Kind::foreignHost, ""},
        {"GET / HTTP/1.1\r\nHost: localhost..\r\n\r\n", Kind::foreignHost, ""},
        {"GET / HTTP/1.1\r\nHost: ::1\r\n\r\n", Kind::foreignHost, ""},
        {"GET / HTTP/1.1\r\nHost:\r\n\r\n", Kind::foreignHost, ""},
        {"GET / HTTP/1.1\nHost: evil.example\n\n", Kind::foreignHost, ""},
        // A nonce makes a challenge; the path and the other parameters do not matter.
        {"GET /any?a=1&nonce=" + sixteen + "&b HTTP/1.1\r\n\r\n", Kind::status, "*", sixteen},
        {"OPTIONS /?nonce= HTTP/1.1\r\n\r\n", Kind::preflight, "*"},
        {"GET /?nonce HTTP/1.1\r\nOrigin: https://p.example\r\n\r\n", Kind::badNonce, "https://p.example",
            "nonce is empty"},
        {get("/?a=b"), Kind::status, "*"},
        {get("/?xnonce=1&nonce2=2"), Kind::status, "*"},
        {get("/?nonce=" + std::string(128, 'x') + "#frag"), Kind::status, "*", std::string(128, 'x')},
        {get("/?a&nonce="), Kind::badNonce, "*", "nonce is empty"},
        {get("/?nonce=" + sixteen.substr(1)), Kind::badNonce, "*", "nonce is shorter than 16 characters"},
        {get("/?nonce=" + std::string(129, 'x')), Kind::badNonce, "*", "nonce is longer than 128 characters"},
        {get("/?nonce=" + sixteen + "%3D"), Kind::badNonce, "*", "nonce is percent-encoded"},
        {get("/?nonce=" + sixteen + "+/"), Kind::badNonce, "*", other},
        {get("/?nonce=" + sixteen + "="), Kind::badNonce, "*", other},
        {get("/?nonce=" + sixteen + "&nonce=" + sixteen), Kind::badNonce, "*", "nonce is given more than once"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.request));
        const http::Request request = http::parseRequest(c.request);
        EXPECT_EQ(request.kind, c.kind);
        EXPECT_EQ(request.origin, c.origin);
        const bool bad = c.kind == Kind::badNonce;
        EXPECT_EQ(request.nonce.value_or(""), bad ? "" : c.nonce);
        EXPECT_EQ(request.problem, bad ? c.nonce : "");
    }
}

TEST(Http, AnswersAreByteExact)
{
    EXPECT_EQ(http::preflightAnswer("*").serialize(), kPreflight);
    std::string withOrigin = kPreflight;
    EXPECT_EQ(http::preflightAnswer("https://p.example").serialize(), withOrigin.replace(54, 1, "https://p.example"));

    const std::string document = "{\n  \"a\": \"\xC3\xBC\"\n}";
    EXPECT_EQ(http::statusAnswer(200, document, "o").serialize(), jsonAnswer("200 OK", "o", document));
    EXPECT_EQ(http::statusAnswer(503, http::errorDocument("busy"), "o", 1).serialize(),
        jsonAnswer("503 Service Unavailable", "o", "{\"error\":\"busy\"}", "Retry-After: 1\r\n"));
    EXPECT_EQ(http::statusAnswer(403, http::errorDocument("no"), "https://p.example").serialize(),
        jsonAnswer("403 Forbidden", "https://p.example", "{\"error\":\"no\"}"));
    EXPECT_EQ(http::forbiddenAnswer().serialize(),
        "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    // A report that could not be written: the bare 38-byte 500.
    EXPECT_EQ(http::statusAnswer(200, std::nullopt, "*").serialize(), "HTTP/1.1 500 Internal Server Error\r\n\r\n");
}

TEST(Http, AnswersAreReadBackOnlyWhenWhole)
{
    const std::string body = "{\"error\":\"busy\"}";
    const std::pair<std::string, std::optional<int>> cases[] = {
        {jsonAnswer("503 Service Unavailable", "o", body, "Retry-After: 1\r\n"), 503},
        {"HTTP/1.1 200 OK\nContent-Length: 0\n\n", 200},
        {jsonAnswer("200 OK", "o", body).substr(0, 200), std::nullopt},  // cut short
        {jsonAnswer("200 OK", "o", body) + "x", std::nullopt},           // longer than it says
        {"HTTP/1.1 200 OK\r\n\r\n{}", std::nullopt},                     // no Content-Length
        {"HTTP/1.1 2x0 OK\r\nContent-Length: 0\r\n\r\n", std::nullopt},  // no status code
        {"HTTP/1.12 200 OK\r\nContent-Length: 0\r\n\r\n", std::nullopt}, // another version
    };
    for (const auto& [bytes, status] : cases) {
        SCOPED_TRACE(bytes);
        const auto answer = http::parseAnswer(bytes);
        ASSERT_EQ(answer.has_value(), status.has_value());
        if (answer) {
            EXPECT_EQ(answer->status, *status);
            EXPECT_EQ(answer->retryAfterSeconds, *status == 503 ? std::optional(1) : std::nullopt);
            EXPECT_EQ(answer->body, *status == 503 ? body : "");
        }
    }
}
