#pragma once

#include "wifi/WifiBackend.h"

#include <string>
#include <vector>

namespace corvane::fakes {

// A Wi-Fi backend that answers with whatever the test put in it.
class FakeWifiBackend final : public WifiBackend {
public:
    std::optional<std::string> interface = "wlan0";
    WifiObservation association;
    WifiScanResult scanResult;
    std::vector<std::string> calls;

    std::optional<std::string> defaultInterface() override
    {
        calls.push_back("defaultInterface");
        return interface;
    }

    WifiObservation currentAssociation(const std::string& name) override
    {
        calls.push_back("currentAssociation " + name);
        return association;
    }

    WifiScanResult scan(const std::string& name) override
    {
        calls.push_back("scan " + name);
        return scanResult;
    }
};

} // namespace corvane::fakes
