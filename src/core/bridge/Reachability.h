#pragma once

#include <string>
#include <vector>

namespace corvane {

// Whether web pages can reach the bridge: where it serves, or why it does not.
struct Reachability {
    std::vector<std::string> addresses; // e.g. "127.0.0.1:12180"; empty while not serving
    std::string problem;                // why not, while not serving

    bool serving() const { return !addresses.empty(); }
    bool operator==(const Reachability&) const = default;
};

} // namespace corvane
