#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace corvane::json {

// One line, no white space between tokens, keys sorted at every level
// (nlohmann's default object type is an ordered map), non-ASCII characters
// as themselves and every "/" as "\/": the form signed payloads take. A
// string that is not valid UTF-8 makes it fail: no partial output.
std::optional<std::string> writeCompact(const nlohmann::json& value);

} // namespace corvane::json
