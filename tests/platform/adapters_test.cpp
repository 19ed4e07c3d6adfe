// The first adapter's hardware address, read in a network namespace of the
// test's own, where the adapters are known. Needs the right to create one
// (root); skipped otherwise.
#include "platform/network_adapters.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quorvane::platform;

namespace
{

// Runs the steps in a child process inside a fresh network namespace and
// returns the address seen after each step, joined with "|"; "SKIP" when no
// namespace can be made.
std::string inOwnNamespace(const std::vector<std::string>& steps)
{
    int pipeFd[2];
    if (::pipe(pipeFd) != 0)
        return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFd[0]);
        std::string out;
        if (::unshare(CLONE_NEWNET) != 0) {
            out = "SKIP";
        } else {
            LinuxNetworkAdapters adapters;
            for (const auto& step : steps) {
                if (!step.empty() && std::system(step.c_str()) != 0) {
                    out = "SKIP";
                    break;
                }
                out += adapters.firstMacAddress() + "|";
            }
        }
        (void)!::write(pipeFd[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(pipeFd[1]);
    std::string result;
    char buf[256];
    ssize_t n;
    while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0)
        result.append(buf, static_cast<std::size_t>(n));
    ::close(pipeFd[0]);
    int status;
    ::waitpid(pid, &status, 0);
    return result;
}

} // namespace

TEST(NetworkAdapters, FirstNonLoopbackAdapterWithAnAddress)
{
    const std::string seen = inOwnNamespace({
        "",                                       // only the loopback
        "ip tuntap add qvtun0 mode tun",          // an adapter without hardware address
        "ip link add qva type veth peer name qvb" // qvb comes first in the system's order
        " && ip link set qvb address 02:00:00:0a:bb:cc && ip link set qva address 02:00:00:0a:bb:cd",
    });
    if (seen == "SKIP")
        GTEST_SKIP() << "cannot create a network namespace with adapters here";
    EXPECT_EQ(seen, "||02-00-00-0A-BB-CC|");
}
