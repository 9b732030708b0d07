#pragma once

#include <string_view>

namespace corvane::text {

// Without leading and trailing tabs and Unicode space separators (category
// Zs, which includes the ASCII space). CR and LF are not white space here.
std::string_view trim(std::string_view s);

// A-Z to a-z, every other byte as it is: header names and host names are ASCII.
constexpr char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace corvane::text
