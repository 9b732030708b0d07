#include "text/Text.h"

#include <array>

namespace corvane::text {
namespace {

// Tab and the Unicode space separators, as UTF-8.
constexpr std::array<std::string_view, 18> kWhitespace = {"\t", " ", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

// The length of the separator s starts (or, backwards, ends) with, or 0.
std::size_t separatorAt(std::string_view s, bool atEnd)
{
    if (s.empty())
        return 0;
    const char edge = atEnd ? s.back() : s.front();
    if (edge == ' ' || edge == '\t')
        return 1;
    if (static_cast<unsigned char>(edge) < 0x80)
        return 0; // the usual case: every other separator is a multi-byte sequence
    for (std::string_view w : kWhitespace) {
        if (atEnd ? s.ends_with(w) : s.starts_with(w))
            return w.size();
    }
    return 0;
}

} // namespace

std::string_view trim(std::string_view s)
{
    while (std::size_t n = separatorAt(s, false))
        s.remove_prefix(n);
    while (std::size_t n = separatorAt(s, true))
        s.remove_suffix(n);
    return s;
}

} // namespace corvane::text
