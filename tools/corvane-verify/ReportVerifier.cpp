#include "ReportVerifier.h"

#include "Base64.h"
#include "EcdsaP256Key.h"

#include "report/StatusReport.h"

#include <nlohmann/json.hpp>

namespace corvane::verify {
namespace {

Verdict invalid(std::string reason)
{
    return {false, std::move(reason)};
}

// The member's text, or why there is none.
const std::string* stringMember(const nlohmann::json& report, const char* key, std::string& problem)
{
    const auto member = report.find(key);
    if (member == report.end())
        problem = std::string("no ") + key;
    else if (!member->is_string())
        problem = std::string(key) + " is not a string";
    else
        return member->get_ptr<const std::string*>();
    return nullptr;
}

} // namespace

Verdict verifyReport(std::string_view document)
{
    // No exceptions: anything the parser dislikes becomes a discarded value.
    const nlohmann::json report = nlohmann::json::parse(document, nullptr, false);
    if (report.is_discarded())
        return invalid("not JSON");
    if (!report.is_object())
        return invalid("not a JSON object");

    std::string problem;
    const std::string* signatureText = stringMember(report, statusreport::kSignatureKey, problem);
    if (!signatureText)
        return invalid(problem);
    const std::string* publicKeyText = stringMember(report, statusreport::kPublicKeyKey, problem);
    if (!publicKeyText)
        return invalid(problem);

    const auto signature = decodeBase64(*signatureText);
    if (!signature)
        return invalid("signature is not Base64");
    const auto point = decodeBase64(*publicKeyText);
    if (!point)
        return invalid("public_key is not Base64");
    if (point->size() != 65 || (*point)[0] != 0x04)
        return invalid("public_key is not a 65-byte uncompressed point");
    const auto key = EcdsaP256Key::fromUncompressedPoint(*point);
    if (!key)
        return invalid("public_key is not a point on P-256");
    if (!EcdsaP256Key::isDerSignature(*signature))
        return invalid("signature is not a DER ECDSA signature");

    const std::optional<std::string> payload = statusreport::signedPayload(report);
    if (!payload)
        return invalid("the report cannot be written as the signed payload");
    if (!key->verify(*signature, *payload))
        return invalid("signature does not verify");
    return {true, {}};
}

} // namespace corvane::verify
