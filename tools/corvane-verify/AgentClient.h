#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace corvane::verify {

struct FetchResult {
    std::string answer; // the agent's whole HTTP answer
    std::string error;  // empty on success
};

// One plain GET of target (a path and query the caller has checked) to the agent
// on 127.0.0.1:12180, read until the agent closes the connection; gives up after the timeout.
FetchResult fetchFromAgent(std::chrono::milliseconds timeout, std::string_view target = "/");

} // namespace corvane::verify
