#include "report/LinuxHostProbes.h"

#include "report/DeviceId.h"
#include "report/VpnProbe.h"

#include <ifaddrs.h>

namespace corvane {

std::unique_ptr<HostProbes> HostProbes::createDefault()
{
    return std::make_unique<LinuxHostProbes>();
}

std::string LinuxHostProbes::getDeviceID()
{
    return DeviceId::read();
}

bool LinuxHostProbes::isVPNActive()
{
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return false;
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, &freeifaddrs);
    return VpnProbe::isActive(VpnProbe::entriesOf(list.get()));
}

} // namespace corvane
