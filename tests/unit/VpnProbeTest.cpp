#include "report/VpnProbe.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <sys/socket.h>

using namespace corvane;
using Entry = VpnProbe::Entry;

namespace {

constexpr unsigned int kUp = IFF_UP | IFF_RUNNING;
constexpr unsigned int kTunnel = IFF_UP | IFF_POINTOPOINT | IFF_NOARP;

Entry ipv4(std::string name, unsigned int flags = kUp)
{
    return {std::move(name), AF_INET, flags};
}

} // namespace

TEST(VpnProbe, ATunnelCountsWhenUpWithAnIPv4Address)
{
    const std::pair<std::vector<Entry>, bool> cases[] = {
        {{}, false},
        // Names: "utun" (never utun0, even point-to-point), "ppp", "tap", anywhere in the name, exact case.
        {{ipv4("utun0"), ipv4("utun0", kTunnel)}, false},
        {{ipv4("utun0"), ipv4("utun10")}, true},
        {{ipv4("ppp0")}, true},
        {{ipv4("xtap1")}, true},
        {{ipv4("UTUN3"), ipv4("PPP0"), ipv4("Tap0")}, false},
        {{ipv4("en0"), ipv4("lo"), ipv4("bridge0"), ipv4("eth0"), ipv4("tun0"), ipv4("wg0")}, false},
        // Or point-to-point, as tun, WireGuard and PPP devices are on Linux.
        {{ipv4("tun0", kTunnel)}, true},
        {{ipv4("tailscale0", kTunnel)}, true},
        // Only an IPv4 address counts, wherever in the list it comes.
        {{{"utun3", AF_INET6, kUp}, {"utun3", AF_PACKET, kUp}, {"wg0", AF_INET6, kTunnel}}, false},
        {{{"ppp0", AF_PACKET, kUp}, ipv4("en0"), {"ppp0", AF_INET6, kUp}, ipv4("ppp0")}, true},
        // A configured tunnel whose VPN stopped is down.
        {{ipv4("tun0", kTunnel & ~IFF_UP), ipv4("utun3", 0), ipv4("ppp0", IFF_RUNNING)}, false},
        // Entries without a name, without an address or whose name is not UTF-8 count for nothing.
        {{{std::nullopt, AF_INET, kTunnel}, {"tun0", std::nullopt, kTunnel}}, false},
        {{ipv4("tap\xFF"), ipv4("utun3\xC3"), ipv4("ppp\xC0\xAF")}, false},
        {{ipv4("tap\xFF"), ipv4("tap\xC3\xA9")}, true},
    };
    for (const auto& [entries, active] : cases) {
        SCOPED_TRACE(entries.empty() ? "" : entries.back().name.value_or("(none)"));
        EXPECT_EQ(VpnProbe::isActive(entries), active);
    }
}
