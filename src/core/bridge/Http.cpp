#include "bridge/Http.h"

#include "json/JsonWriter.h"
#include "text/Text.h"
#include "text/Utf8.h"

#include <array>
#include <charconv>
#include <cstdint>

namespace corvane::http {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kOriginName = "origin:";
constexpr std::string_view kHostName = "host:";
constexpr std::string_view kNonceName = "nonce";
constexpr std::string_view kBridgePort = ":12180";
constexpr std::string_view kJsonType = "application/json";

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

bool startsWithName(std::string_view line, std::string_view lowerCaseName)
{
    if (line.size() < lowerCaseName.size())
        return false;
    for (std::size_t i = 0; i < lowerCaseName.size(); ++i) {
        if (text::asciiLower(line[i]) != lowerCaseName[i])
            return false;
    }
    return true;
}

// A line ends at LF; the CR of a CRLF is not part of it, a CR alone is.
std::string_view lineAt(std::string_view text, std::size_t start, std::size_t& next)
{
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
        end = text.size();
    next = end + 1;
    std::string_view line = text.substr(start, end - start);
    if (end < text.size() && line.ends_with('\r'))
        line.remove_suffix(1);
    return line;
}

std::string_view firstLine(std::string_view request)
{
    std::size_t next = 0;
    return lineAt(request, 0, next);
}

std::string_view requestTarget(std::string_view request)
{
    const std::string_view line = firstLine(request);
    const std::size_t targetStart = line.find(' ');
    if (targetStart == std::string_view::npos)
        return {};
    const std::string_view target = line.substr(targetStart + 1);
    return target.substr(0, target.find(' '));
}

// For each name, the trimmed rest of the first line, header and body alike,
// that starts with it; none when no line does. One pass for all names.
template <std::size_t N>
std::array<std::optional<std::string_view>, N> firstLineValues(
    std::string_view request, const std::array<std::string_view, N>& lowerCaseNames)
{
    std::array<std::optional<std::string_view>, N> values;
    for (std::size_t start = 0, found = 0; start <= request.size() && found < N;) {
        const std::string_view line = lineAt(request, start, start);
        for (std::size_t i = 0; i < N; ++i) {
            if (!values[i] && startsWithName(line, lowerCaseNames[i])) {
                values[i] = text::trim(line.substr(lowerCaseNames[i].size()));
                ++found;
            }
        }
    }
    return values;
}

std::string originValue(std::optional<std::string_view> value)
{
    if (!value || hasControlCharacter(*value))
        return std::string(kAnyOrigin);
    return std::string(*value);
}

bool isNonceCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

std::string nonceProblem(std::string_view value)
{
    if (value.empty())
        return "nonce is empty";
    if (value.find('%') != std::string_view::npos)
        return "nonce is percent-encoded";
    for (char c : value) {
        if (!isNonceCharacter(c))
            return "nonce holds a character other than A-Z, a-z, 0-9, - and _";
    }
    if (value.size() < kShortestNonce)
        return "nonce is shorter than " + std::to_string(kShortestNonce) + " characters";
    if (value.size() > kLongestNonce)
        return "nonce is longer than " + std::to_string(kLongestNonce) + " characters";
    return {};
}

// A status line with an empty body: nothing a page could read.
Response emptyAnswer(std::string_view status)
{
    Response response;
    response.status = status;
    response.body.emplace();
    return response;
}

std::string_view statusText(int status)
{
    switch (status) {
    case 200: return "200 OK";
    case 400: return "400 Bad Request";
    case 403: return "403 Forbidden";
    case 503: return "503 Service Unavailable";
    default: return {};
    }
}

std::optional<int> decimal(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || value < 0)
        return std::nullopt;
    return value;
}

} // namespace

Request parseRequest(std::string_view bytes, bool headerCut)
{
    Request request;
    if (bytes.empty() || !utf8::isValid(bytes))
        return request;
    const auto [host, origin] = firstLineValues<2>(bytes, {kHostName, kOriginName});
    if (host && !isLoopbackHost(*host)) {
        request.kind = Request::Kind::foreignHost;
        return request;
    }
    request.origin = originValue(origin);
    const std::string method = extractMethod(bytes);
    // A preflight carries no data, so one whose header is cut is answered all the same.
    if (method == "OPTIONS") {
        request.kind = Request::Kind::preflight;
        return request;
    }
    // The Host line may be in the part that was not read: no report on a guess.
    if (headerCut) {
        request.kind = Request::Kind::tooLarge;
        return request;
    }
    request.head = method == "HEAD";
    const std::string_view target = requestTarget(bytes);
    request.path = target.substr(0, target.find_first_of("?#"));
    NonceParameter nonce = extractNonce(bytes);
    request.kind = nonce.problem.empty() ? Request::Kind::status : Request::Kind::badNonce;
    request.nonce = std::move(nonce.nonce);
    request.problem = std::move(nonce.problem);
    return request;
}

bool isLoopbackHost(std::string_view host)
{
    std::string name;
    name.reserve(host.size());
    for (char c : host)
        name += text::asciiLower(c);
    if (name.ends_with(kBridgePort))
        name.resize(name.size() - kBridgePort.size());
    return name == "127.0.0.1" || name == "localhost" || name == "localhost." || name == "[::1]";
}

