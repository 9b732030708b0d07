#include "text/Text.h"

#include <array>

namespace corvane::text {
namespace {

// Tab and the Unicode space separators, as UTF-8.
constexpr std::array<std::string_view, 18> kWhitespace = {"\t", " ", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

std::size_t leadingWhitespace(std::string_view s)
{
    for (std::string_view w : kWhitespace) {
        if (s.starts_with(w))
            return w.size();
    }
    return 0;
}

std::size_t trailingWhitespace(std::string_view s)
{
    for (std::string_view w : kWhitespace) {
        if (s.ends_with(w))
            return w.size();
    }
    return 0;
}

} // namespace

std::string_view trim(std::string_view s)
{
    // Every separator but tab and space starts with a byte above ASCII.
    const auto plain = [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != ' ' && c != '\t'; };
    if (!s.empty() && plain(s.front()) && plain(s.back()))
        return s;
    while (std::size_t n = leadingWhitespace(s))
        s.remove_prefix(n);
    while (std::size_t n = trailingWhitespace(s))
        s.remove_suffix(n);
    return s;
}

} // namespace corvane::text
