#pragma once

namespace corvane {

class WifiScanner;

// The Wi-Fi diagnostic behind "Check Status...": written to standard output,
// one flushed line at a time.
void checkStatus(WifiScanner& scanner);

} // namespace corvane