std::optional<std::size_t> headerLength(std::string_view bytes, std::size_t from)
{
    // The first LF that follows another, with or without a CR between them;
    // the last two bytes searched before may begin such a pair.
    for (std::size_t lf = bytes.find('\n', from < 2 ? 0 : from - 2); lf != std::string_view::npos;
         lf = bytes.find('\n', lf + 1)) {
        const std::size_t next = lf + 1;
        if (next < bytes.size() && bytes[next] == '\n')
            return next + 1;
        if (next + 1 < bytes.size() && bytes[next] == '\r' && bytes[next + 1] == '\n')
            return next + 2;
    }
    return std::nullopt;
}

bool isComplete(std::string_view request)
{
    const std::optional<std::size_t> headerSize = headerLength(request);
    if (!headerSize)
        return false;
    const auto [encoding, length] =
        firstLineValues<2>(request.substr(0, *headerSize), {"transfer-encoding:", "content-length:"});
    if (encoding)
        return false;
    if (!length)
        return true;
    std::size_t announced = 0;
    const auto [end, error] = std::from_chars(length->data(), length->data() + length->size(), announced);
    const std::size_t arrived = request.size() - *headerSize;
    return error == std::errc() && end == length->data() + length->size() && arrived >= announced;
}

NonceParameter extractNonce(std::string_view request)
{
    const std::string_view target = requestTarget(request);
    const std::size_t queryStart = target.find('?');
    if (queryStart == std::string_view::npos)
        return {};
    std::string_view query = target.substr(queryStart + 1);
    query = query.substr(0, query.find('#'));

    NonceParameter found;
    for (std::size_t start = 0; start <= query.size();) {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos)
            end = query.size();
        const std::string_view parameter = query.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = parameter.find('=');
        if (parameter.substr(0, equals) != kNonceName)
            continue;
        if (found.nonce)
            return {std::nullopt, "nonce is given more than once"};
        found.nonce = equals == std::string_view::npos ? std::string() : std::string(parameter.substr(equals + 1));
    }
    if (found.nonce)
        found.problem = nonceProblem(*found.nonce);
    if (!found.problem.empty())
        found.nonce.reset();
    return found;
}

std::string extractMethod(std::string_view request)
{
    const std::string_view line = firstLine(request);
    return std::string(line.substr(0, line.find(' ')));
}

std::string Response::serialize() const
{
    std::string text;
    text.reserve(256 + (allowOrigin ? allowOrigin->size() : 0) + (body ? body->size() : 0));
    text += "HTTP/1.1 ";
    text += status;
    text += kLineEnd;
    if (bare)
        return text += kLineEnd;
    if (!contentType.empty()) {
        text += "Content-Type: ";
        text += contentType;
        text += kLineEnd;
    }
    if (allowOrigin) {
        text += "Access-Control-Allow-Origin: ";
        text += *allowOrigin;
        text += kLineEnd;
        text += "Access-Control-Allow-Methods: GET, OPTIONS\r\n";
        if (preflight)
            text += "Access-Control-Allow-Headers: Content-Type\r\n";
        text += "Access-Control-Allow-Private-Network: true\r\n";
        if (preflight)
            text += "Access-Control-Max-Age: 86400\r\n";
    }
    if (retryAfterSeconds) {
        text += "Retry-After: ";
        text += std::to_string(*retryAfterSeconds);
        text += kLineEnd;
    }
    if (body) {
        text += "Content-Length: ";
        text += std::to_string(body->size());
        text += kLineEnd;
    }
    text += "Connection: close\r\n";
    text += kLineEnd;
    if (body && !omitBody)
        text += *body;
    return text;
}

Response preflightAnswer(std::string_view origin)
{
    Response response;
    response.status = "204 No Content";
    response.allowOrigin = origin;
    response.preflight = true;
    return response;
}

Response statusAnswer(
    int status, std::optional<std::string> document, std::string_view origin, std::optional<int> retryAfterSeconds)
{
    Response response;
    response.status = statusText(status);
    if (!document || response.status.empty()) {
        response.status = "500 Internal Server Error";
        response.bare = true;
        return response;
    }
    response.contentType = kJsonType;
    response.allowOrigin = origin;
    response.body = std::move(document);
    response.retryAfterSeconds = retryAfterSeconds;
    return response;
}

std::string errorDocument(std::string_view problem)
{
    return json::writeCompact({{"error", problem}}).value_or("{}");
}

Response headerTooLargeAnswer()
{
    return emptyAnswer("431 Request Header Fields Too Large");
}

Response forbiddenAnswer()
{
    return emptyAnswer("403 Forbidden");
}

std::optional<Answer> parseAnswer(std::string_view bytes)
{
    const std::optional<std::size_t> headerSize = headerLength(bytes);
    const std::string_view statusLine = firstLine(bytes);
    if (!headerSize || !statusLine.starts_with("HTTP/1.1 ") || statusLine.size() < 12
        || (statusLine.size() > 12 && statusLine[12] != ' '))
        return std::nullopt;
    Answer answer;
    const std::optional<int> status = decimal(statusLine.substr(9, 3));
    const auto [length, retryAfter] =
        firstLineValues<2>(bytes.substr(0, *headerSize), {"content-length:", "retry-after:"});
    const std::optional<int> bodySize = length ? decimal(*length) : std::nullopt;
    if (!status || !bodySize || bytes.size() - *headerSize != static_cast<std::size_t>(*bodySize))
        return std::nullopt;
    answer.status = *status;
    answer.body.assign(bytes.substr(*headerSize));
    if (retryAfter)
        answer.retryAfterSeconds = decimal(*retryAfter);
    return answer;
}

} // namespace corvane::http
