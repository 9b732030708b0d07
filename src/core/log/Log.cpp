#include "log/Log.h"

#include <cstdio>

namespace corvane {

void logLine(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace corvane
