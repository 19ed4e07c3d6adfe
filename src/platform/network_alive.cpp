#include "platform/network_alive.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quorvane::platform
{

bool IsNetworkAlive()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool alive = false;
    for (const ifaddrs* entry = list; entry && !alive; entry = entry->ifa_next) {
        if (!entry->ifa_addr || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        if (!(entry->ifa_flags & IFF_UP) || !(entry->ifa_flags & IFF_RUNNING))
            continue;
        const int family = entry->ifa_addr->sa_family;
        alive = family == AF_INET || family == AF_INET6;
    }
    ::freeifaddrs(list);
    return alive;
}

} // namespace quorvane::platform
