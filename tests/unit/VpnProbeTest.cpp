#include "report/VpnProbe.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <sys/socket.h>

#include <string>
#include <vector>

using namespace corvane;

namespace {

using Entry = VpnProbe::Entry;

constexpr unsigned int kUp = IFF_UP | IFF_RUNNING;
constexpr unsigned int kTunnel = IFF_UP | IFF_POINTOPOINT | IFF_NOARP;

Entry ipv4(std::string name, unsigned int flags = kUp)
{
    return {std::move(name), AF_INET, flags};
}
Entry ipv6(std::string name, unsigned int flags = kUp)
{
    return {std::move(name), AF_INET6, flags};
}
Entry link(std::string name, unsigned int flags = kUp)
{
    return {std::move(name), AF_PACKET, flags};
}

bool active(std::vector<Entry> entries)
{
    return VpnProbe::isActive(entries);
}

} // namespace

TEST(VpnProbe, NameRule)
{
    EXPECT_FALSE(active({ipv4("utun0")}));
    EXPECT_FALSE(active({ipv4("utun0", kTunnel)})); // point-to-point does not save it
    EXPECT_TRUE(active({ipv4("utun0"), ipv4("utun3")}));
    EXPECT_TRUE(active({ipv4("utun10")}));
    EXPECT_TRUE(active({ipv4("ppp0")}));
    EXPECT_TRUE(active({ipv4("tap0")}));
    EXPECT_TRUE(active({ipv4("xutun0")})); // contains, not equals
    EXPECT_FALSE(active({ipv4("UTUN3"), ipv4("PPP0"), ipv4("Tap0")}));
    for (const char* name : {"en0", "lo0", "lo", "bridge0", "eth0", "tun0", "wg0"})
        EXPECT_FALSE(active({link(name), ipv4(name), ipv6(name)})) << name;
}

TEST(VpnProbe, OnlyIPv4AddressesCount)
{
    EXPECT_FALSE(active({ipv6("utun3"), ipv6("utun3"), link("utun3")}));
    EXPECT_TRUE(active({ipv6("utun3"), ipv4("utun3")}));
    EXPECT_TRUE(active({link("ppp0"), ipv4("en0"), ipv4("ppp0")}));
    EXPECT_FALSE(active({ipv4("en0"), ipv6("tun0", kTunnel)}));
}

TEST(VpnProbe, PointToPointInterfacesAreTunnels)
{
    EXPECT_TRUE(active({ipv4("tun0", kTunnel)}));
    EXPECT_TRUE(active({ipv6("wg0", kTunnel), ipv4("wg0", kTunnel)}));
    EXPECT_TRUE(active({ipv4("tailscale0", kTunnel)}));
}

TEST(VpnProbe, DownTunnelsDoNotCount)
{
    const unsigned int down = kTunnel & ~IFF_UP;
    EXPECT_FALSE(active({ipv4("tun0", down)}));
    EXPECT_FALSE(active({ipv4("utun3", 0), ipv4("ppp0", IFF_RUNNING)}));
    EXPECT_TRUE(active({ipv4("utun3", 0), ipv4("utun4")}));
}

TEST(VpnProbe, SkipsIncompleteAndNonUtf8Entries)
{
    EXPECT_FALSE(active({}));
    const Entry noName{std::nullopt, AF_INET, kTunnel};
    const Entry noAddress{std::string("tun0"), std::nullopt, kTunnel};
    EXPECT_FALSE(active({noName, noAddress}));
    EXPECT_TRUE(active({noName, noAddress, ipv4("tun0", kTunnel)}));
    EXPECT_FALSE(active({ipv4("tap\xFF"), ipv4("utun3\xC3"), ipv4("ppp\xC0\xAF")}));
    EXPECT_TRUE(active({ipv4("tap\xFF"), ipv4("tap\xC3\xA9")}));
}
