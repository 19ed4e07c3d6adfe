#pragma once
// The interface that connects this machine to its LAN, for the LAN sweep.
//
// The host name is no guide on Linux (it often resolves to 127.0.1.1), so the
// LAN is taken to be the network of the interface that carries the default
// route; without a default route, the first interface that is up and not a
// loopback. A machine with only a loopback has no LAN.
//
// Thread-safety: every function may be called from any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform
{

struct Ipv4Interface {
    std::string name;
    std::string address; // dotted decimal
    std::string mask;    // dotted decimal
    bool up = false;
    bool loopback = false;
};

// The interface of the default route (destination and mask 0, up) with the
// lowest metric in the text of /proc/net/route; empty when there is none.
std::string defaultRouteInterface(std::string_view procNetRoute);

// The choice described above, over the IPv4 addresses in the system's order.
std::optional<Ipv4Interface> chooseLanInterface(const std::vector<Ipv4Interface>& interfaces,
                                                const std::string& defaultRoute);

// The machine's IPv4 addresses, one entry per address, in the system's order.
std::vector<Ipv4Interface> ipv4Interfaces();

// chooseLanInterface over this machine's interfaces and routes.
std::optional<Ipv4Interface> lanInterface();

} // namespace quorvane::platform
