// Runs the ping engine inside a network namespace that a test made, so the
// namespace tests see real packets without moving their own process:
//   qv_ping_probe NETNS [--no-raw] sweep DIR        prints "count=N" (DIR is the program directory)
//   qv_ping_probe NETNS [--no-raw] ping HOST COUNT  prints "rc=.. rtts=.. responders=.. once=.." and "log=.." lines
// --no-raw gives up CAP_NET_RAW first, as an ordinary user runs.
#include "ping/icmp_ping.h"
#include "ping/lan_sweep.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

bool enterNamespace(const std::string& name)
{
    const int fd = ::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return ok;
}

bool dropRawRight()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned bit = 1u << CAP_NET_RAW;
    data[0].effective &= ~bit;
    data[0].permitted &= ~bit;
    data[0].inheritable &= ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    int at = 1;
    if (argc < 3 || !enterNamespace(argv[at++])) {
        std::fprintf(stderr, "cannot enter the namespace\n");
        return 2;
    }
    if (std::strcmp(argv[at], "--no-raw") == 0) {
        ++at;
        if (!dropRawRight()) {
            std::fprintf(stderr, "cannot drop CAP_NET_RAW\n");
            return 2;
        }
    }
    const std::string mode = at < argc ? argv[at++] : "";
    if (mode == "sweep" && at + 1 == argc) {
        if (::chdir(argv[at]) != 0)
            return 2;
        std::printf("count=%d\n", quorvane::CountLanMachines());
        return 0;
    }
    if (mode == "ping" && at + 2 == argc) {
        quorvane::IcmpPinger pinger(quorvane::systemClock(), [](std::string_view line) {
            std::printf("log=%.*s\n", int(line.size()), line.data());
        });
        quorvane::ResponderList responders;
        std::vector<int> rtts;
        const int rc = pinger.IcmpPing(rtts, argv[at], std::atoi(argv[at + 1]), &responders);
        std::string list;
        for (const auto& r : responders.distinct())
            list += (list.empty() ? "" : ",") + r;
        const auto once = pinger.PingOnce(argv[at]);
        std::printf("rc=%d rtts=%zu responders=%s once=%s\n", rc, rtts.size(), list.c_str(), once ? "ok" : "none");
        return 0;
    }
    std::fprintf(stderr, "usage: qv_ping_probe NETNS [--no-raw] sweep DIR | ping HOST COUNT\n");
    return 2;
}
