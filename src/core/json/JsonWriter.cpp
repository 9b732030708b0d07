#include "json/JsonWriter.h"

namespace corvane::json {
namespace {

std::string escapeSlashes(const std::string& text)
{
    // A "/" can only stand inside a string in JSON text, so a plain
    // replacement is exact.
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '/')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

std::optional<std::string> writeCompact(const nlohmann::json& value)
{
    try {
        return escapeSlashes(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

} // namespace corvane::json
