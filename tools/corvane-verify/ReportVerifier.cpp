#include "ReportVerifier.h"

#include "Base64.h"
#include "EcdsaP256Key.h"

#include "report/StatusReport.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <utility>

namespace corvane::verify {
namespace {

using Json = nlohmann::json;

constexpr const char* kMalformed = "malformed";
// A report is at most 3 deep; the bound keeps every recursive walk of the tree short.
constexpr int kMaxDepth = 16;
// 2^53 - 1: beyond it a double, and so JavaScript, no longer holds every integer.
constexpr std::string_view kMaxInteger = "9007199254740991";
constexpr const char* kNumberProblem = "a number is not an integer between -(2^53-1) and 2^53-1";
constexpr const char* kNotJson = "not JSON";

// The members every report has, in the order they are checked, with their JSON types.
struct Member {
    const char* name;
    bool (Json::*is)() const noexcept;
    const char* type;
};
constexpr Member kRequired[] = {
    {"timestamp", &Json::is_number_integer, "an integer"},
    {"device_id", &Json::is_string, "a string"},
    {"connected_network", &Json::is_object, "an object"},
    {"nearby_networks", &Json::is_array, "an array"},
    {"vpn_active", &Json::is_boolean, "a boolean"},
    {statusreport::kSignatureKey, &Json::is_string, "a string"},
    {statusreport::kPublicKeyKey, &Json::is_string, "a string"},
};
// Members that only some reports carry; strings when present.
constexpr const char* kOptional[] = {"nonce", "origin", "key_storage", "signer"};

Verdict invalid(std::string reason, const char* code = kMalformed)
{
    return {false, std::move(reason), code};
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isNumberCharacter(char c)
{
    return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// -?(0|[1-9][0-9]*), not -0, and at most 2^53 - 1 either way.
bool isPlainInteger(std::string_view token)
{
    const std::string_view digits = token.starts_with('-') ? token.substr(1) : token;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit))
        return false;
    if (digits[0] == '0')
        return token == "0";
    return digits.size() < kMaxInteger.size() || (digits.size() == kMaxInteger.size() && digits <= kMaxInteger);
}

// What the text shows before any parser reads it: too deep a nesting, or a number
// that parsers would read differently (a fraction, an exponent, beyond a double).
// One pass without recursion; malformed text is left to the parser.
std::string lexicalProblem(std::string_view text)
{
    int depth = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '"') {
            for (++at; at < text.size() && text[at] != '"'; ++at)
                if (text[at] == '\\')
                    ++at;
            ++at;
        } else if (isNumberCharacter(c)) {
            const std::size_t start = at;
            while (at < text.size() && isNumberCharacter(text[at]))
                ++at;
            const std::string_view run = text.substr(start, at - start);
            if ((run[0] == '-' || isDigit(run[0])) && !isPlainInteger(run))
                return kNumberProblem;
        } else {
            if ((c == '{' || c == '[') && ++depth > kMaxDepth)
                return "nested deeper than " + std::to_string(kMaxDepth) + " levels";
            if (c == '}' || c == ']')
                --depth;
            ++at;
        }
    }
    return {};
}

// The member types, then the signature; the report is an object.
Verdict checkShape(const Json& report)
{
    for (const Member& member : kRequired) {
        const auto found = report.find(member.name);
        if (found == report.end())
            return invalid(std::string("no ") + member.name);
        if (!((*found).*member.is)())
            return invalid(std::string(member.name) + " is not " + member.type);
    }
    for (const char* name : kOptional) {
        const auto found = report.find(name);
        if (found != report.end() && !found->is_string())
            return invalid(std::string(name) + " is not a string");
    }
    return {true, {}, {}};
}

Verdict checkSignature(const Json& report)
{
    const auto signature = decodeBase64(report[statusreport::kSignatureKey].get_ref<const std::string&>());
    if (!signature)
        return invalid("signature is not Base64");
    const auto point = decodeBase64(report[statusreport::kPublicKeyKey].get_ref<const std::string&>());
    if (!point)
        return invalid("public_key is not Base64");
    if (point->size() != 65 || (*point)[0] != 0x04)
        return invalid("public_key is not a 65-byte uncompressed point");
    const auto key = EcdsaP256Key::fromUncompressedPoint(*point);
    if (!key)
        return invalid("public_key is not a point on P-256");
    if (!EcdsaP256Key::isDerSignature(*signature))
        return invalid("signature is not a DER ECDSA signature");

    // The parser took only valid UTF-8, so the payload can always be written.
    const std::optional<std::string> payload = statusreport::signedPayload(report);
    if (!payload)
        return invalid(kNotJson);
    if (!key->verify(*signature, *payload))
        return invalid("signature does not verify", "bad-signature");
    return {true, {}, {}};
}

// The signed members a caller asked about; the signature has already been checked.
Verdict checkExpectations(const Json& report, const Expectations& expected)
{
    for (const auto& [key, wanted, code] :
        {std::tuple{"nonce", &expected.nonce, "wrong-nonce"}, std::tuple{"origin", &expected.origin, "wrong-origin"}}) {
        if (!*wanted)
            continue;
        const auto value = report.find(key);
        if (value == report.end())
            return invalid(std::string("no ") + key, code);
        if (*value != **wanted)
            return invalid(std::string(key) + " does not match", code);
    }
    if (expected.publicKey && report[statusreport::kPublicKeyKey] != *expected.publicKey)
        return invalid("public_key is not the expected key", "key-mismatch");
    if (expected.maxAge) {
        // Within +-(2^53 - 1), so neither the value nor the bounds overflow.
        const std::int64_t seconds = report["timestamp"].get<std::int64_t>();
        if (seconds < expected.now - *expected.maxAge)
            return invalid("timestamp is older than " + std::to_string(*expected.maxAge) + " s", "stale");
        if (seconds > expected.now + kMaxSecondsAhead)
            return invalid(
                "timestamp is more than " + std::to_string(kMaxSecondsAhead) + " s ahead", "from-the-future");
    }
    return {true, {}, {}};
}

} // namespace

Verdict verifyReport(std::string_view document, const Expectations& expected)
{
    if (std::string problem = lexicalProblem(document); !problem.empty())
        return invalid(std::move(problem));
    // nlohmann skips a byte order mark, which other parsers refuse.
    if (document.starts_with("\xEF\xBB\xBF"))
        return invalid(kNotJson);
    // No exceptions: anything the parser dislikes becomes a discarded value.
    const Json report = Json::parse(document, nullptr, false);
    if (report.is_discarded())
        return invalid(kNotJson);
    if (!report.is_object())
        return invalid("not a JSON object");

    if (Verdict shape = checkShape(report); !shape.valid)
        return shape;
    if (Verdict signature = checkSignature(report); !signature.valid)
        return signature;
    return checkExpectations(report, expected);
}

} // namespace corvane::verify
