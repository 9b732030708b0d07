#pragma once

#include <string>
#include <vector>

namespace corvane {

class WifiScanner;

// The Wi-Fi diagnostic behind "Check Status...": written to standard output,
// one flushed line at a time, and returned for the status window.
std::vector<std::string> checkStatus(WifiScanner& scanner);

} // namespace corvane
