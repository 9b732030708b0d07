#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace corvane::verify {

// Standard, padded Base64 without line breaks, in its one canonical spelling:
// anything else (white space, missing padding, stray low bits) is rejected.
std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text);

} // namespace corvane::verify
