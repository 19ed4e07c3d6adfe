#include "platform/lan_interface.h"

#include "platform/icmp_socket.h"

#include <climits>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sstream>

namespace quorvane::platform
{

std::string defaultRouteInterface(std::string_view procNetRoute)
{
    std::istringstream in{std::string(procNetRoute)};
    std::string line;
    std::getline(in, line); // column titles
    std::string best;
    unsigned long bestMetric = ULONG_MAX;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask))
            continue;
        unsigned long flagBits = 0, metricValue = 0;
        try {
            flagBits = std::stoul(flags, nullptr, 16);
            metricValue = std::stoul(metric);
        } catch (const std::exception&) {
            continue;
        }
        if (destination != "00000000" || mask != "00000000" || !(flagBits & RTF_UP))
            continue;
        if (best.empty() || metricValue < bestMetric) {
            best = name;
            bestMetric = metricValue;
        }
    }
    return best;
}

std::optional<Ipv4Interface> chooseLanInterface(const std::vector<Ipv4Interface>& interfaces,
                                                const std::string& defaultRoute)
{
    if (!defaultRoute.empty()) {
        for (const auto& candidate : interfaces) {
            if (candidate.name == defaultRoute)
                return candidate;
        }
    }
    for (const auto& candidate : interfaces) {
        if (candidate.up && !candidate.loopback)
            return candidate;
    }
    return std::nullopt;
}

std::vector<Ipv4Interface> ipv4Interfaces()
{
    std::vector<Ipv4Interface> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
            continue;
        Ipv4Interface entry;
        entry.name = a->ifa_name;
        entry.address = ipv4Text(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
        if (a->ifa_netmask)
            entry.mask = ipv4Text(reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr);
        entry.up = (a->ifa_flags & IFF_UP) != 0;
        entry.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
        result.push_back(std::move(entry));
    }
    ::freeifaddrs(list);
    return result;
}

std::optional<Ipv4Interface> lanInterface()
{
    std::ifstream routes("/proc/net/route");
    std::ostringstream text;
    text << routes.rdbuf();
    return chooseLanInterface(ipv4Interfaces(), defaultRouteInterface(text.str()));
}

} // namespace quorvane::platform
