#pragma once

#include <string_view>

namespace corvane::text {

// Without leading and trailing tabs and Unicode space separators (category
// Zs, which includes the ASCII space). CR and LF are not white space here.
std::string_view trim(std::string_view s);

} // namespace corvane::text
