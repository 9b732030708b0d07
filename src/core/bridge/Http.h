#pragma once

#include <optional>
#include <string>
#include <string_view>

// The bridge's small slice of HTTP/1.1: the method token, the request
// target's nonce, the Origin and Host headers, and the answers. Pure text in,
// text out.
namespace corvane::http {

inline constexpr std::string_view kAnyOrigin = "*";
inline constexpr std::size_t kShortestNonce = 16;
inline constexpr std::size_t kLongestNonce = 128;
// A request's header must end within this many bytes.
inline constexpr std::size_t kMaxHeaderBytes = 65536;

// What the bridge makes of the one read of a connection.
struct Request {
    enum class Kind {
        dropped,     // empty or not UTF-8: no answer at all
        foreignHost, // addressed to a name that is not this machine's loopback
        preflight,   // method token exactly "OPTIONS"
        badNonce,    // a status request whose nonce parameter is malformed
        tooLarge,    // a status request whose header did not end within kMaxHeaderBytes
        status,
    };

    Kind kind = Kind::dropped;
    // What Access-Control-Allow-Origin grants: the value of the first line, header or body,
    // that starts with "origin:" in any case, trimmed; "*" when there is none, or when the
    // value holds a control character that would split the answer if echoed into a header.
    std::string origin;
    std::optional<std::string> nonce; // a status request's challenge
    std::string path;                 // the request target's path, e.g. "/"
    std::string problem;              // why the nonce is malformed
    bool head = false;                // method "HEAD": the answer without its body
};

// Judges one request on its whole header; headerCut: the header did not end
// within the kMaxHeaderBytes that were read, so what matters may be missing.
Request parseRequest(std::string_view bytes, bool headerCut = false);

// The length of the header up to and including the blank line that ends it
// (CRLF CRLF, or a bare LF LF); none until that line has arrived. from: how
// much of bytes an earlier call found no end in, so that a header that
// arrives in many pieces is searched once, not once per piece.
std::optional<std::size_t> headerLength(std::string_view bytes, std::size_t from = 0);

// The first line's text before its first space. A line ends at LF, a CR
// before it dropped; a CR alone is an ordinary character.
std::string extractMethod(std::string_view request);

// Whether a Host header value names this machine's loopback: 127.0.0.1,
// localhost (a trailing dot allowed) or [::1], in any case, with or without
// the bridge's port. Anything else is a name some other site controls.
bool isLoopbackHost(std::string_view host);

// Whether the header has ended and any body its Content-Length announces has
// come with it: when not, the client may still be sending.
bool isComplete(std::string_view request);

// The nonce parameter of the request target's query: none when there is no
// such parameter, otherwise the value, or in problem why it is malformed.
struct NonceParameter {
    std::optional<std::string> nonce;
    std::string problem;
};
NonceParameter extractNonce(std::string_view request);

// One answer. Every answer is written by serialize(), so each header line
// exists in one place.
struct Response {
    std::string_view status;                     // e.g. "200 OK"
    std::string_view contentType;                // empty: no Content-Type
    std::optional<std::string_view> allowOrigin; // the CORS grants, for this origin
    bool preflight = false;                      // the grants only a preflight carries
    std::optional<std::string> body;             // with its Content-Length
    bool omitBody = false;                       // HEAD: the Content-Length of the body, not the body
    bool bare = false;                           // the status line alone, not even Connection
    std::optional<int> retryAfterSeconds;

    std::string serialize() const;
};

Response preflightAnswer(std::string_view origin);

// What a status request gets: 200 with the served document, or 400, 403 or
// 503 with an {"error": ...} document, all readable by the page that asked;
// no document, or any other status, the bare 500.
Response statusAnswer(int status, std::optional<std::string> document, std::string_view origin,
    std::optional<int> retryAfterSeconds = std::nullopt);

// {"error": problem}
std::string errorDocument(std::string_view problem);

// 403, empty: addressed to a name that is not this machine's.
Response forbiddenAnswer();

// 431, empty: a status request whose header never ended.
Response headerTooLargeAnswer();

// An answer as the bridge writes it, read back by a client of the bridge.
struct Answer {
    int status = 0;
    std::string body;
    std::optional<int> retryAfterSeconds;
};
// None unless bytes are one whole answer: a status line, a header, and a body
// exactly as long as its Content-Length says.
std::optional<Answer> parseAnswer(std::string_view bytes);

} // namespace corvane::http
