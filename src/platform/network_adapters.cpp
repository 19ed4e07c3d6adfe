#include "platform/network_adapters.h"

#include <algorithm>
#include <cstdio>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

namespace quorvane::platform
{

std::string formatMacAddress(const std::array<std::uint8_t, 6>& b)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
    return text;
}

std::string LinuxNetworkAdapters::firstMacAddress() const
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    std::string result;
    // Each adapter appears once with its link-layer (AF_PACKET) address.
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || (a->ifa_flags & IFF_LOOPBACK))
            continue;
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
        if (ll->sll_halen != 6)
            continue;
        std::array<std::uint8_t, 6> bytes{};
        std::copy_n(ll->sll_addr, 6, bytes.begin());
        if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }))
            continue;
        result = formatMacAddress(bytes);
        break;
    }
    ::freeifaddrs(list);
    return result;
}

} // namespace quorvane::platform
