#pragma once

#include <filesystem>
#include <string_view>

namespace corvane::io {

// Writes every byte, going on after short writes and EINTR: 0, or the errno
// value of the write that failed.
int writeAll(int fd, std::string_view bytes);

// An XDG base folder: what variable names when it is an absolute path (a
// relative one is ignored, as the XDG rules say), else underHome in the home
// folder; empty when there is no home folder either.
std::filesystem::path xdgFolder(const char* variable, std::string_view underHome);

// Every open connection holds a descriptor; the soft limit is often far
// below what the system allows this process.
void raiseDescriptorLimit();

} // namespace corvane::io
