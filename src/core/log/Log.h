#pragma once

#include <string_view>

namespace corvane {

// Writes one line to standard output and flushes it: the agent runs under a
// session manager or a test harness that reads a pipe, not a terminal.
void logLine(std::string_view text);

} // namespace corvane
