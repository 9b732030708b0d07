// Whatever a portal is handed, checking it must end in a verdict with a reason
// and a code: the HTTP framing, the pre-scan, the JSON, the Base64, the public
// point and the DER signature.
#include "Base64.h"
#include "EcdsaP256Key.h"
#include "HttpAnswer.h"
#include "ReportVerifier.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace corvane::verify;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const ReportText text = reportText(input);
    const Verdict verdict = verifyReport(text.problem.empty() ? text.document : input);
    if (!verdict.valid && (verdict.reason.empty() || verdict.code.empty()))
        std::abort();

    const std::span<const unsigned char> bytes(data, size);
    EcdsaP256Key::isDerSignature(bytes);
    EcdsaP256Key::fromUncompressedPoint(bytes);
    decodeBase64(input);
    return 0;
}
