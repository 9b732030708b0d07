#pragma once

#include <string_view>

namespace corvane::io {

// Writes every byte, going on after short writes and EINTR: 0, or the errno
// value of the write that failed.
int writeAll(int fd, std::string_view bytes);

} // namespace corvane::io
