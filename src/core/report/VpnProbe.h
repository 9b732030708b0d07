#pragma once

#include <optional>
#include <string>
#include <vector>

struct ifaddrs;

namespace corvane {

// Decides whether a VPN tunnel is up from the host's interface address list.
class VpnProbe {
public:
    // One address entry of an interface, as getifaddrs lists it.
    struct Entry {
        std::optional<std::string> name; // raw bytes; the kernel does not require UTF-8
        std::optional<int> family;       // empty when the entry carries no address
        unsigned int flags = 0;          // IFF_* flags of the interface
    };

    // True when some tunnel candidate that is up carries an IPv4 address.
    // Candidates: names containing "utun" (but never "utun0"), "ppp" or
    // "tap", and point-to-point interfaces (tun, WireGuard, PPP, GRE).
    static bool isActive(const std::vector<Entry>& entries);

    // The entries of a getifaddrs list, in list order.
    static std::vector<Entry> entriesOf(const ifaddrs* list);
};

} // namespace corvane
