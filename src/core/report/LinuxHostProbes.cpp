#include "report/LinuxHostProbes.h"

namespace corvane {

std::unique_ptr<HostProbes> HostProbes::createDefault()
{
    return std::make_unique<LinuxHostProbes>();
}

std::string LinuxHostProbes::getDeviceID()
{
    return "Unknown";
}

bool LinuxHostProbes::isVPNActive()
{
    return false;
}

} // namespace corvane
