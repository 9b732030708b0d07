#include "log/Log.h"

#include <cstdio>

namespace corvane {
namespace {

// One thread only: the Qt event loop's.
LogCapture* g_capture = nullptr;

} // namespace

void logLine(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (g_capture)
        g_capture->m_lines.emplace_back(text);
}

LogCapture::LogCapture()
    : m_outer(g_capture)
{
    g_capture = this;
}

LogCapture::~LogCapture()
{
    g_capture = m_outer;
}

} // namespace corvane
