#include "bridge/CorvaneBridge.h"

#include <gtest/gtest.h>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

// Answers every status request at once with what it was given.
struct FixedReports : ReportSource {
    ReportAnswer given;
    void answer(const http::Request&, Done done) override { done(given); }
};

} // namespace

TEST(CorvaneBridge, ATakenPortIsTriedAgainLessAndLessOften)
{
    std::vector<std::chrono::milliseconds> delays;
    for (std::chrono::milliseconds delay{0}; delays.size() < 8;)
        delays.push_back(delay = CorvaneBridge::nextRestartDelay(delay));
    EXPECT_EQ(delays, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 8s, 16s, 30s, 30s, 30s}));
}

TEST(CorvaneBridge, HeadGetsEveryAnswerWithoutItsBody)
{
    FixedReports reports;
    CorvaneBridge bridge(reports);
    const std::string error = "{\"error\":\"e\"}";
    const auto expect = [&](const std::string& request, ReportAnswer given, const std::string& status,
                            std::size_t length) {
        SCOPED_TRACE(request + status);
        reports.given = std::move(given);
        std::optional<std::string> later;
        BridgeConnection connection([&later] {
            return DeferredAnswer([&later](std::optional<std::string> answer) { later = std::move(answer); });
        });
        bridge.processRequest(request, connection);
        const std::string answer = (connection.deferred() ? later : connection.answer()).value_or("");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + status + "\r\n")) << answer;
        EXPECT_NE(answer.find("\r\nContent-Length: " + std::to_string(length) + "\r\n"), std::string::npos);
        EXPECT_TRUE(answer.ends_with("\r\n\r\n"));
    };
    const std::string head = "HEAD / HTTP/1.1\r\n\r\n";
    expect(head, {200, "{}", std::nullopt, 1}, "200 OK", 2);
    expect("HEAD /?nonce=short HTTP/1.1\r\n\r\n", {}, "400 Bad Request", 47);
    expect(head, {403, error, std::nullopt, std::nullopt}, "403 Forbidden", error.size());
    expect(head, {503, error, 1, std::nullopt}, "503 Service Unavailable", error.size());
    expect("HEAD / HTTP/1.1\r\nHost: evil.example\r\n\r\n", {}, "403 Forbidden", 0);
}
