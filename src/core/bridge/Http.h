#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

// The bridge's small slice of HTTP/1.1: the method token, the Origin header
// and the three answers. Pure text in, text out.
namespace corvane::http {

// What the bridge makes of the one read of a connection.
struct Request {
    bool preflight = false; // method token exactly "OPTIONS"
    std::string origin;
};

// No value when the bytes are empty or not UTF-8: such a connection is dropped.
std::optional<Request> parseRequest(std::string_view bytes);

inline constexpr std::string_view kInternalServerError = "HTTP/1.1 500 Internal Server Error\r\n\r\n";
inline constexpr std::string_view kAnyOrigin = "*";

// The value of the first line that starts with "origin:" in any case, trimmed;
// "*" when there is none, or when the value holds a control character that
// would split the answer if echoed into a header.
std::string extractOrigin(std::string_view request);

// The first line's text before its first space.
std::string extractMethod(std::string_view request);

std::string buildPreflightResponse(std::string_view origin);

// The 200 answer with the pretty-printed report, or the bare 500 answer when
// the report cannot be written as JSON.
std::string buildJSONResponse(const nlohmann::json& report, std::string_view origin);

} // namespace corvane::http
