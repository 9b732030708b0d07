// Request bytes to answer bytes: parsing, origin handling, answer framing.
#include "bridge/Http.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<corvane::http::Request> request = corvane::http::parseRequest(bytes);
    if (!request)
        return 0;

    // Whatever the origin, it must never add a line to the answer.
    check(request->origin.find_first_of("\r\n") == std::string::npos);

    if (request->preflight) {
        const std::string answer = corvane::http::buildPreflightResponse(request->origin);
        check(answer.size() == 240 + request->origin.size());
        check(answer.find("\r\n\r\n") == answer.size() - 4);
        return 0;
    }

    const nlohmann::json report = {{"origin_seen", request->origin}, {"path", "a/b"}};
    const std::string answer = corvane::http::buildJSONResponse(report, request->origin);
    const std::size_t headEnd = answer.find("\r\n\r\n");
    check(headEnd != std::string::npos);
    const std::string body = answer.substr(headEnd + 4);
    check(answer.find("Content-Length: " + std::to_string(body.size()) + "\r\n") < headEnd);
    check(nlohmann::json::parse(body, nullptr, false) == report);
    return 0;
}
