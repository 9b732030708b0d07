#pragma once

#include <string_view>

namespace corvane::utf8 {

// Strict UTF-8: rejects overlong forms, surrogates, code points above
// U+10FFFF and truncated sequences. Request bytes, SSIDs and interface names
// all go through this before they are treated as text.
bool isValid(std::string_view bytes);

} // namespace corvane::utf8
