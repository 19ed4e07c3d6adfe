// Which interface is this machine's LAN: the default route's, else the first
// up and not a loopback; none on a loopback-only machine.
#include "platform/lan_interface.h"

#include <gtest/gtest.h>

using namespace quorvane::platform;

namespace
{

const char* kTitles = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(DefaultRouteInterface, UpDefaultRouteWithTheLowestMetric)
{
    struct Case {
        const char* what;
        std::string rows;
        std::string expected;
    };
    const Case cases[] = {
        {"one default route",
         "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
         "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
         "eth0"},
        {"lowest metric wins",
         "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
         "eth1\t00000000\t010A0A0A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "eth1"},
        {"a route that is not up", "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", ""},
        {"no default route, only a network route", "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", ""},
        {"a half line", "eth0\t00000000\t010200C0\n", ""},
        {"garbage flags", "eth0\t00000000\t010200C0\tzz\t0\t0\t0\t00000000\t0\t0\t0\n", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(defaultRouteInterface(kTitles + c.rows), c.expected) << c.what;
    EXPECT_EQ(defaultRouteInterface(""), "");
}

TEST(ChooseLanInterface, DefaultRouteFirstThenFirstUpNonLoopback)
{
    const Ipv4Interface lo{"lo", "127.0.0.1", "255.0.0.0", true, true};
    const Ipv4Interface down{"eth0", "10.0.0.2", "255.255.255.0", false, false};
    const Ipv4Interface eth1{"eth1", "192.168.1.37", "255.255.255.0", true, false};
    const Ipv4Interface tun{"tun0", "10.8.0.6", "255.255.255.255", true, false};
    struct Case {
        const char* what;
        std::vector<Ipv4Interface> interfaces;
        std::string defaultRoute;
        std::optional<std::string> expected; // address
    };
    const Case cases[] = {
        {"the default route's interface", {lo, eth1, tun}, "tun0", "10.8.0.6"},
        {"no default route: first up, not loopback", {lo, down, eth1, tun}, "", "192.168.1.37"},
        {"default route's interface has no IPv4 address", {lo, eth1}, "wwan0", "192.168.1.37"},
        {"loopback only", {lo}, "", std::nullopt},
        {"nothing up", {lo, down}, "", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto chosen = chooseLanInterface(c.interfaces, c.defaultRoute);
        EXPECT_EQ(chosen ? std::optional(chosen->address) : std::nullopt, c.expected) << c.what;
    }
}

} // namespace
