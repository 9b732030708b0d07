#pragma once

#include "wifi/WifiBackend.h"

namespace corvane::fakes {

// A Wi-Fi backend that answers with whatever the test put in it.
class FakeWifiBackend final : public WifiBackend {
public:
    std::optional<std::string> interface = "wlan0";
    WifiObservation association;
    WifiScanResult scanResult;

    void whenReady(std::function<void()> ready) override { ready(); }
    std::optional<std::string> defaultInterface() override { return interface; }
    WifiObservation currentAssociation(const std::string&) override { return association; }
    WifiScanResult scan(const std::string&) override { return scanResult; }
};

} // namespace corvane::fakes
