// The report's own writer must give the bytes that a verifier rebuilds from
// the served document with the generic writer, for any text in any member,
// or refuse text that is not UTF-8; and the generic writer must write back
// exactly what went in.
#include "Check.h"
#include "json/JsonWriter.h"
#include "report/StatusReport.h"
#include "text/Utf8.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace corvane::statusreport;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::int64_t number = size > 8 ? static_cast<std::int64_t>(std::hash<std::string>{}(bytes)) : -42;

    Report report;
    report.facts.nearby = {{bytes, "b/", number, -number}, {"x", bytes, 0, 1}};
    report.facts.current = corvane::WifiNetwork{bytes, bytes, 1, 2};
    report.facts.deviceId = bytes;
    report.facts.timestamp = number;
    report.facts.vpnActive = size % 2 == 1;
    report.facts.challenge = Challenge{bytes, bytes, "tpm", "system"};
    report.signature = bytes;
    report.publicKey = "BA/+==";
    const std::optional<std::string> payload = signedPayload(report.facts);
    const std::optional<std::string> document = servedDocument(report);
    check(payload.has_value() == corvane::utf8::isValid(bytes) && document.has_value() == payload.has_value());
    if (payload) {
        const nlohmann::json served = nlohmann::json::parse(*document);
        check(served.at("nearby_networks").at(0).at("rssi") == number && served.at("device_id") == bytes);
        check(signedPayload(served) == payload);
    }

    // Bytes as a JSON document of any shape.
    const nlohmann::json parsed = nlohmann::json::parse(bytes, nullptr, false);
    if (!parsed.is_discarded()) {
        const std::optional<std::string> written = corvane::json::writeCompact(parsed);
        if (written)
            check(nlohmann::json::parse(*written) == parsed);
    }
    return 0;
}
