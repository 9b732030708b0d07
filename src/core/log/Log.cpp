#include "log/Log.h"

#include <cstdio>

namespace corvane {
namespace {

// One thread only: the Qt event loop's.
LogCapture* activeCapture = nullptr;

} // namespace

void logLine(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (activeCapture)
        activeCapture->m_lines.emplace_back(text);
}

LogCapture::LogCapture()
    : m_outer(activeCapture)
{
    activeCapture = this;
}

LogCapture::~LogCapture()
{
    activeCapture = m_outer;
}

} // namespace corvane
