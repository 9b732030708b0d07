#pragma once

#include <cstdlib>

// A broken promise ends the run, so that libFuzzer (or the corpus replay) reports the input.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}
