#pragma once

#include "report/HostProbes.h"

namespace corvane {

class LinuxHostProbes final : public HostProbes {
public:
    std::string getDeviceID() override;
    bool isVPNActive() override;
};

} // namespace corvane
