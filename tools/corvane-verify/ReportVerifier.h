#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::verify {

struct Verdict {
    bool valid = false;
    std::string reason; // why not, when not valid
    // What kind of fault, for programs: "malformed", "bad-signature", "wrong-nonce",
    // "wrong-origin", "key-mismatch", "stale" or "from-the-future"; empty when valid.
    std::string code;
};

// What a caller may require of a report beyond its signature.
struct Expectations {
    std::optional<std::string> nonce;     // "nonce" must be exactly this
    std::optional<std::string> origin;    // "origin" must be exactly this
    std::optional<std::int64_t> maxAge;   // "timestamp" at most this many seconds before now
    std::int64_t now = 0;                 // seconds since 1970; used with maxAge
    std::optional<std::string> publicKey; // "public_key" must be exactly this Base64 text
};

// How far ahead of the verifier's clock a timestamp may be: clocks drift.
inline constexpr std::int64_t kMaxSecondsAhead = 60;

// Checks a served report document (JSON text): its shape, then that its
// "signature" is an ECDSA P-256/SHA-256 signature, by the key in its
// "public_key", over the payload the agent signs; then each expectation given.
// The text is scanned before it is parsed: nesting deeper than 16 levels and
// any number but a plain integer within +-(2^53-1) are refused, so that every
// verifier of a report, whatever its number type, reads the same values.
Verdict verifyReport(std::string_view document, const Expectations& expected = {});

} // namespace corvane::verify
