#pragma once

#include <memory>
#include <string>

namespace corvane {

// Facts of the host that every status report reads afresh.
class HostProbes {
public:
    virtual ~HostProbes() = default;

    // A stable identifier of this machine, or "Unknown".
    virtual std::string getDeviceID() = 0;
    // Whether a VPN tunnel with an IPv4 address is up.
    virtual bool isVPNActive() = 0;

    static std::unique_ptr<HostProbes> createDefault();
};

} // namespace corvane
