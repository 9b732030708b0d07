#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace corvane::json {

// Both forms sort keys at every level (nlohmann's default object type is an
// ordered map), write non-ASCII characters as themselves and write every "/"
// as "\/". A string that is not valid UTF-8 makes them fail: no partial output.

// One line, no white space between tokens: the bytes that get signed.
std::optional<std::string> writeCompact(const nlohmann::json& value);

// Indented, one member per line: the document served to clients.
std::optional<std::string> writePretty(const nlohmann::json& value);

} // namespace corvane::json
