// The canonical writer must write back exactly what went in, with every "/"
// escaped, or refuse (text that is not UTF-8).
#include "json/JsonWriter.h"
#include "text/Utf8.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool slashesEscaped(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '/')
            continue;
        std::size_t backslashes = 0;
        while (backslashes < i && text[i - 1 - backslashes] == '\\')
            ++backslashes;
        if (backslashes % 2 == 0)
            return false;
    }
    return true;
}

void checkForm(const nlohmann::json& value, const std::optional<std::string>& written)
{
    check(written.has_value());
    check(slashesEscaped(*written));
    check(nlohmann::json::parse(*written) == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // Raw bytes as a string member: written only when they are UTF-8.
    const nlohmann::json raw = {{"ssid", bytes}, {"nearby_networks", {{{"ssid", bytes}, {"rssi", -40}}}}};
    const std::optional<std::string> compact = corvane::json::writeCompact(raw);
    check(compact.has_value() == corvane::utf8::isValid(bytes));
    if (compact) {
        checkForm(raw, compact);
        checkForm(raw, corvane::json::writePretty(raw));
    }

    // Bytes as a JSON document of any shape.
    const nlohmann::json parsed = nlohmann::json::parse(bytes, nullptr, false);
    if (!parsed.is_discarded()) {
        const std::optional<std::string> written = corvane::json::writeCompact(parsed);
        if (written)
            checkForm(parsed, written);
    }
    return 0;
}
