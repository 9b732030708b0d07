#include "bridge/Http.h"

#include "json/JsonWriter.h"
#include "text/Text.h"
#include "text/Utf8.h"

#include <cstdint>

namespace corvane::http {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kOriginName = "origin:";

// C0 controls, DEL and the C1 controls (U+0080..U+009F, C2 80..C2 9F).
bool hasControlCharacter(std::string_view s)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(s[i]);
        if (byte < 0x20 || byte == 0x7F)
            return true;
        if (byte == 0xC2 && i + 1 < s.size()) {
            const auto next = static_cast<std::uint8_t>(s[i + 1]);
            if (next >= 0x80 && next <= 0x9F)
                return true;
        }
    }
    return false;
}

bool startsWithOriginName(std::string_view line)
{
    if (line.size() < kOriginName.size())
        return false;
    for (std::size_t i = 0; i < kOriginName.size(); ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kOriginName[i])
            return false;
    }
    return true;
}

} // namespace

std::optional<Request> parseRequest(std::string_view bytes)
{
    if (bytes.empty() || !utf8::isValid(bytes))
        return std::nullopt;
    return Request{extractMethod(bytes) == "OPTIONS", extractOrigin(bytes)};
}

std::string extractOrigin(std::string_view request)
{
    std::size_t start = 0;
    while (start <= request.size()) {
        std::size_t end = request.find(kLineEnd, start);
        if (end == std::string_view::npos)
            end = request.size();
        const std::string_view line = request.substr(start, end - start);
        if (startsWithOriginName(line)) {
            const std::string_view value = text::trim(line.substr(kOriginName.size()));
            if (hasControlCharacter(value))
                return std::string(kAnyOrigin);
            return std::string(value);
        }
        start = end + kLineEnd.size();
    }
    return std::string(kAnyOrigin);
}

std::string extractMethod(std::string_view request)
{
    const std::string_view firstLine = request.substr(0, request.find(kLineEnd));
    return std::string(firstLine.substr(0, firstLine.find(' ')));
}

std::string buildPreflightResponse(std::string_view origin)
{
    std::string response;
    response.reserve(240 + origin.size());
    response += "HTTP/1.1 204 No Content\r\n";
    response += "Access-Control-Allow-Origin: ";
    response += origin;
    response += "\r\n";
    response += "Access-Control-Allow-Methods: GET, OPTIONS\r\n";
    response += "Access-Control-Allow-Headers: Content-Type\r\n";
    response += "Access-Control-Allow-Private-Network: true\r\n";
    response += "Access-Control-Max-Age: 86400\r\n";
    response += "Connection: close\r\n";
    response += "\r\n";
    return response;
}

std::string buildJSONResponse(const nlohmann::json& report, std::string_view origin)
{
    const std::optional<std::string> body = json::writePretty(report);
    if (!body)
        return std::string(kInternalServerError);

    std::string response;
    response.reserve(256 + origin.size() + body->size());
    response += "HTTP/1.1 200 OK\r\n";
    response += "Content-Type: application/json\r\n";
    response += "Access-Control-Allow-Origin: ";
    response += origin;
    response += "\r\n";
    response += "Access-Control-Allow-Methods: GET, OPTIONS\r\n";
    response += "Access-Control-Allow-Private-Network: true\r\n";
    response += "Content-Length: ";
    response += std::to_string(body->size());
    response += "\r\n";
    response += "Connection: close\r\n";
    response += "\r\n";
    response += *body;
    return response;
}

} // namespace corvane::http
