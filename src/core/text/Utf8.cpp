#include "text/Utf8.h"

#include <cstddef>
#include <cstdint>

namespace corvane::utf8 {
namespace {

bool isContinuation(std::uint8_t byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length of the sequence that starts at `i`, or 0 when it is malformed.
std::size_t sequenceLength(std::string_view s, std::size_t i)
{
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    if (b0 < 0x80)
        return 1;

    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0)
            low = 0xA0; // overlong
        if (b0 == 0xED)
            high = 0x9F; // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0)
            low = 0x90; // overlong
        if (b0 == 0xF4)
            high = 0x8F; // above U+10FFFF
    } else {
        return 0;
    }

    if (i + length > s.size())
        return 0;
    const auto b1 = static_cast<std::uint8_t>(s[i + 1]);
    if (b1 < low || b1 > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (!isContinuation(static_cast<std::uint8_t>(s[i + k])))
            return 0;
    }
    return length;
}

} // namespace

bool isValid(std::string_view bytes)
{
    for (std::size_t i = 0; i < bytes.size();) {
        if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
            ++i; // the usual case, without the sequence rules
            continue;
        }
        const std::size_t length = sequenceLength(bytes, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

} // namespace corvane::utf8
