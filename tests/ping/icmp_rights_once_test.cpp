// A user who may open no ICMP socket hears of it once per run, not once per
// automatic round: every round's sweep makes pingers of its own.
#include "ping/icmp_ping.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

TEST(IcmpRightsOnce, ThreeRoundsWithoutRightsLogOneLine)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace and to become another user";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(out[0]);
        std::string report;
        if (::unshare(CLONE_NEWNET) != 0) {
            report = "skip";
        } else {
            std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "1 0";
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                report = "setuid failed";
            } else {
                int lines = 0, failures = 0;
                for (int round = 0; round < 3; ++round) {
                    quorvane::IcmpPinger pinger(quorvane::systemClock(), [&lines](std::string_view) { ++lines; });
                    std::vector<int> rtts;
                    failures += pinger.IcmpPing(rtts, "127.0.0.1", 1) == -1;
                    failures += pinger.IcmpPing(rtts, "127.0.0.1", 1) == -1;
                }
                report = std::to_string(lines) + " " + std::to_string(failures);
            }
        }
        [[maybe_unused]] const auto n = ::write(out[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(out[1]);
    char buffer[64] = {};
    [[maybe_unused]] const auto n = ::read(out[0], buffer, sizeof buffer - 1);
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    if (std::string(buffer) == "skip")
        GTEST_SKIP() << "no network namespaces here";
    // Every ping fails; the log has one line.
    EXPECT_EQ(std::string(buffer), "1 6");
}
