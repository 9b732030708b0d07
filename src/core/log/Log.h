#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Writes one line to standard output at once (the agent runs under a session
// manager or a test harness that reads a pipe) and never waits for its reader:
// while the reader is behind, lines are dropped whole and counted, and one
// line says how many once it reads again.
void logLine(std::string_view text);

// While it lives, also keeps every line logLine writes, so that a caller can
// show what several parts of the agent wrote. Innermost capture only.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> take() { return std::move(m_lines); }

private:
    friend void logLine(std::string_view text);

    std::vector<std::string> m_lines;
    LogCapture* m_outer;
};

} // namespace corvane
