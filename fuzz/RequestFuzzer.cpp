// Request bytes to answer bytes: parsing, origin handling, answer framing.
#include "Check.h"
#include "bridge/Http.h"
#include "json/JsonWriter.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The same bytes as an answer read back from the system signer.
    if (const auto answer = corvane::http::parseAnswer(bytes))
        check(answer->body.size() < bytes.size() && answer->status >= 0);
    const corvane::http::Request request = corvane::http::parseRequest(bytes);
    using Kind = corvane::http::Request::Kind;
    if (request.kind == Kind::dropped || request.kind == Kind::foreignHost)
        return 0;

    // Whatever the origin, it must never add a line to the answer.
    check(request.origin.find_first_of("\r\n") == std::string::npos);
    // A nonce is either well formed or refused with a reason, never both.
    if (request.kind == Kind::badNonce)
        check(!request.nonce && !request.problem.empty());
    if (request.nonce)
        check(request.nonce->size() >= 16 && request.nonce->size() <= 128);

    const nlohmann::json report = {{"origin_seen", request.origin}, {"path", "a/b"}};
    const std::string answer = request.kind == Kind::badNonce
        ? corvane::http::statusAnswer(400, corvane::http::errorDocument(request.problem), request.origin).serialize()
        : corvane::http::statusAnswer(200, corvane::json::writeCompact(report), request.origin).serialize();
    const std::size_t headEnd = answer.find("\r\n\r\n");
    check(headEnd != std::string::npos);
    const std::string body = answer.substr(headEnd + 4);
    check(answer.find("Content-Length: " + std::to_string(body.size()) + "\r\n") < headEnd);
    check(!nlohmann::json::parse(body, nullptr, false).is_discarded());
    return 0;
}
