#include "report/VpnProbe.h"

#include "text/Utf8.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <string_view>

namespace corvane {

namespace {

bool isCandidate(std::string_view name, unsigned int flags)
{
    // utun0 is the system's own tunnel on macOS, where this rule comes from.
    if (name == "utun0")
        return false;
    // Linux VPNs are named tun0, wg0, tailscale0...; what they share is point-to-point.
    if (flags & IFF_POINTOPOINT)
        return true;
    return name.find("utun") != std::string_view::npos || name.find("ppp") != std::string_view::npos
        || name.find("tap") != std::string_view::npos;
}

} // namespace

bool VpnProbe::isActive(const std::vector<Entry>& entries)
{
    for (const Entry& entry : entries) {
        if (!entry.name || !entry.family || !utf8::isValid(*entry.name))
            continue;
        // A tunnel stays configured after its VPN stopped; only an up one counts.
        if (!(entry.flags & IFF_UP) || *entry.family != AF_INET)
            continue;
        if (isCandidate(*entry.name, entry.flags))
            return true;
    }
    return false;
}

std::vector<VpnProbe::Entry> VpnProbe::entriesOf(const ifaddrs* list)
{
    std::vector<Entry> entries;
    for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        Entry entry;
        if (item->ifa_name != nullptr)
            entry.name = item->ifa_name;
        if (item->ifa_addr != nullptr)
            entry.family = item->ifa_addr->sa_family;
        entry.flags = item->ifa_flags;
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace corvane
